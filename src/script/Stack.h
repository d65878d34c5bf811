#pragma once
// Stack: a fixed-capacity stack allocated once; the engine's value stack, operator stack and
// integer stack. Overflow and underflow raise the engine's diagnostics.
//
// Slots are constructed the first time the stack grows to them, not with the stack: every
// session has an interpreter, and a full stack of values constructed up front is most of an
// idle session's memory, while scripts seldom go more than a few dozen values deep.
#include <memory>
#include <new>

#include "script/Variable.h"

namespace script {

[[noreturn, gnu::cold, gnu::noinline]] inline void StackOverflow() {
    Raise("Stack::push(): stack overflow\n");
}
[[noreturn, gnu::cold, gnu::noinline]] inline void StackUnderflow() {
    Raise("Stack::pop(): stack underflow\n");
}
[[noreturn, gnu::cold, gnu::noinline]] inline void StackTopUnderflow() {
    Raise("Stack::top(): stack underflow\n");
}

// The checks stay on every operation (the value stack is fed by scripts); their failure paths
// are out of line so the common path inlines into the dispatch loop.
template <typename T>
class Stack {
public:
    explicit Stack(int capacity = 1024)
        : data_(static_cast<T*>(
              ::operator new (sizeof(T) * static_cast<size_t>(capacity), std::align_val_t{alignof(T)}))),
          cap_(capacity) {}
    ~Stack() {
        std::destroy_n(data_, built_);
        ::operator delete (data_, std::align_val_t{alignof(T)});
    }
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;

    [[gnu::always_inline]] void push(const T& v) {
        if (depth_ >= cap_) StackOverflow();
        if (depth_ == built_) Build();
        data_[depth_++] = v;
    }
    [[gnu::always_inline]] void push(T&& v) {
        if (depth_ >= cap_) StackOverflow();
        if (depth_ == built_) Build();
        data_[depth_++] = std::move(v);
    }
    // Room for one more value, to be filled in place.
    T& push_slot() {
        if (depth_ >= cap_) StackOverflow();
        if (depth_ == built_) Build();
        return data_[depth_++];
    }
    [[gnu::always_inline]] T pop() {
        if (depth_ <= 0) StackUnderflow();
        return std::move(data_[--depth_]);
    }
    // Drops the top without returning it.
    [[gnu::always_inline]] void drop() {
        if (depth_ <= 0) StackUnderflow();
        --depth_;
    }
    [[gnu::always_inline]] T& top() {
        if (depth_ <= 0) StackTopUnderflow();
        return data_[depth_ - 1];
    }
    // The value `n` below the top (0 = top); the caller has checked the depth.
    T& peek(int n) { return data_[depth_ - 1 - n]; }
    [[gnu::always_inline]] void need(int n) const {
        if (depth_ < n) StackUnderflow();
    }
    int depth() const { return depth_; }
    int capacity() const { return cap_; }
    void clear() { depth_ = 0; }

private:
    // Constructs the next slot (depth_ == built_ < cap_).
    [[gnu::noinline]] void Build() {
        new (data_ + built_) T();
        ++built_;
    }

    T* data_;
    int cap_;
    int depth_ = 0;
    int built_ = 0;  // slots constructed: [0, built_)
};

}  // namespace script
