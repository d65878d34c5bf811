#pragma once
// ServiceLog: the small plain-text log for what happens before the XML log exists and for all
// service-control traffic, kept in the application directory (never beside the executable: an
// installed daemon must not write into /usr). Each line is the local time and a message that carries its own
// line end. Any thread may write; writes are serialised and a failed write is ignored.
#include <string>

namespace platform {

class ServiceLog {
public:
    // `to_stderr`: each line also goes to standard error (a kernel under systemd: the journal
    // keeps it).
    explicit ServiceLog(std::string path, bool to_stderr = false) : path_(std::move(path)), to_stderr_(to_stderr) {}
    void Write(const char* format, ...) __attribute__((format(printf, 2, 3)));
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    bool to_stderr_;
};

}  // namespace platform
