#pragma once
// TestTempDir: a fresh directory for one test, removed with the object (a fuzz target keeps a
// static one, removed at exit). Test code only.
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>

#include "platform/KFile.h"

namespace platform {

class TestTempDir {
public:
    // Under `base` when given (a fuzz target may want tmpfs), else the system's temporary folder.
    explicit TestTempDir(const std::filesystem::path& base = {}) {
        static std::atomic<int> counter{0};
        path_ = (base.empty() ? std::filesystem::temp_directory_path() : base) /
                ("morvane_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TestTempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TestTempDir(const TestTempDir&) = delete;
    TestTempDir& operator=(const TestTempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }
    std::string Read(const std::string& name) const {
        std::string s;
        ReadWholeFile(File(name), s);
        return s;
    }
    // Writes `text` to `name`, creating the directories it lies in.
    bool Write(const std::string& name, const std::string& text) const {
        std::filesystem::create_directories(std::filesystem::path(File(name)).parent_path());
        return WriteFileAtomic(File(name), text);
    }

private:
    std::filesystem::path path_;
};

}  // namespace platform
