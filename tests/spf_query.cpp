// One SPF answer per input line "ip<TAB>mail from<TAB>helo", asked of the name server in
// MORVANE_TEST_DNS through the evaluator and its cache, as SPFQuery does; prints the code.
// For tests/spf_suite.py.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "checks/Dns.h"
#include "checks/Spf.h"

int main() {
    const char* server = std::getenv("MORVANE_TEST_DNS");
    if (!server) {
        std::fprintf(stderr, "spf_query: MORVANE_TEST_DNS is not set\n");
        return 2;
    }
    checks::CDns dns("");
    dns.AddNameServer(server);
    dns.timeout_ms = 3000;  // a loaded test machine, not a slow server: loopback answers at once
    checks::SpfDnsLookup lookup(&dns);
    checks::CSpf spf("", &lookup);
    std::string line;
    while (std::getline(std::cin, line)) {
        const size_t a = line.find('\t'), b = line.find('\t', a == std::string::npos ? a : a + 1);
        if (a == std::string::npos || b == std::string::npos) {
            std::puts("?");
            continue;
        }
        const std::string ip = line.substr(0, a), from = line.substr(a + 1, b - a - 1), helo = line.substr(b + 1);
        const int result = spf.Query(ip.c_str(), from.c_str(), helo.c_str());
        std::printf("%d\n", result);
        if (std::getenv("MORVANE_SPF_WHY")) {  // the reason, asked again without the cache
            checks::spf::Context ctx;
            ctx.lookup = &lookup;
            if (checks::spf::Begin(ctx, ip, from, helo)) checks::spf::Check(ctx);
            std::fprintf(stderr, "%s %s %s: %s (%d queries)\n", ip.c_str(), from.c_str(), helo.c_str(),
                         ctx.error.c_str(), ctx.queries);
        }
        std::fflush(stdout);
    }
    return 0;
}
