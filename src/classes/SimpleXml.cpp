#include "classes/SimpleXml.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "common/Regex.h"
#include "platform/KFile.h"
#include "platform/Paths.h"
#include "script/Bind.h"
#include "script/Imports.h"

namespace classes {

namespace {

constexpr const char* kDeclaration = R"re(<?xml version="(.+?)" .+? ?>)re";
constexpr const char* kTag = "<(.+?)>";

// The name of the first tag in `text`, and where that tag ends; false when there is none.
bool FirstTag(const std::string& text, std::string* name, size_t* end) {
    common::RegexMatch m = common::RegexSearch(kTag, common::kRegexCaseless, text);
    if (!m.matched()) return false;
    *name = m.text[1];
    *end = static_cast<size_t>(m.offset[0]) + m.text[0].size();
    return true;
}

void Erase(std::string& s, char c) {
    s.erase(std::remove(s.begin(), s.end(), c), s.end());
}

}  // namespace

bool CSimpleXMLItmesChild::AddValue(const char* name, const char* value) {
    if (!name || !value) return false;
    values_[name] = value;
    return true;
}

std::string CSimpleXMLItmesChild::GetValue(const char* name) const {
    if (!name) return std::string();
    auto it = values_.find(name);
    return it == values_.end() ? std::string() : it->second;
}

CSimpleXMLItmesChild* CSimpleXMLParse::GetChild(int32_t index) {
    if (children_.empty() || index >= GetCountChild()) return nullptr;
    return children_[index < 0 ? 0 : static_cast<size_t>(index)].get();
}

struct CSimpleXMLParse::FileSource : Source {
    platform::CKFile file;
    size_t Read(char* to, size_t n) override {
        int64_t got = file.Read(to, n);
        return got > 0 ? static_cast<size_t>(got) : 0;
    }
    int64_t Length() override { return file.GetLength(); }
    void SeekTo(int64_t at) override { file.Seek(at, platform::SeekFrom::Begin); }
};

struct CSimpleXMLParse::TextSource : Source {
    explicit TextSource(const std::string& t) : text(t) {}
    const std::string& text;
    size_t at = 0;
    size_t Read(char* to, size_t n) override {
        size_t count = std::min(n, text.size() - std::min(at, text.size()));
        std::memcpy(to, text.data() + at, count);
        at += count;
        return count;
    }
    int64_t Length() override { return static_cast<int64_t>(text.size()); }
    void SeekTo(int64_t to) override { at = static_cast<size_t>(std::max<int64_t>(0, to)); }
};

int32_t CSimpleXMLParse::LoadFile(const char* path, const char* filter_name, const char* filter_pattern) {
    if (!path || !*path) return 0;
    FileSource source;
    if (!source.file.Open(platform::ResolveAppPath(path),
                          platform::kFileRead | platform::kFileShareDenyNone | platform::kFileBinary))
        return 0;
    return Load(source, filter_name, filter_pattern);
}

int32_t CSimpleXMLParse::LoadText(const std::string& text, const char* filter_name, const char* filter_pattern) {
    TextSource source(text);
    return Load(source, filter_name, filter_pattern);
}

int32_t CSimpleXMLParse::Load(Source& source, const char* filter_name, const char* filter_pattern) {
    for (auto& c : children_) retired_.push_back(std::move(c));
    children_.clear();
    document_.clear();
    child_.clear();
    const bool timed = timeout_s_ > 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s_);
    const bool filtered = filter_name && *filter_name && filter_pattern && *filter_pattern;
    std::string pending, after_empty_read;
    bool empty_read_seen = false, declared = false;
    size_t total = 0;
    char block[kReadBlock];
    while (true) {
        size_t n = source.Read(block, sizeof block);
        total += n;
        pending.append(block, n);
        if (n == 0) {
            if (pending.empty() || (empty_read_seen && pending == after_empty_read)) break;
            after_empty_read = pending;
            empty_read_seen = true;
        }
        if (pending.size() > kMaxPending || (timed && std::chrono::steady_clock::now() >= deadline)) break;
        if (!declared) {
            if (!common::RegexTest(kDeclaration, common::kRegexCaseless, pending)) {
                if (total > kDeclarationWithin) return 0;
                continue;
            }
            pending.erase(0, pending.find('>') + 1);
            declared = true;
        }
        std::string name;
        size_t end = 0;
        while (document_.empty() && FirstTag(pending, &name, &end)) {
            pending.erase(0, end);
            if (name.find(' ') == std::string::npos) document_ = name;
        }
        if (document_.empty()) continue;
        bool wait = false;
        while (child_.empty() && !wait && FirstTag(pending, &name, &end)) {
            if (name.find(' ') != std::string::npos) {
                pending.erase(0, end);
                continue;
            }
            const std::string open = "<" + name + ">", close = "</" + name + ">";
            size_t o = pending.find(open), c = o == std::string::npos ? o : pending.find(close, o + open.size());
            if (o != std::string::npos && c != std::string::npos) {
                std::string inner = pending.substr(o + open.size(), c - o - open.size());
                if (inner.find('<') != std::string::npos && inner.find('>') != std::string::npos) {
                    child_ = name;
                    if (part_seek_ >= 1 && part_seek_ <= 9) {
                        source.SeekTo(part_seek_ * (source.Length() / 10));
                        pending.clear();
                        wait = true;
                    }
                    break;
                }
                pending.erase(0, c + close.size());
                continue;
            }
            wait = true;  // the element is not complete yet: read on
        }
        if (child_.empty() || wait) continue;
        const std::string open = "<" + child_ + ">", close = "</" + child_ + ">";
        bool full = false;
        for (size_t o, c; (o = pending.find(open)) != std::string::npos &&
                          (c = pending.find(close, o + open.size())) != std::string::npos;) {
            std::string cut = pending.substr(o + open.size(), c - o - open.size());
            pending.erase(0, c + close.size());
            auto item = std::make_shared<CSimpleXMLItmesChild>();
            std::string vname;
            size_t vend = 0;
            while (FirstTag(cut, &vname, &vend)) {
                const std::string vo = "<" + vname + ">", vc = "</" + vname + ">";
                size_t a = cut.find(vo), b = a == std::string::npos ? a : cut.find(vc, a + vo.size());
                if (b == std::string::npos) break;
                std::string value = cut.substr(a + vo.size(), b - a - vo.size());
                Erase(value, '<');
                Erase(value, '>');
                item->AddValue(vname.c_str(), value.c_str());
                cut.erase(0, b + vc.size());
            }
            bool keep = item->GetCount() > 0;
            if (keep && filtered)
                keep = common::RegexTest(filter_pattern, common::kRegexCaseless, item->GetValue(filter_name));
            if (keep) children_.push_back(std::move(item));
            if (max_children_ >= 1 && GetCountChild() >= max_children_) {
                full = true;
                break;
            }
        }
        if (full) break;
    }
    return 1;
}

void RegisterXmlImportables() {
    script::ClassIdOf<CSimpleXMLItmesChild>::SetName("XMLChild");
    script::RegisterImportable("XMLChild", [](script::Interpreter& in) {
        auto c = std::make_unique<script::ExternClass<CSimpleXMLItmesChild>>("XMLChild");
        c->Method("AddValue", &CSimpleXMLItmesChild::AddValue)
            .Method("GetValue", &CSimpleXMLItmesChild::GetValue)
            .Method("GetCount", &CSimpleXMLItmesChild::GetCount);
        in.AddExternClass("XMLChild", std::move(c));
    });
    script::RegisterImportable("XMLParse", [](script::Interpreter& in) {
        auto c = std::make_unique<script::ExternClass<CSimpleXMLParse>>("XMLParse");
        c->Method("LoadFile", &CSimpleXMLParse::LoadFile, ",0,0")
            .Method("SetMaxChild", &CSimpleXMLParse::SetMaxChild)
            .Method("SetStreamingTimeOut", &CSimpleXMLParse::SetStreamingTimeOut)
            .Method("SetPartSeek", &CSimpleXMLParse::SetPartSeek)
            .Method("GetCountChild", &CSimpleXMLParse::GetCountChild)
            .Method("GetChild", &CSimpleXMLParse::GetChild);
        in.AddExternClass("XMLParse", std::move(c));
    });
}

}  // namespace classes
