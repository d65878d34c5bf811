#include "script/CS_Array.h"

#include <cstdio>
#include <cstdlib>

namespace script {

namespace {

int32_t ReadInt(const char* s) {
    return s ? static_cast<int32_t>(std::strtol(s, nullptr, 10)) : 0;
}
float ReadFloat(const char* s) {
    return s ? std::strtof(s, nullptr) : 0.0f;
}

}  // namespace

common::String& CS_Array::Put(std::string key) {
    cached_index_ = -1;
    return map_[std::move(key)];
}

const common::String* CS_Array::Find(const char* key) const {
    if (!key) return nullptr;
    auto it = map_.find(key);
    return it == map_.end() ? nullptr : &it->second;
}

CS_Array::Map_::const_iterator CS_Array::At(int32_t index) const {
    if (index < 0 || index >= GetRecordCount()) return map_.end();
    if (cached_index_ >= 0 && index >= cached_index_) {
        std::advance(cached_, index - cached_index_);
    } else {
        cached_ = std::next(map_.begin(), index);
    }
    cached_index_ = index;
    return cached_;
}

void CS_Array::AddValueS(const char* key, const char* value) {
    if (!key || !value) return;
    Put(key) = value;
}

void CS_Array::AddValueI(const char* key, int32_t value) {
    if (!key) return;
    Put(key) = common::String(value);
}

void CS_Array::AddValueF(const char* key, float value) {
    if (!key) return;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", static_cast<double>(value));
    Put(key) = buf;
}

void CS_Array::AddValueB(const char* key, const void* data, int32_t length) {
    if (!key || !data || length < 0) return;
    Put(key).SetBinary(data, length);
}

const char* CS_Array::GetS(const char* key) const {
    const common::String* v = Find(key);
    return v ? v->c_str() : "";
}

int32_t CS_Array::GetI(const char* key) const {
    return ReadInt(GetS(key));
}
float CS_Array::GetF(const char* key) const {
    return ReadFloat(GetS(key));
}

const void* CS_Array::GetB(const char* key) const {
    const common::String* v = Find(key);
    return v ? v->Bytes().data() : nullptr;
}

int32_t CS_Array::GetLenValue(const char* key) const {
    const common::String* v = Find(key);
    if (!v) return 0;
    return v->BinaryLength() > 0 ? v->BinaryLength() : v->Length();
}

const char* CS_Array::GetByIndexS(int32_t index) const {
    auto it = At(index);
    return it == map_.end() ? "" : it->second.c_str();
}

int32_t CS_Array::GetByIndexI(int32_t index) const {
    return ReadInt(GetByIndexS(index));
}
float CS_Array::GetByIndexF(int32_t index) const {
    return ReadFloat(GetByIndexS(index));
}

int32_t CS_Array::GetIndexByKey(const char* key) const {
    if (!key) return -1;
    auto it = map_.find(key);
    return it == map_.end() ? -1 : static_cast<int32_t>(std::distance(map_.begin(), it));
}

const char* CS_Array::GetKeyByIndex(int32_t index) const {
    auto it = At(index);
    return it == map_.end() ? nullptr : it->first.c_str();
}

void CS_Array::Reset() {
    map_.clear();
    cached_index_ = -1;
}

void CS_Array::Merge(const CS_Array& other) {
    for (const auto& [k, v] : other.map_) Put(k) = v;
}

int32_t CS_Array::KeyExists(const char* key) const {
    return Find(key) ? 1 : 0;
}

}  // namespace script
