// Verifies the DKIM signatures of message files against key records of a file, for
// tests/dkim_test.py: "dkim_verify KEYS MESSAGE..." where KEYS holds "NAME<TAB>TXT" lines (a
// TXT of "TEMPFAIL" makes that lookup fail). Prints, per message, one line per signature:
// "FILE<TAB>RESULT<TAB>DOMAIN<TAB>SELECTOR<TAB>REASON", or "FILE<TAB>none".
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "checks/Dkim.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: dkim_verify KEYS MESSAGE...\n");
        return 2;
    }
    std::map<std::string, std::string> keys;
    std::ifstream in(argv[1]);
    for (std::string line; std::getline(in, line);) {
        const size_t tab = line.find('\t');
        if (tab != std::string::npos) keys[line.substr(0, tab)] = line.substr(tab + 1);
    }
    const checks::dkim::KeyLookup lookup = [&keys](const std::string& name, std::string* txt) {
        auto it = keys.find(name);
        if (it == keys.end()) return 1;
        if (it->second == "TEMPFAIL") return 2;
        *txt = it->second;
        return 0;
    };
    for (int i = 2; i < argc; ++i) {
        std::ifstream f(argv[i], std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        const auto verdicts = checks::dkim::Verify(ss.str(), lookup, 1700000000);
        if (verdicts.empty()) std::printf("%s\tnone\n", argv[i]);
        for (const auto& v : verdicts)
            std::printf("%s\t%s\t%s\t%s\t%s\n", argv[i], checks::dkim::ResultName(v.result), v.domain.c_str(),
                        v.selector.c_str(), v.reason.c_str());
    }
    return 0;
}
