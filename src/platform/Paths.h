#pragma once
// Where the kernel lives: the executable's path and the application directory that every data
// path is relative to. Set once at start by the entry point, read by everyone afterwards.
#include <string>
#include <string_view>

namespace platform {

// Full path of the running executable (/proc/self/exe), at most 500 characters.
std::string ExecutablePath();
// The executable's directory, without a trailing slash.
std::string ExecutableDir();

// The application directory: --appdir when given, else the executable's directory.
// SetAppDir makes the path absolute and strips trailing slashes.
void SetAppDir(const std::string& dir);
const std::string& AppDir();
// AppDir() + "/" + relative, with a leading "/" of `relative` not doubled.
std::string AppPath(const std::string& relative);

// A path a script names: as given when absolute, else AppPath(path); "" for an empty one.
std::string ResolveAppPath(std::string_view path);

// The file under `root` that `relative` names, or "" when it would leave the root: ".."
// or "." segments, backslashes, NUL bytes, a path that is not below the root once symbolic
// links are followed. A file that does not exist is resolved as written (its open then
// fails). Every file name made from data (a request, a domain, a script name) goes through
// this before it is opened or removed.
std::string ResolveUnder(const std::string& root, std::string_view relative);

// Creates `dir` and its parents; true when it exists afterwards.
bool MakeDirs(const std::string& dir);

}  // namespace platform
