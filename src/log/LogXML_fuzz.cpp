// Log entries of arbitrary bytes must keep morvane_log.xml a well-formed document: escaped
// content holds no markup, no forbidden byte and no broken entity, and every item leaves the
// file ending in its closing tag.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "log/LogXML.h"
#include "platform/KFile.h"
#include "platform/TestTempDir.h"

namespace {

void CheckContent(const std::string& s) {
    if (s.size() > logging::LogXML::kMaxContent) std::abort();
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '<' || c == '>' || c == '"') std::abort();
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') std::abort();
        if (c == '&') {
            std::string_view rest = std::string_view(s).substr(i);
            if (rest.rfind("&amp;", 0) && rest.rfind("&lt;", 0) && rest.rfind("&gt;", 0) && rest.rfind("&quot;", 0))
                std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string entry(reinterpret_cast<const char*>(data), size);
    CheckContent(logging::LogXML::EscapeContent(entry));

    // The folder goes at exit, so replays in ordinary test runs leave nothing behind.
    static const platform::TestTempDir dir;
    static const std::string path = dir.File("fuzz.xml");
    static logging::LogXML* log = nullptr;
    if (!log || log->Size() > (1 << 20)) {
        delete log;
        ::unlink(path.c_str());
        log = new logging::LogXML();
        log->Open(path, "fuzz");
        log->SetLevel(4);
    }
    size_t half = size / 2;
    log->Write(1, entry, entry.substr(0, half), entry.substr(half), entry.substr(0, 8), static_cast<int>(size));
    platform::CKFile f;
    char tail[10];
    if (!f.Open(path, platform::kFileRead) || f.Seek(-10, platform::SeekFrom::End) < 0 || f.Read(tail, 10) != 10 ||
        std::string_view(tail, 10) != logging::LogXML::kCloseTag)
        std::abort();
    return 0;
}
