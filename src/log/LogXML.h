#pragma once
// LogXML: the kernel's running log "morvane_log.xml", a document that is well-formed after
// every item, so a browser (through "Log.xsl") or xmllint can read it while the kernel runs.
//
// Only the main thread writes it; every other thread logs through a CLogQueue. Failures to
// open, write or close the file are reported on standard error and the kernel goes on.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/KFile.h"

namespace logging {

class LogXML {
public:
    // Escaped element content is cut to this many bytes.
    static constexpr size_t kMaxContent = 512;
    static constexpr std::string_view kCloseTag = "</LogFile>";

    LogXML() = default;
    ~LogXML();
    LogXML(const LogXML&) = delete;
    LogXML& operator=(const LogXML&) = delete;

    // Opens or creates the file; a new or empty file gets the document header.
    bool Open(const std::string& path, std::string_view app_name);
    // Writes one item when `level` is at most the log level (true without writing otherwise).
    // False when a write failed.
    bool Write(int level, std::string_view entry, std::string_view file = {}, std::string_view function = {},
               std::string_view type = {}, int id_connection = 0);
    // Stores the level and writes "Set Log Level to: %d" at level 0.
    void SetLevel(int level);
    int GetLevel() const { return level_; }
    // Closes an open item, writes "Log File closed" (log level 1 or more) and closes the file.
    void Close();
    int64_t Size() const { return file_.GetLength(); }
    bool IsOpen() const { return file_.IsOpen(); }

    // Element content as written: "&", "<", ">" and '"' escaped, bytes XML 1.0 forbids (control
    // characters but tab, LF and CR) replaced by "?", cut to kMaxContent bytes without
    // splitting an entity.
    static std::string EscapeContent(std::string_view content);

private:
    void Element(std::string& out, std::string_view name, std::string_view content) const;
    void NewLine(std::string& out) const;
    void DateTime(std::string& out) const;
    bool BeginItemPosition();
    bool Emit(const std::string& text);

    platform::CKFile file_;
    int level_ = 0;
    int depth_ = 0;
};

}  // namespace logging
