#include "checks/ListTable.h"

namespace checks {

CListTable::CListTable(const std::string& path, store::CDB_RAM::TimeSource now) {
    if (now) table_.SetTimeSource(now);
    if (!path.empty() && table_.Open(path)) {
        persistent_ = true;
        table_.Load();
    }
}

CListTable::~CListTable() {
    if (persistent_) (void)table_.Save();  // a failure is reported; the core logs it
}

bool CListTable::ForgetShared(std::string_view key) {
    CRedis* r = Shared();
    if (r == nullptr) return false;
    const auto reply = r->Command({"DEL", SharedKey(key)});
    return reply && reply->integer > 0;
}

}  // namespace checks
