// morvane-db: inspect and edit DBK table files from the shell.
//
//   morvane-db dump FILE             every live record: timestamp TAB key TAB data
//   morvane-db get FILE KEY          the data of the first live record of KEY
//   morvane-db put FILE KEY VALUE    insert KEY, or replace the data of its first record
//   morvane-db del FILE KEY          delete the first live record of KEY
//   morvane-db stats FILE            records, deleted, version, bytes
//   morvane-db compact FILE          load and save the table (drops what cannot be saved)
//
// Bytes outside 0x20..0x7E, tabs and backslashes are printed as \xHH (a backslash as \\), so
// every record is one line. Edits save atomically; the kernel keeps its own copy of a table
// in memory, so edit a table only while the kernel is stopped.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/KFile.h"
#include "store/DB_RAM.h"
#include "tools/Printable.h"

namespace {

int Usage(FILE* to = stderr) {
    std::fprintf(to,
                 "usage: morvane-db dump FILE\n"
                 "       morvane-db get FILE KEY\n"
                 "       morvane-db put FILE KEY VALUE\n"
                 "       morvane-db del FILE KEY\n"
                 "       morvane-db stats FILE\n"
                 "       morvane-db compact FILE\n");
    return to == stderr ? 2 : 0;
}

int Fail(const std::string& file, const char* why) {
    std::fprintf(stderr, "morvane-db: %s: %s\n", file.c_str(), why);
    return 1;
}

// Opens and loads an existing table; prints why not and returns false.
bool OpenTable(store::CDB_RAM& table, const std::string& file, int* status) {
    if (platform::FileSize(file) < 0) {
        *status = Fail(file, "no such file");
        return false;
    }
    if (!table.Open(file)) {
        *status = Fail(file, "not a DBK table (bad magic or unreadable header)");
        return false;
    }
    table.Load();  // false for a table without records, which is still a table
    return true;
}

bool SaveTable(store::CDB_RAM& table, const std::string& file, int* status) {
    if (table.Save()) return true;
    std::string why = std::string("cannot save: ") + std::strerror(errno);
    *status = Fail(file, why.c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") return Usage(stdout);
    if (argc < 3) return Usage();
    std::string cmd = argv[1];
    std::string file = argv[2];
    int need = cmd == "put" ? 5 : (cmd == "get" || cmd == "del") ? 4 : 3;
    if (argc != need) return Usage();
    if (cmd != "dump" && cmd != "get" && cmd != "put" && cmd != "del" && cmd != "stats" && cmd != "compact")
        return Usage();

    store::CDB_RAM table;
    int status = 0;
    if (!OpenTable(table, file, &status)) return status;

    if (cmd == "dump") {
        table.ForEach([](const store::DbRecord& r) {
            if (r.deleted) return;
            std::printf("%d\t%s\t%s\n", r.timestamp, tools::Printable(r.key).c_str(), tools::Printable(r.data).c_str());
        });
        return 0;
    }
    if (cmd == "get") {
        auto r = table.Get(argv[3]);
        if (!r) return Fail(argv[3], "no such key");
        std::printf("%s\n", tools::Printable(r->data).c_str());
        return 0;
    }
    if (cmd == "put") {
        std::string_view key = argv[3], value = argv[4];
        if (key.empty() || value.empty()) return Fail(file, "key and value must not be empty");
        if (key.size() > static_cast<size_t>(store::dbk::kMaxField) ||
            value.size() > static_cast<size_t>(store::dbk::kMaxField))
            return Fail(file, "key and value are limited to 32768 bytes");
        if (table.Update(key, value) < 0 && table.Insert(key, value) != 1) return Fail(file, "cannot insert");
        return SaveTable(table, file, &status) ? 0 : status;
    }
    if (cmd == "del") {
        if (table.Delete(argv[3]) != 1) return Fail(argv[3], "no such key");
        return SaveTable(table, file, &status) ? 0 : status;
    }
    if (cmd == "stats") {
        std::printf("records: %d\ndeleted: %d\nversion: %d\nbytes: %lld\n", table.GetCount(), table.DeletedCount(),
                    table.Version(), static_cast<long long>(platform::FileSize(file)));
        if (table.LostOnLoad() > 0)
            std::printf("damaged: %d records (or trailing bytes) of the header's count could not be read\n",
                        table.LostOnLoad());
        return 0;
    }
    // compact
    long long before = static_cast<long long>(platform::FileSize(file));
    if (!SaveTable(table, file, &status)) return status;
    std::printf("compacted: %d records, %lld -> %lld bytes\n", table.GetCount(), before,
                static_cast<long long>(platform::FileSize(file)));
    return 0;
}
