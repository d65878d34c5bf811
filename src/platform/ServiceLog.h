#pragma once
// ServiceLog: the small plain-text log for what happens before the XML log exists and for all
// service-control traffic. Each line is the local time and a message that carries its own
// line end. Any thread may write; writes are serialised and a failed write is ignored.
#include <string>

namespace platform {

class ServiceLog {
public:
    // The log's path for an executable: the last four characters replaced by ".log" when the
    // fourth from the end is a dot ("kernel.exe" -> "kernel.log"), else ".log" appended.
    static std::string PathFor(const std::string& executable);

    explicit ServiceLog(std::string path) : path_(std::move(path)) {}
    void Write(const char* format, ...) __attribute__((format(printf, 2, 3)));
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

}  // namespace platform
