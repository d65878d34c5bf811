#include "script/Array.h"

namespace script {

namespace {

// Arrays bigger than this are refused: a script asking for more is broken or hostile, and the
// kernel must not be the one to run out of memory.
constexpr int32_t kMaxArraySize = 1 << 20;

size_t IndexOf(const Variable& index, size_t size) {
    int32_t i = index.ToInt();
    if (i < 0 || static_cast<size_t>(i) >= size) Raise("Array::pop(): bad array index");
    return static_cast<size_t>(i);
}

}  // namespace

void Array::Construct(VarType type, Stack<Variable>& values) {
    int32_t n = values.pop().ToInt();
    if (n < 0) Raise("Array::constructor(): bad array size");
    if (n > kMaxArraySize) Raise("Array::constructor(): array size over the limit");
    if (n == 0) {
        associative_ = true;
        map_.clear();
        items_.clear();
        return;
    }
    associative_ = false;
    map_.clear();
    if (items_.size() == static_cast<size_t>(n)) return;
    items_.resize(static_cast<size_t>(n));
    for (Variable& v : items_) v.SetType(type);
}

void Array::Load(Stack<Variable>& values) const {
    Variable key = values.pop();
    if (!associative_) {
        values.push(items_[IndexOf(key, items_.size())]);
        return;
    }
    auto it = map_.find(key);
    if (it == map_.end()) Raise("Array::push(): uninitialized key");
    values.push(it->second);
}

void Array::Store(Stack<Variable>& values) {
    Variable key = values.pop();
    if (!associative_) {
        size_t i = IndexOf(key, items_.size());
        items_[i] = values.pop();
        return;
    }
    Variable value = values.pop();
    map_[std::move(key)] = std::move(value);
}

}  // namespace script
