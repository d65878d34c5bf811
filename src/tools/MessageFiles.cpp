#include "tools/MessageFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "checks/Bayes.h"

namespace tools {

namespace {

namespace fs = std::filesystem;

// The messages of an mbox, split at "From " lines; ">From " lines lose one ">".
void ReadMbox(const std::string& path, std::ifstream& in, const Visit& visit) {
    Message m;
    int number = 0;
    std::string line;
    auto flush = [&] {
        if (number > 0) visit(m);
        m = Message{};
    };
    while (std::getline(in, line)) {
        if (line.rfind("From ", 0) == 0) {
            flush();
            m.name = path + ":" + std::to_string(++number);
            continue;
        }
        // Only the analysed head of each message matters; the rest is read past.
        if (m.text.size() > checks::kAnalysedBytes) continue;
        size_t quotes = line.find_first_not_of('>');
        if (quotes > 0 && quotes != std::string::npos && line.compare(quotes, 5, "From ") == 0) line.erase(0, 1);
        m.text += line;
        m.text += '\n';
    }
    flush();
}

void ReadFile(const std::string& path, const Visit& visit) {
    std::ifstream in(path, std::ios::binary);
    Message m{path, {}, {}};
    if (!in) {
        m.error = std::strerror(errno);
        visit(m);
        return;
    }
    std::string head(5, '\0');
    in.read(head.data(), 5);
    if (in.gcount() == 5 && head == "From ") {
        in.seekg(0);
        ReadMbox(path, in, visit);
        return;
    }
    in.clear();
    in.seekg(0);
    m.text.resize(checks::kAnalysedBytes);
    in.read(m.text.data(), static_cast<std::streamsize>(m.text.size()));
    if (in.bad()) m.error = std::strerror(errno);
    m.text.resize(static_cast<size_t>(in.gcount()));
    visit(m);
}

}  // namespace

void ForEachMessage(const std::string& path, const Visit& visit) {
    std::error_code ec;
    if (!fs::is_directory(path, ec)) {
        if (!fs::exists(path, ec)) {
            Message m{path, {}, "no such file or directory"};
            visit(m);
            return;
        }
        ReadFile(path, visit);
        return;
    }
    std::vector<std::string> files;
    for (auto it = fs::recursive_directory_iterator(path, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file(ec)) files.push_back(it->path().string());
    std::sort(files.begin(), files.end());
    for (const std::string& f : files) ReadFile(f, visit);
}

}  // namespace tools
