#include "core/ListenMorvane.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/Clock.h"
#include "common/ListenAddresses.h"
#include "common/String.h"
#include "platform/UdpSocket.h"

namespace core {

namespace {
constexpr const char* kSrc = "ListenMorvane";
}  // namespace

CListenMorvane::~CListenMorvane() {
    StopListen();
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
    // Accepting stops while the slots change; the connections in progress keep theirs (their
    // sessions hold them), so the slots only ever grow and `slots` of them are used.
    Stop();
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
    // A port the system picks for the first address may be taken on a later one by chance:
    // another pick then, not a failure.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int error = ListenAll(port);
        if (error == 0) return true;
        if (error != EADDRINUSE || port != "0" || listens_.empty()) {
            CloseListens();
            errno = error;
            return false;
        }
        CloseListens();
    }
    errno = EADDRINUSE;
    return false;
}

int CListenMorvane::ListenAll(const std::string& port) {
    std::string bound_port = port;
    int last_error = 0;
    for (const std::string& address : SplitAddresses(address_)) {
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
            return last_error;
        }
        // A port the system picked for the first address is the port of all of them.
        if (listens_.empty()) bound_port = std::to_string(s->LocalPort());
        // Readiness is a hint: another process on the port (a restart's overlap) may take the
        // client first, and an accept must then not wait.
        const int fl = ::fcntl(s->Handle(), F_GETFL);
        if (fl >= 0) ::fcntl(s->Handle(), F_SETFL, fl | O_NONBLOCK);
        listens_.push_back(std::move(s));
    }
    return listens_.empty() ? (last_error != 0 ? last_error : EADDRNOTAVAIL) : 0;
}

bool CListenMorvane::Start() {
    if (reserve_ < 0) reserve_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    accepting_ = true;
    return true;
}

void CListenMorvane::Handles(std::vector<int>* out) const {
    if (!TakingClients()) return;
    for (const auto& l : listens_) out->push_back(l->Handle());
}

void CListenMorvane::NoteReady(const std::vector<int>& ready) {
    told_ = true;
    ready_.clear();
    for (const auto& l : listens_)
        for (int fd : ready)
            if (fd == l->Handle()) ready_.push_back(fd);
}

void CListenMorvane::StopListen() {
    Stop();
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

bool CListenMorvane::AcceptFailed(int error) {
    if (error != EMFILE && error != ENFILE && error != ENOBUFS && error != ENOMEM) return false;
    // Out of descriptors or memory: the waiting client stays queued and the listening socket
    // stays readable, so without a pause the main loop would spin. Said once per burst: a
    // burst ends after a quiet spell (sessions ending free descriptors now and then within one).
    const int64_t now = common::ProcessMillis();
    if (last_failure_ == 0 || now - last_failure_ > kAcceptErrorQuietMs)
        AddLog(1, "New Connection FAILED socket. Do not send event if we are closing", kSrc,
               "CListenMorvane::AcceptWaiting", "SYS", 0);
    last_failure_ = now;
    // The reserve descriptor makes room to take the client and tell it to come back later.
    if (reserve_ >= 0) {
        ::close(reserve_);
        reserve_ = -1;
        int fd = AcceptAny(nullptr);
        if (fd >= 0) Refuse(fd);
        reserve_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    paused_until_ = now + kAcceptErrorPauseMs;
    return true;
}

int CListenMorvane::AcceptAny(int* error, std::string* peer, bool told) {
    if (error) *error = 0;
    const size_t n = listens_.size();
    for (size_t k = 0; k < n; ++k) {
        const size_t i = (turn_ + k) % n;
        const int listen_fd = listens_[i]->Handle();
        const auto known = std::find(ready_.begin(), ready_.end(), listen_fd);
        if (told && known == ready_.end()) continue;
        platform::SockAddr a;
        a.length = sizeof a.storage;
        // The client's address comes with it: no getpeername per client.
        const int fd = ::accept4(listen_fd, a.get(), &a.length, SOCK_CLOEXEC);
        if (fd >= 0) {
            turn_ = i + 1;
            if (peer) *peer = platform::AddressText(a.get(), a.length);
            return fd;
        }
        if (told && errno == EAGAIN) ready_.erase(known);  // its backlog is empty
        // Nobody waiting, taken by another process on the port, or a client that reset while
        // queued.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) continue;
        const int failure = errno;
        // Out of descriptors, accept fails even with nobody waiting: only a client that is
        // really there makes it a failure, or every listener of the process would report it.
        pollfd p{listen_fd, POLLIN, 0};
        if ((failure == EMFILE || failure == ENFILE) && (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN))) continue;
        if (error) *error = failure;
        return -1;
    }
    return -1;
}

void CListenMorvane::AcceptWaiting() {
    // What the last wait found readable serves this call only.
    const bool told = std::exchange(told_, false);
    if (!TakingClients()) return;
    // No pause between accepts: a burst of clients is queued as fast as it arrives.
    for (int n = 0; n < kAcceptBurst; ++n) {
        int error = 0;
        std::string peer;
        const int fd = AcceptAny(&error, &peer, told);
        if (fd < 0) {
            // Another error (a client that reset, a firewall's EPERM) concerns that client:
            // the next pass goes on.
            if (error != 0) AcceptFailed(error);
            break;
        }
        CSocketComm* slot = FreeSlot();
        if (!slot) {
            Refuse(fd);
            continue;
        }
        slot->Attach(fd);
        slot->SetFree(false);
        slot->SetPeerAddress(std::move(peer));
        int32_t id;
        {
            common::MutexLock lock(mu_);
            if (counter_ >= kConnIdWrap) counter_ = 0;
            id = ++counter_;
            pending_.push_back({id, slot});
        }
        if (logging::LogWanted(4)) AddLog(4, "New job for you", kSrc, "CListenMorvane::AcceptWaiting", "DEBUG", id);
    }
}

}  // namespace core
