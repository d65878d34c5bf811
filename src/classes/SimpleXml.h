#pragma once
// The simple XML reader (script classes XMLParse and XMLChild): flat record files, a document
// element holding a list of equal child elements, each holding named text values, such as a
// plug-in's info.xml. A streaming reader on regular expressions, not an XML parser: entities
// are not decoded, attributes are not read, nesting below the values is flattened. Reading
// stops at 1 MiB of pending text, at the optional time-out and after the optional number of
// children.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace classes {

class CSimpleXMLItmesChild {
public:
    bool AddValue(const char* name, const char* value);
    std::string GetValue(const char* name) const;
    int32_t GetCount() const { return static_cast<int32_t>(values_.size()); }
    const std::map<std::string, std::string>& Values() const { return values_; }

private:
    std::map<std::string, std::string> values_;
};

class CSimpleXMLParse {
public:
    static constexpr size_t kReadBlock = 4096;
    static constexpr size_t kMaxPending = 1048576;
    static constexpr size_t kDeclarationWithin = 50;

    int32_t LoadFile(const char* path, const char* filter_name, const char* filter_pattern);
    // The same on text in memory (tests, fuzzing): `text` plays the file.
    int32_t LoadText(const std::string& text, const char* filter_name, const char* filter_pattern);
    void SetMaxChild(int32_t n) { max_children_ = n; }
    void SetStreamingTimeOut(int32_t seconds) { timeout_s_ = seconds; }
    void SetPartSeek(int32_t tenths) { part_seek_ = tenths; }
    int32_t GetCountChild() const { return static_cast<int32_t>(children_.size()); }
    // A negative index gives the first child; null at or beyond the count.
    CSimpleXMLItmesChild* GetChild(int32_t index);
    const std::string& DocumentName() const { return document_; }
    const std::string& ChildName() const { return child_; }

private:
    // Where the reader takes its bytes: a file or a text.
    struct Source {
        virtual ~Source() = default;
        virtual size_t Read(char* to, size_t n) = 0;
        virtual int64_t Length() = 0;
        virtual void SeekTo(int64_t at) = 0;
    };
    struct FileSource;
    struct TextSource;
    int32_t Load(Source& source, const char* filter_name, const char* filter_pattern);

    std::string document_, child_;
    std::vector<std::shared_ptr<CSimpleXMLItmesChild>> children_;
    // Children of earlier loads: a script may still hold them.
    std::vector<std::shared_ptr<CSimpleXMLItmesChild>> retired_;
    int32_t max_children_ = 0;
    int32_t timeout_s_ = 0;
    int32_t part_seek_ = 0;
};

void RegisterXmlImportables();

}  // namespace classes
