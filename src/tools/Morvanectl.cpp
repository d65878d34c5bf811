// morvanectl: administers a running kernel over its remote-administration port.
//
//   morvanectl [--host H] [--port P] [--key-file F | --appdir DIR] COMMAND [CELL...] [--rows FILE]
//
// COMMAND is a command number (the script scripts/admin/N.cs of the kernel) or the name of a
// shipped one (status, stats, config-get, ...). The cells make one request row; --rows FILE
// sends the tab-separated rows of FILE instead. The response rows are printed tab-separated.
// Exit status: 0 answered, 1 the kernel answered an error code (with its reason, when the
// kernel gives one), 2 no connection or no answer.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "admin/AdminProtocol.h"
#include "common/ListenAddresses.h"
#include "platform/KFile.h"
#include "platform/SocketComm.h"
#include "store/FileINI.h"
#include "tools/Json.h"
#include "tools/Printable.h"

namespace {

constexpr int kAnswerWaitMs = 10000;

const std::map<std::string, int> kCommands = {
    {"status", 1},       {"stats", 2},       {"config-get", 3},   {"config-set", 4}, {"domains", 5},
    {"domain-add", 6},   {"domain-del", 7},  {"greylist", 8},     {"alwl", 9},       {"cron", 10},
    {"cron-add", 11},    {"cron-del", 12},   {"rules", 13},       {"rule-add", 14},  {"rule-del", 15},
    {"plugins", 16},     {"community", 17},  {"history", 18},     {"held", 19},      {"held-release", 20},
    {"held-delete", 21}, {"held-learn", 22}, {"check", 23},       {"rule-test", 24}, {"rule-set", 25},
    {"activity", 26},    {"grey-pass", 27},  {"list-del", 28},    {"embargo", 29},   {"embargo-add", 30},
    {"domain-list", 31}, {"cron-state", 32}, {"cron-enable", 33}, {"alwl-add", 34},  {"drain", 35},
};

// Commands whose first row names the columns: --json gives objects.
constexpr int kHistory = 18, kHeld = 19, kCheck = 23, kActivity = 26, kCronState = 32;

// Commands one of whose cells is a message: the command line names its file ("-": standard input).
const std::map<int, size_t> kMessageCell = {{kCheck, 1}, {24, 3}};

int Usage(FILE* to = stderr) {
    std::fprintf(to,
                 "usage: morvanectl [--host H] [--port P] [--key-file F | --appdir DIR] [--json] COMMAND [CELL...] "
                 "[--rows FILE]\n"
                 "--json prints the answer as JSON (history: one object per session)\n"
                 "check FILE [CLIENT [SENDER]] and rule-test PATTERN TYPE FILE [OPTIONS] read the message from FILE\n"
                 "COMMAND: a number N (scripts/admin/N.cs) or one of:\n");
    for (const auto& [name, n] : kCommands) std::fprintf(to, "  %-11s %d\n", name.c_str(), n);
    return to == stderr ? 2 : 0;
}

std::string Trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

std::vector<std::vector<std::string>> ReadRows(const std::string& path, bool* ok) {
    std::string text;
    *ok = platform::ReadWholeFile(path, text);
    std::vector<std::vector<std::string>> rows;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        std::string line = Trimmed(text.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
        at = nl == std::string::npos ? text.size() : nl + 1;
        if (line.empty()) continue;
        std::vector<std::string> cells;
        for (size_t s = 0;;) {
            size_t tab = line.find('\t', s);
            cells.push_back(line.substr(s, tab == std::string::npos ? std::string::npos : tab - s));
            if (tab == std::string::npos) break;
            s = tab + 1;
        }
        rows.push_back(std::move(cells));
    }
    return rows;
}

// Where to reach a server that listens on `addresses` (the kernel's list): its first address,
// or the loopback address of a wildcard's family.
std::string LocalAddressOf(const std::string& addresses) {
    const std::vector<std::string> all = common::SplitListenAddresses(addresses);
    const std::string first = all.empty() ? std::string() : all.front();
    if (first.empty() || first == "0.0.0.0") return "127.0.0.1";
    if (first == "::") return "::1";
    return first;
}

}  // namespace

int main(int argc, char** argv) {
    std::string host, port, key_file, app_dir, rows_file;
    bool json = false;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc) return false;
            into = argv[++i];
            return true;
        };
        if (a == "--host") {
            if (!value(host)) return Usage();
        } else if (a == "--port") {
            if (!value(port)) return Usage();
        } else if (a == "--key-file") {
            if (!value(key_file)) return Usage();
        } else if (a == "--appdir") {
            if (!value(app_dir)) return Usage();
        } else if (a == "--rows") {
            if (!value(rows_file)) return Usage();
        } else if (a == "--json") {
            json = true;
        } else if (a == "-h" || a == "--help") {
            return Usage(stdout);
        } else {
            args.push_back(a);
        }
    }
    if (args.empty()) return Usage();
    std::string key;
    if (!app_dir.empty()) {
        store::CFileINI ini;
        if (!ini.Load(app_dir + "/morvane.ini")) {
            std::fprintf(stderr, "morvanectl: cannot read %s/morvane.ini\n", app_dir.c_str());
            return 2;
        }
        key = ini.GetString("READMIN", "key", "").str();
        if (port.empty()) port = ini.GetString("READMIN", "port", "33").str();
        if (host.empty()) host = LocalAddressOf(ini.GetString("READMIN", "listen_ip", "127.0.0.1").str());
    }
    if (!key_file.empty()) {
        if (!platform::ReadWholeFile(key_file, key)) {
            std::fprintf(stderr, "morvanectl: cannot read the key file %s\n", key_file.c_str());
            return 2;
        }
        key = Trimmed(key);
    }
    if (key.empty()) {
        std::fprintf(stderr, "morvanectl: no key: give --key-file F or --appdir DIR\n");
        return 2;
    }
    if (host.empty() || host == "0.0.0.0") host = "127.0.0.1";
    if (port.empty()) port = "33";
    int cmd = 0;
    if (auto it = kCommands.find(args[0]); it != kCommands.end())
        cmd = it->second;
    else if (std::strspn(args[0].c_str(), "0123456789") == args[0].size())
        cmd = std::atoi(args[0].c_str());
    else
        return Usage();
    std::vector<std::vector<std::string>> rows;
    if (!rows_file.empty()) {
        bool ok = false;
        rows = ReadRows(rows_file, &ok);
        if (!ok) {
            std::fprintf(stderr, "morvanectl: cannot read %s\n", rows_file.c_str());
            return 2;
        }
    } else if (args.size() > 1) {
        rows.emplace_back(args.begin() + 1, args.end());
        auto cell = kMessageCell.find(cmd);
        if (cell != kMessageCell.end() && cell->second < rows[0].size() + 1) {
            std::string& c = rows[0][cell->second - 1];
            const std::string path = c == "-" ? "/dev/stdin" : c;
            if (!platform::ReadWholeFile(path, c)) {
                std::fprintf(stderr, "morvanectl: cannot read the message %s\n", path.c_str());
                return 2;
            }
        }
    }

    platform::CSocketComm socket;
    if (!socket.Connect(host, port, "", 5000)) {
        std::fprintf(stderr, "morvanectl: no connection to %s:%s\n", host.c_str(), port.c_str());
        return 2;
    }
    if (socket.Send(admin::BuildRequest(cmd, rows, key), 5000) <= 0) {
        std::fprintf(stderr, "morvanectl: cannot send to %s:%s\n", host.c_str(), port.c_str());
        return 2;
    }
    std::string answer;
    char buf[65536];
    for (int waited = 0; answer.find(admin::kEndTag) == std::string::npos && waited < kAnswerWaitMs; waited += 200) {
        int n = socket.Recv(buf, sizeof buf, 200);
        if (n < 0) break;
        answer.append(buf, static_cast<size_t>(n));
    }
    if (answer.find(admin::kEndTag) == std::string::npos) {
        std::fprintf(stderr, "morvanectl: no answer to command %d (a wrong key, or no scripts/admin/%d.cs)\n", cmd,
                     cmd);
        return 2;
    }
    admin::AdminAnswer a = admin::ParseAnswer(answer, key);
    if (a.error != 0) {
        if (a.reason.empty())
            std::fprintf(stderr, "morvanectl: command %d answered error %d\n", cmd, a.error);
        else
            std::fprintf(stderr, "morvanectl: command %d answered error %d: %s\n", cmd, a.error,
                         tools::Printable(a.reason).c_str());
        return 1;
    }
    if (json) {
        std::fputs(tools::JsonRows(a.rows, cmd == kHistory || cmd == kHeld || cmd == kCheck || cmd == kActivity ||
                                               cmd == kCronState)
                       .c_str(),
                   stdout);
        return 0;
    }
    for (const auto& row : a.rows) {
        for (size_t i = 0; i < row.size(); ++i) std::printf("%s%s", i ? "\t" : "", tools::Printable(row[i]).c_str());
        std::printf("\n");
    }
    return 0;
}
