#pragma once
// The messages of the paths given to a tool, read as a session holds a message: a message
// file, every file below a directory (in name order, so runs repeat), or an mbox file (a file
// whose first line starts with "From ", split at its "From " lines, ">From " unquoted once).
// Only the first kAnalysedBytes of each message are kept; the rest is read past.
#include <functional>
#include <string>

namespace tools {

// One message: its name (the path, or "PATH:N" for the N-th message of an mbox) and its text,
// or why it could not be read.
struct Message {
    std::string name;
    std::string text;
    std::string error;
};

using Visit = std::function<void(Message&)>;

void ForEachMessage(const std::string& path, const Visit& visit);

}  // namespace tools
