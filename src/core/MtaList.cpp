#include "core/MtaList.h"

#include <algorithm>
namespace core {

void CMtaList::Clear() {
    store::EngineGuard lock(mu_);
    servers_.clear();
}

void CMtaList::Set(std::vector<MtaServer> servers, int mode) {
    servers.erase(std::remove_if(servers.begin(), servers.end(),
                                 [](const MtaServer& s) { return s.host.empty() || s.port <= 0; }),
                  servers.end());
    store::EngineGuard lock(mu_);
    servers_.swap(servers);
    mode_ = (mode == 2 || mode == 3) ? mode : 1;
    if (round_robin_ >= servers_.size()) round_robin_ = 0;
}

void CMtaList::SetMode(int mode) {
    store::EngineGuard lock(mu_);
    mode_ = (mode == 2 || mode == 3) ? mode : 1;
}

int CMtaList::Mode() const {
    store::EngineGuard lock(mu_);
    return mode_;
}

void CMtaList::Add(const std::string& host, int port, const std::string& name) {
    if (host.empty() || port <= 0) return;
    store::EngineGuard lock(mu_);
    servers_.push_back({host, port, name});
}

size_t CMtaList::Count() const {
    store::EngineGuard lock(mu_);
    return servers_.size();
}

CMtaList::Cursor CMtaList::Begin() {
    store::EngineGuard lock(mu_);
    Cursor c;
    if (mode_ == 3 && !servers_.empty()) c.start = round_robin_++ % servers_.size();
    return c;
}

std::optional<MtaServer> CMtaList::Next(Cursor& cursor) const {
    store::EngineGuard lock(mu_);
    if (servers_.empty()) return std::nullopt;
    size_t limit = mode_ == 1 ? 1 : servers_.size();
    if (cursor.tried >= limit) return std::nullopt;
    size_t index = (cursor.start + cursor.tried) % servers_.size();
    ++cursor.tried;
    return servers_[index];
}

}  // namespace core
