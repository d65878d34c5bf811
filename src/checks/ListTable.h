#pragma once
// CListTable: a table owned by one list (the greylist, the reputation lists): opened and loaded
// at construction (empty path: memory only), saved at destruction.
#include <string>
#include <string_view>

#include "checks/Redis.h"
#include "store/DB_RAM.h"

namespace checks {

class CListTable {
public:
    explicit CListTable(const std::string& path, store::CDB_RAM::TimeSource now = nullptr);
    ~CListTable();
    store::CDB_RAM& Table() { return table_; }
    // With Redis on, the list's records live there too, under `kind` with the table's keys, so
    // several kernels share them; the local table serves while Redis is down. Set once, before
    // any other thread uses the list.
    void SetShared(CRedis* redis, std::string kind) {
        shared_ = redis;
        kind_ = std::move(kind);
    }
    // Deletes a record from the shared store (the operator's delete); true when it was there.
    bool ForgetShared(std::string_view key);

protected:
    // The shared store when it is on and answering, else null.
    CRedis* Shared() const { return shared_ != nullptr && shared_->Up() ? shared_ : nullptr; }
    std::string SharedKey(std::string_view key) const { return shared_->Key(kind_, key); }

    store::CDB_RAM table_;
    bool persistent_ = false;
    CRedis* shared_ = nullptr;
    std::string kind_;
};

}  // namespace checks
