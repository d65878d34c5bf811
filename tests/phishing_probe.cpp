// The HTTP client and the phishing list update from the shell, for tests/phishing_update_test.py:
//   phishing_probe get URL [TIMEOUT_S [MAX_KB]]   one GET: "rc=N complete=N status=N", then the body
//   phishing_probe post URL DATA                  one POST, printed the same way
//   phishing_probe update FILE                    Load, UpdateFromService: "rc=N why", then the domains
//   phishing_probe check FILE MESSAGE...          VERDICT<TAB>DOMAIN<TAB>MESSAGE per message (no SPF
//                                                 result: the sender check never trusts)
#include <cstdio>
#include <cstdlib>
#include <string>

#include "checks/Bayes.h"
#include "checks/Phishing.h"
#include "platform/HttpClient.h"

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::string command = argv[1];
    if (command == "get" || command == "post") {
        platform::CMorvaneHTTPClient http;
        if (command == "get" && argc > 3) http.SetTimeOut(std::atoi(argv[3]));
        if (command == "get" && argc > 4) http.SetMaxBufferLen(std::atoi(argv[4]));
        int rc =
            http.SendRequest(command == "post" ? 1 : 0, argv[2], command == "post" && argc > 3 ? argv[3] : nullptr);
        std::printf("rc=%d complete=%d status=%d\n%s", rc, http.complete ? 1 : 0,
                    platform::CMorvaneHTTPClient::StatusCode(http.header), http.body.c_str());
        return 0;
    }
    if (command == "update") {
        checks::CPhishingDB db(argv[2]);
        db.Load();
        std::string why;
        int rc = db.UpdateFromService(&why);
        std::printf("rc=%d %s\n", rc, why.c_str());
        for (const std::string& d : db.Domains()) std::printf("%s\n", d.c_str());
        return 0;
    }
    if (command == "check") {
        checks::CPhishingDB db(argv[2]);
        db.Load();
        for (int i = 3; i < argc; ++i) {
            mail::CParseMail m;
            if (!checks::LoadMessageFile(argv[i], m)) continue;
            std::string fake;
            int v = db.Check(m, &fake, 3, "");
            std::printf("%d\t%s\t%s\n", v, fake.c_str(), argv[i]);
        }
        return 0;
    }
    return 2;
}
