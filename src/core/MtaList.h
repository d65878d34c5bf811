#pragma once
// CMtaList: the back-end MTAs (host, port, paired name) and how a connection picks them:
// mode 1 the first server only, once; mode 2 the servers in list order, one per attempt, until
// all have failed; mode 3 round robin: each connection starts at a shared position that moves
// on by one per connection, and further attempts go on through the list until every server was
// tried. Any other mode is treated as 1. Guarded by its own lock; any thread.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/ThreadSafety.h"
#include "store/EngineLock.h"

namespace core {

struct MtaServer {
    std::string host;
    int port = 0;
    std::string name;  // trasp_N
};

class CMtaList {
public:
    // One connection's walk through the list.
    struct Cursor {
        size_t start = 0;
        size_t tried = 0;
    };

    void Clear();
    // Replaces the servers and the mode at once: a connection meanwhile picks from the old list
    // or the new, never from an empty one. Servers with an empty host or no port are skipped.
    void Set(std::vector<MtaServer> servers, int mode);
    void SetMode(int mode);
    int Mode() const;
    // Ignored for an empty host or a port of 0 or less.
    void Add(const std::string& host, int port, const std::string& name);
    size_t Count() const;

    Cursor Begin();
    // The next server for this connection, or nullopt when its attempts are used up.
    std::optional<MtaServer> Next(Cursor& cursor) const;

private:
    mutable store::CEngineLock mu_;
    std::vector<MtaServer> servers_ GUARDED_BY(mu_);
    int mode_ GUARDED_BY(mu_) = 1;
    size_t round_robin_ GUARDED_BY(mu_) = 0;
};

}  // namespace core
