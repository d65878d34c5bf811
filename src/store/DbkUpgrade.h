#pragma once
// The one-time conversion of version-1 tables, run at the first start of this kernel version:
// the per-domain tables named in "db/domain_local.db" get "1"/"0" flags as values, and the IP
// embargo "db/ip_imbargo.db" gets its binary times as decimal text. Tables already in version 2
// are left alone; missing or empty tables (a fresh installation) are not a failure.
#include <string>

namespace store {

// False when a table exists but cannot be read as a table, or a converted table cannot be
// saved; `error` then names it, and the step is to run again at the next start.
bool UpgradeV1Tables(const std::string& app_dir, std::string* error);

}  // namespace store
