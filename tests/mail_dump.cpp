// Parses each message file named on the command line and prints one JSON line per message:
// the fields the corpus comparison checks. Used by tests/mail_corpus_check.sh.
#include <cstdio>
#include <string>

#include "mail/ParseMail.h"
#include "platform/KFile.h"

namespace {
std::string Json(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}
}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string text;
        if (!platform::ReadWholeFile(argv[i], text)) continue;
        mail::CParseMail m;
        m.AddStreaming(text.substr(0, 30720));  // what a session hands its parser
        m.Parse();
        std::printf("{\"file\":%s,\"subject\":%s,\"content_type\":%s,\"parts\":%zu,\"part_types\":[",
                    Json(argv[i]).c_str(), Json(m.Subject()).c_str(), Json(m.ContentType()).c_str(), m.Parts().size());
        for (size_t p = 0; p < m.Parts().size(); ++p)
            std::printf("%s%s", p ? "," : "", Json(m.Parts()[p].content_type).c_str());
        std::printf("]}\n");
    }
    return 0;
}
