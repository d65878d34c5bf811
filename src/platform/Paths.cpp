#include "platform/Paths.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "common/String.h"

namespace platform {

namespace {
std::string& AppDirStorage() {
    static std::string dir;
    return dir;
}
}  // namespace

std::string ExecutablePath() {
    char buf[501];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    return std::string(buf, static_cast<size_t>(n));
}

std::string ExecutableDir() {
    std::string exe = ExecutablePath();
    size_t slash = exe.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : exe.substr(0, slash);
}

void SetAppDir(const std::string& dir) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(dir.empty() ? "." : dir, ec);
    std::string s = (ec ? std::filesystem::path(dir) : p.lexically_normal()).string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    AppDirStorage() = s;
}

const std::string& AppDir() {
    std::string& dir = AppDirStorage();
    if (dir.empty()) dir = ExecutableDir();
    return dir;
}

std::string AppPath(const std::string& relative) {
    if (!relative.empty() && relative.front() == '/') return AppDir() + relative;
    return AppDir() + "/" + relative;
}

std::string ResolveAppPath(std::string_view path) {
    if (path.empty()) return std::string();
    return path.front() == '/' ? std::string(path) : AppPath(std::string(path));
}

std::string ResolveUnder(const std::string& root, std::string_view relative) {
    if (relative.empty() || relative.find('\0') != std::string_view::npos ||
        relative.find('\\') != std::string_view::npos)
        return {};
    for (std::string_view seg : common::SplitNonEmpty(relative, '/'))
        if (seg == ".." || seg == ".") return {};
    char* real_root = ::realpath(root.c_str(), nullptr);
    if (!real_root) return {};
    std::string base(real_root);
    std::free(real_root);
    std::string rel(relative);
    while (!rel.empty() && rel.front() == '/') rel.erase(0, 1);
    if (rel.empty()) return {};
    std::string path = base == "/" ? "/" + rel : base + "/" + rel;
    // Links are followed: a link inside the root that points outside it leaves the root.
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return path;
    std::string resolved(real);
    std::free(real);
    if (base == "/") return resolved;
    if (resolved.compare(0, base.size(), base) != 0 || (resolved.size() > base.size() && resolved[base.size()] != '/'))
        return {};
    return resolved;
}

bool MakeDirs(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return std::filesystem::is_directory(dir, ec);
}

}  // namespace platform
