#pragma once
// Array: a script array, indexed (a vector of values) or associative (a map from value keys,
// matched with the value comparisons, so 1 and 1.0000001 are one key). Elements move between
// the array and the interpreter's value stack.
#include <map>
#include <vector>

#include "script/Stack.h"
#include "script/Variable.h"

namespace script {

class Array {
public:
    // Pops the size: n < 0 fails, 0 makes the array associative (emptied), n > 0 indexed with
    // n elements reset to `type` (kept as they are when the size is unchanged).
    void Construct(VarType type, Stack<Variable>& values);
    // Pops the index or key, pushes the element.
    void Load(Stack<Variable>& values) const;
    // Pops the index or key, then the value, and stores it.
    void Store(Stack<Variable>& values);
    bool associative() const { return associative_; }
    size_t size() const { return associative_ ? map_.size() : items_.size(); }

private:
    struct KeyLess {
        bool operator()(const Variable& a, const Variable& b) const { return !Equal(a, b) && Ordered(BinOp::Gt, b, a); }
    };
    bool associative_ = false;
    std::vector<Variable> items_;
    std::map<Variable, Variable, KeyLess> map_;
};

}  // namespace script
