// DBK files of arbitrary bytes: loading never crashes, and a loaded table saved and loaded
// again comes back equal.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "platform/KFile.h"
#include "platform/TestTempDir.h"
#include "store/DB_RAM.h"

namespace {

using Rec = std::tuple<std::string, std::string, int32_t>;  // key, data, timestamp

// The live records, sorted: Save writes bucket order, not the order they were loaded in.
std::vector<Rec> Live(const store::CDB_RAM& t) {
    std::vector<Rec> out;
    t.ForEach([&out](const store::DbRecord& r) {
        if (!r.deleted && !r.key.empty()) out.emplace_back(r.key, r.data, r.timestamp);
    });
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // tmpfs when there is one: every save syncs, and the disk would set the pace. The folder
    // goes at exit, so replays in ordinary test runs leave nothing behind.
    static const platform::TestTempDir dir(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "");
    static const std::string path = dir.File("fuzz.db");
    platform::WriteFileAtomic(path, std::string_view(reinterpret_cast<const char*>(data), size));
    store::CDB_RAM t;
    if (!t.Open(path)) return 0;
    t.Load();
    t.Find("key");
    t.Find("x", true);
    std::vector<Rec> before = Live(t);
    if (!t.Save()) std::abort();
    store::CDB_RAM back;
    if (!back.Open(path)) std::abort();
    back.Load();
    // Every record comes back with its key, data and timestamp.
    if (Live(back) != before) std::abort();
    return 0;
}
