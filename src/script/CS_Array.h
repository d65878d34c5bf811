#pragma once
// CS_Array (scripts: HashArray): a map from text keys to text or binary values, ordered by the
// keys' bytes, with access by position in that order. Natives fill it for scripts (query
// results, headers, configuration sections) and scripts read it back. One thread at a time.
#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "common/String.h"

namespace script {

class CS_Array {
public:
    // Sets key to value; nothing happens when either is null.
    void AddValueS(const char* key, const char* value);
    void AddValueI(const char* key, int32_t value);  // "%d"
    void AddValueF(const char* key, float value);    // "%g"
    void AddValueB(const char* key, const void* data, int32_t length);
    // AddValueB as scripts call it: the bytes come from a CS_Buffer object, at most as many as
    // it holds (an untyped address would let a script read any memory).
    void AddValueBuffer(const char* key, common::String* buffer, int32_t length) {
        if (!buffer) return;
        std::string_view bytes = buffer->Bytes();
        AddValueB(key, bytes.data(), std::min(length, static_cast<int32_t>(bytes.size())));
    }
    // The value's text, or "" when absent.
    const char* GetS(const char* key) const;
    int32_t GetI(const char* key) const;  // leading blanks, sign, digits; 0 when none
    float GetF(const char* key) const;
    // The stored bytes (nullptr when absent) and their length.
    const void* GetB(const char* key) const;
    int32_t GetLenValue(const char* key) const;
    // By position in key order; "" (or 0) outside 0..count-1.
    const char* GetByIndexS(int32_t index) const;
    int32_t GetByIndexI(int32_t index) const;
    float GetByIndexF(int32_t index) const;
    int32_t GetIndexByKey(const char* key) const;
    // nullptr for a negative index or one past the end.
    const char* GetKeyByIndex(int32_t index) const;
    void Reset();
    int32_t GetRecordCount() const { return static_cast<int32_t>(map_.size()); }
    void Merge(const CS_Array& other);
    // Merge as scripts call it, with the other map by pointer (null merges nothing).
    void MergeFrom(CS_Array* other) {
        if (other) Merge(*other);
    }
    int32_t KeyExists(const char* key) const;

    // Native access.
    void Set(std::string_view key, std::string_view value) {
        Put(std::string(key)).SetBinary(value.data(), static_cast<int>(value.size()));
    }
    const std::map<std::string, common::String>& Map() const { return map_; }

private:
    using Map_ = std::map<std::string, common::String>;
    common::String& Put(std::string key);
    const common::String* Find(const char* key) const;
    Map_::const_iterator At(int32_t index) const;

    Map_ map_;
    // The last position looked up, so reading every entry in order costs O(n), not O(n^2).
    mutable int32_t cached_index_ = -1;
    mutable Map_::const_iterator cached_;
};

}  // namespace script
