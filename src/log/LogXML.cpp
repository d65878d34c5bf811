#include "log/LogXML.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/Clock.h"

namespace logging {

namespace {

void AppendEscaped(std::string& out, char c) {
    switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: {
            unsigned char u = static_cast<unsigned char>(c);
            bool forbidden = u < 0x20 && c != '\t' && c != '\n' && c != '\r';
            out += forbidden ? '?' : c;
        }
    }
}

}  // namespace

LogXML::~LogXML() {
    if (file_.IsOpen()) file_.Close();
}

std::string LogXML::EscapeContent(std::string_view content) {
    std::string out;
    out.reserve(content.size() + 16);
    for (char c : content) {
        size_t before = out.size();
        AppendEscaped(out, c);
        // An entity that would cross the cut is left out whole: half an entity is not XML.
        if (out.size() > kMaxContent) {
            out.resize(before);
            break;
        }
    }
    return out;
}

void LogXML::NewLine(std::string& out) const {
    out += '\n';
    out.append(static_cast<size_t>(depth_ > 0 ? depth_ : 0) * 2, ' ');
}

void LogXML::Element(std::string& out, std::string_view name, std::string_view content) const {
    if (name.empty()) return;
    NewLine(out);
    out += '<';
    out += name;
    out += '>';
    out += EscapeContent(content);
    out += "</";
    out += name;
    out += '>';
}

void LogXML::DateTime(std::string& out) const {
    std::tm t = common::LocalTime(common::NowSeconds());
    char date[32], time[32];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    std::snprintf(time, sizeof time, "%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
    Element(out, "Date", date);
    Element(out, "Time", time);
}

bool LogXML::Emit(const std::string& text) {
    if (file_.Write(text)) return true;
    std::fprintf(stderr, "LogXML: Could not write file \n: %s\n", std::strerror(errno));
    return false;
}

bool LogXML::Open(const std::string& path, std::string_view app_name) {
    if (!file_.Open(path, platform::kFileReadWrite | platform::kFileCreate | platform::kFileNoTruncate)) {
        std::fprintf(stderr, "LogXML: Error opening file \"%s\".\n: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    char head[5];
    if (file_.Read(head, sizeof head) > 0) {
        file_.Seek(0, platform::SeekFrom::End);
        depth_ = 1;
        return true;
    }
    depth_ = 0;
    std::string out = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n";
    out += "<?xml-stylesheet href=\"Log.xsl\" type=\"text/xsl\" ?>";
    NewLine(out);
    out += "<LogFile>";
    Element(out, "AppName", app_name);
    Element(out, "Timestamp", std::to_string(common::NowSeconds()));
    DateTime(out);
    // Closed at once, so the file is a document even before its first item; the first item
    // overwrites the tag like every later one.
    out += kCloseTag;
    depth_ = 1;
    return Emit(out);
}

bool LogXML::BeginItemPosition() {
    // Items go where the document's closing tag is, so the file stays one document. A file
    // that does not end in the tag (a crash mid-write) is appended to at its end.
    int64_t len = file_.GetLength();
    if (len >= static_cast<int64_t>(kCloseTag.size())) {
        char tail[16];
        int64_t at = file_.Seek(len - static_cast<int64_t>(kCloseTag.size()), platform::SeekFrom::Begin);
        if (at >= 0 && file_.Read(tail, kCloseTag.size()) == static_cast<int64_t>(kCloseTag.size()) &&
            std::string_view(tail, kCloseTag.size()) == kCloseTag) {
            return file_.Seek(at, platform::SeekFrom::Begin) >= 0;
        }
    }
    return file_.Seek(0, platform::SeekFrom::End) >= 0;
}

bool LogXML::Write(int level, std::string_view entry, std::string_view file, std::string_view function,
                   std::string_view type, int id_connection) {
    if (level > level_) return true;
    if (!file_.IsOpen()) return false;
    BeginItemPosition();
    std::string out;
    NewLine(out);
    out += "<LogItem>";
    ++depth_;
    DateTime(out);
    if (level_ != 4) {
        Element(out, "Filename", "");
        Element(out, "Function", "");
    } else {
        if (!file.empty()) Element(out, "Filename", file);
        if (!function.empty()) Element(out, "Function", function);
    }
    if (!type.empty()) Element(out, "Type", type);
    if (id_connection != 0) Element(out, "IdConnection", std::to_string(id_connection));
    Element(out, "Entry", entry);
    --depth_;
    NewLine(out);
    out += "</LogItem>";
    out += kCloseTag;
    return Emit(out);
}

void LogXML::SetLevel(int level) {
    level_ = level;
    char entry[64];
    std::snprintf(entry, sizeof entry, "Set Log Level to: %d", level);
    Write(0, entry, {}, {}, "SYS", 0);
}

void LogXML::Close() {
    if (!file_.IsOpen()) return;
    std::string out;
    while (depth_ > 1) {
        --depth_;
        NewLine(out);
        out += "</LogItem>";
        out += kCloseTag;
    }
    if (!out.empty()) Emit(out);
    if (level_ >= 1) {
        BeginItemPosition();
        out.clear();
        NewLine(out);
        out += "<LogItem>";
        ++depth_;
        DateTime(out);
        if (level_ == 4) {
            Element(out, "Filename", "LogXML");
        } else {
            Element(out, "Filename", "");
            Element(out, "Function", "");
        }
        Element(out, "Type", "SYS");
        Element(out, "Entry", "Log File closed");
        --depth_;
        NewLine(out);
        out += "</LogItem>";
        out += kCloseTag;
        Emit(out);
    }
    --depth_;
    if (!file_.Close()) std::fprintf(stderr, "LogXML: Error closing \n: %s\n", std::strerror(errno));
}

}  // namespace logging
