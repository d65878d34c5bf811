#include "store/DbkUpgrade.h"

#include <cinttypes>
#include <cstdio>

#include "common/Coding.h"
#include "platform/KFile.h"
#include "store/DB_RAM.h"

namespace store {

namespace {

enum class Opened { Absent, Ready, Broken };

// Opens an existing table without creating one; an empty table is Absent.
Opened OpenExisting(CDB_RAM& table, const std::string& path) {
    int64_t size = platform::FileSize(path);
    if (size <= 0) return Opened::Absent;
    if (!table.Open(path)) return Opened::Broken;
    table.Load();  // a file with no record loads as false and stays empty: nothing to convert
    return Opened::Ready;
}

// A domain names a file: it must stay inside db/.
bool SafeFileName(const std::string& name) {
    return !name.empty() && name.find('/') == std::string::npos && name.find('\\') == std::string::npos &&
           name[0] != '.';
}

}  // namespace

bool UpgradeV1Tables(const std::string& app_dir, std::string* error) {
    const std::string db = app_dir + "/db/";

    CDB_RAM domains;
    Opened d = OpenExisting(domains, db + "domain_local.db");
    if (d == Opened::Broken) {
        if (error) *error = db + "domain_local.db";
        return false;
    }
    if (d == Opened::Ready && domains.Version() == 1) {
        std::vector<std::string> names;
        domains.ForEach([&names](const DbRecord& r) {
            if (!r.deleted) names.push_back(r.key);
        });
        for (const std::string& name : names) {
            if (!SafeFileName(name)) continue;
            CDB_RAM flags;
            if (OpenExisting(flags, db + name + ".wb") != Opened::Ready || flags.RecordCount() == 0) continue;
            // Converted by an earlier run whose later save failed: converting twice would turn
            // every "0" into "1".
            if (flags.Version() != 1) continue;
            flags.RewriteData([](const DbRecord& r) { return std::string(r.data[0] != '\0' ? "1" : "0"); });
            // Unconverted tables would be read wrong: a failed save fails the step, which the
            // next start runs again.
            if (!flags.Save()) {
                if (error) *error = db + name + ".wb";
                return false;
            }
        }
        if (!domains.Save()) {
            if (error) *error = db + "domain_local.db";
            return false;
        }
    }

    CDB_RAM embargo;
    Opened e = OpenExisting(embargo, db + "ip_imbargo.db");
    if (e == Opened::Broken) {
        if (error) *error = db + "ip_imbargo.db";
        return false;
    }
    if (e == Opened::Ready && embargo.Version() == 1) {
        embargo.RewriteData([](const DbRecord& r) {
            std::string bytes = r.data.substr(0, 4);
            bytes.resize(4, '\0');  // a short record reads as if zero-padded
            const uint32_t v = common::GetLe32(bytes, 0);
            char text[16];
            std::snprintf(text, sizeof text, "%" PRId32, static_cast<int32_t>(v));
            return std::string(text);
        });
        if (!embargo.Save()) {
            if (error) *error = db + "ip_imbargo.db";
            return false;
        }
    }
    return true;
}

}  // namespace store
