#include "core/ListenMorvane.h"

#include <chrono>
#include <thread>

#include "platform/WakeEvent.h"

namespace core {

namespace {
constexpr const char* kSrc = "ListenMorvane";
}  // namespace

CListenMorvane::~CListenMorvane() {
    StopListen();
    Join();
}

bool CListenMorvane::InitListen(const std::string& address, const std::string& port, int slots) {
    address_ = address;
    port_ = port;
    if (port.empty()) {
        AddLog(1, "Port listen is Empty", kSrc, "CListenMorvane::InitListen", "SYS", 0);
        return false;
    }
    StopListen();
    slots_.clear();
    for (int i = 0; i < std::max(slots, 1) + 1; ++i) slots_.push_back(std::make_unique<CSocketComm>());
    AddLog(4, "Init Listen OK", kSrc, "CListenMorvane::InitListen", "DEBUG", 0);
    return listen_.Listen(address, port);
}

void CListenMorvane::StopListen() {
    if (!HasEnded()) Stop();
    for (auto& s : slots_) {
        s->Close();
        s->SetFree(true);
    }
    refusal_.Close();
    listen_.Close();
}

void CListenMorvane::SetRefusal(std::string text) {
    std::scoped_lock lock(mu_);
    refusal_text_ = std::move(text);
}

std::vector<PendingConnection> CListenMorvane::TakePending() {
    std::scoped_lock lock(mu_);
    std::vector<PendingConnection> out;
    out.swap(pending_);
    return out;
}

int32_t CListenMorvane::Counter() {
    std::scoped_lock lock(mu_);
    return counter_;
}

void CListenMorvane::SetCounter(int32_t value) {
    std::scoped_lock lock(mu_);
    counter_ = value;
}

CSocketComm* CListenMorvane::FreeSlot() {
    // The last entry is the spare, never handed out.
    for (size_t i = 0; i + 1 < slots_.size(); ++i)
        if (!slots_[i]->HasHandle() && slots_[i]->IsFree()) return slots_[i].get();
    return nullptr;
}

void CListenMorvane::Run() {
    while (IsRunning()) {
        int fd = listen_.Accept(kAcceptPollMs);
        if (fd < 0) continue;  // a time-out: check the running flag and wait again
        CSocketComm* slot = FreeSlot();
        if (!slot) {
            std::string text;
            {
                std::scoped_lock lock(mu_);
                text = refusal_text_;
            }
            refusal_.Attach(fd);
            refusal_.Send(text, 500);
            refusal_.Close();
            continue;
        }
        slot->Attach(fd);
        slot->SetFree(false);
        int32_t id;
        {
            std::scoped_lock lock(mu_);
            if (counter_ >= kConnIdWrap) counter_ = 0;
            id = ++counter_;
            pending_.push_back({id, slot});
        }
        platform::KernelWake().Notify();  // admission need not wait for the main loop's pause
        // No pause between accepts: a burst of clients is queued as fast as it arrives.
        AddLog(4, "New job for you", kSrc, "CListenMorvane::Run", "DEBUG", id);
    }
}

}  // namespace core
