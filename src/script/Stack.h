#pragma once
// Stack: a fixed-capacity stack allocated once; the engine's value stack, operator stack and
// integer stack. Overflow and underflow raise the engine's diagnostics.
#include <memory>

#include "script/Variable.h"

namespace script {

template <typename T>
class Stack {
public:
    explicit Stack(int capacity = 1024) : data_(std::make_unique<T[]>(static_cast<size_t>(capacity))), cap_(capacity) {}

    void push(const T& v) {
        if (depth_ >= cap_) Raise("Stack::push(): stack overflow\n");
        data_[depth_++] = v;
    }
    void push(T&& v) {
        if (depth_ >= cap_) Raise("Stack::push(): stack overflow\n");
        data_[depth_++] = std::move(v);
    }
    // Room for one more value, to be filled in place.
    T& push_slot() {
        if (depth_ >= cap_) Raise("Stack::push(): stack overflow\n");
        return data_[depth_++];
    }
    T pop() {
        if (depth_ <= 0) Raise("Stack::pop(): stack underflow\n");
        return std::move(data_[--depth_]);
    }
    // Drops the top without returning it.
    void drop() {
        if (depth_ <= 0) Raise("Stack::pop(): stack underflow\n");
        --depth_;
    }
    T& top() {
        if (depth_ <= 0) Raise("Stack::top(): stack underflow\n");
        return data_[depth_ - 1];
    }
    // The value `n` below the top (0 = top); the caller has checked the depth.
    T& peek(int n) { return data_[depth_ - 1 - n]; }
    void need(int n) const {
        if (depth_ < n) Raise("Stack::pop(): stack underflow\n");
    }
    int depth() const { return depth_; }
    int capacity() const { return cap_; }
    void clear() { depth_ = 0; }

private:
    std::unique_ptr<T[]> data_;
    int cap_;
    int depth_ = 0;
};

}  // namespace script
