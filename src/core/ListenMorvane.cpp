#include "core/ListenMorvane.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "common/Clock.h"
#include "common/ListenAddresses.h"
#include "common/String.h"
#include "platform/WakeEvent.h"

namespace core {

namespace {
constexpr const char* kSrc = "ListenMorvane";
}  // namespace

CListenMorvane::~CListenMorvane() {
    StopListen();
    Join();
    if (reserve_ >= 0) ::close(reserve_);
}

std::vector<std::string> CListenMorvane::SplitAddresses(const std::string& addresses) {
    std::vector<std::string> out = common::SplitListenAddresses(addresses);
    if (out.empty()) out.emplace_back();
    return out;
}

void CListenMorvane::CloseListens() {
    listens_.clear();
}

bool CListenMorvane::InitListen(const std::string& addresses, const std::string& port, int slots) {
    // The accept thread stops while the slots change; the connections in progress keep theirs
    // (their sessions hold them), so the slots only ever grow and `slots` of them are used.
    if (!HasEnded()) Stop();
    const bool same_sockets = Listening() && addresses == address_ && port == port_;
    address_ = addresses;
    port_ = port;
    if (port.empty()) {
        CloseListens();
        AddLog(1, "Port listen is Empty", kSrc, "CListenMorvane::InitListen", "SYS", 0);
        return false;
    }
    usable_ = std::max(slots, 1);
    while (slots_.size() < static_cast<size_t>(usable_) + 1) slots_.push_back(std::make_unique<CSocketComm>());
    AddLog(4, "Init Listen OK", kSrc, "CListenMorvane::InitListen", "DEBUG", 0);
    if (same_sockets) return true;  // no moment without a listening socket
    CloseListens();
    std::string bound_port = port;
    int last_error = 0;
    for (const std::string& address : SplitAddresses(addresses)) {
        auto s = std::make_unique<CSocketComm>();
        if (!s->Listen(address, bound_port)) {
            last_error = errno;
            AddLog(1,
                   common::FormatText("Cannot listen on %s port %s: %s", address.empty() ? "0.0.0.0" : address.c_str(),
                                      bound_port.c_str(), std::strerror(last_error)),
                   kSrc, "CListenMorvane::InitListen", "SYS", 0);
            // An address this machine does not have (IPv6 off, an interface gone) leaves the
            // others serving; a port taken by someone else is a failure, as with one address.
            if (last_error == EADDRNOTAVAIL || last_error == EAFNOSUPPORT) continue;
            CloseListens();
            break;
        }
        // A port the system picked for the first address is the port of all of them.
        if (listens_.empty()) bound_port = std::to_string(s->LocalPort());
        listens_.push_back(std::move(s));
    }
    if (listens_.empty()) errno = last_error;
    return !listens_.empty();
}

void CListenMorvane::StopListen() {
    if (!HasEnded()) Stop();
    // Only the connections nobody took yet. A taken slot is its holder's to close, a session
    // that did not stop in time included: its socket and TLS state must not go under it.
    for (PendingConnection& p : TakePending()) p.slot->Release();
    refusal_.Close();
    CloseListens();
}

void CListenMorvane::SetRefusal(std::string text) {
    common::MutexLock lock(mu_);
    refusal_text_ = std::move(text);
}

std::vector<PendingConnection> CListenMorvane::TakePending() {
    common::MutexLock lock(mu_);
    std::vector<PendingConnection> out;
    out.swap(pending_);
    return out;
}

int32_t CListenMorvane::Counter() {
    common::MutexLock lock(mu_);
    return counter_;
}

void CListenMorvane::SetCounter(int32_t value) {
    common::MutexLock lock(mu_);
    counter_ = value;
}

CSocketComm* CListenMorvane::FreeSlot() {
    // The last entry is the spare, never handed out.
    for (size_t i = 0; i < static_cast<size_t>(usable_) && i + 1 < slots_.size(); ++i)
        if (!slots_[i]->HasHandle() && slots_[i]->IsFree()) return slots_[i].get();
    return nullptr;
}

void CListenMorvane::Refuse(int fd) {
    std::string text;
    {
        common::MutexLock lock(mu_);
        text = refusal_text_;
    }
    refusal_.Attach(fd);
    refusal_.Send(text, 500);
    refusal_.Close();
}

bool CListenMorvane::AcceptFailed(int error, int64_t* last_failure) {
    if (error != EMFILE && error != ENFILE && error != ENOBUFS && error != ENOMEM) return false;
    // Out of descriptors or memory: the waiting client stays queued and poll reports it at
    // once, so without a pause this thread would spin. Said once per burst: a burst ends after
    // a quiet spell (sessions ending free descriptors now and then within one).
    const int64_t now = common::ProcessMillis();
    if (*last_failure == 0 || now - *last_failure > kAcceptErrorQuietMs)
        AddLog(1, "New Connection FAILED socket. Do not send event if we are closing", kSrc, "CListenMorvane::Run",
               "SYS", 0);
    *last_failure = now;
    // The reserve descriptor makes room to take the client and tell it to come back later.
    if (reserve_ >= 0) {
        ::close(reserve_);
        reserve_ = -1;
        int fd = AcceptAny(0, nullptr);
        if (fd >= 0) Refuse(fd);
        reserve_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptErrorPauseMs));
    return true;
}

int CListenMorvane::AcceptAny(int timeout_ms, int* error) {
    if (error) *error = 0;
    if (listens_.size() == 1) return listens_.front()->Accept(timeout_ms, error);
    std::vector<pollfd> fds;
    fds.reserve(listens_.size());
    for (const auto& l : listens_) fds.push_back({l->Handle(), POLLIN, 0});
    if (fds.empty() || ::poll(fds.data(), fds.size(), timeout_ms) <= 0) return -1;
    for (size_t k = 0; k < fds.size(); ++k) {
        const size_t i = (turn_ + k) % fds.size();
        if (!(fds[i].revents & POLLIN)) continue;
        turn_ = i + 1;
        return listens_[i]->Accept(0, error);
    }
    return -1;
}

void CListenMorvane::Run() {
    if (reserve_ < 0) reserve_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    int64_t last_failure = 0;
    while (IsRunning()) {
        int error = 0;
        int fd = AcceptAny(kAcceptPollMs, &error);
        if (fd < 0) {
            // A time-out: check the running flag and wait again.
            if (error != 0 && !AcceptFailed(error, &last_failure)) std::this_thread::yield();
            continue;
        }
        CSocketComm* slot = FreeSlot();
        if (!slot) {
            Refuse(fd);
            continue;
        }
        slot->Attach(fd);
        slot->SetFree(false);
        int32_t id;
        {
            common::MutexLock lock(mu_);
            if (counter_ >= kConnIdWrap) counter_ = 0;
            id = ++counter_;
            pending_.push_back({id, slot});
        }
        platform::KernelWake().Notify();  // admission need not wait for the main loop's pause
        // No pause between accepts: a burst of clients is queued as fast as it arrives.
        if (logging::LogWanted(4)) AddLog(4, "New job for you", kSrc, "CListenMorvane::Run", "DEBUG", id);
    }
}

}  // namespace core
