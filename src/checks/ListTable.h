#pragma once
// CListTable: a table owned by one list (the greylist, the reputation lists): opened and loaded
// at construction (empty path: memory only), saved at destruction.
#include <string>

#include "store/DB_RAM.h"

namespace checks {

class CListTable {
public:
    explicit CListTable(const std::string& path, store::CDB_RAM::TimeSource now = nullptr);
    ~CListTable();
    store::CDB_RAM& Table() { return table_; }

protected:
    store::CDB_RAM table_;
    bool persistent_ = false;
};

}  // namespace checks
