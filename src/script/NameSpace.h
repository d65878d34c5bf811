#pragma once
// NameSpace: the names of one scope (the script, a function body, a compound statement):
// constants, variables, arrays, functions and native objects. Each kind holds at most 65536
// entries, and a name exists once per namespace across variables, arrays, functions and
// objects. The interpreter's namespace table owns every namespace.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "log/LogQueue.h"
#include "script/Array.h"
#include "script/Variable.h"

namespace script {

inline constexpr size_t kMaxPerNamespace = 65536;

struct NSVariable {
    std::string name;
    Variable value;
};

struct NSArray {
    std::string name;
    VarType element = VarType::Int;
    int32_t bound_ref = 0;  // the array this name stands for: itself, or a caller's array
    Array array;
};

struct NSArgument {
    std::string name;
    std::string type;  // "int", ..., "int[]" for arrays, or a class name
    Variable slot;     // holds the argument while a recursive call saves the activation
};

class NameSpace;

struct NSFunction {
    std::string name;
    std::string return_type;
    int32_t address = -1;
    std::vector<NSArgument> args;
    NameSpace* body = nullptr;
    // Every variable of the body and its nested scopes, in save order; filled when the
    // program is linked, used to save an activation around a direct recursive call.
    std::vector<Variable*> frame;
};

struct NSExternClass {
    std::string name;
    int class_index = 0;
    int slot = 0;
};

enum class NameKind : uint8_t { Variable, Array, Function, Object };

class NameSpace : public logging::CLogQueue {
public:
    NameSpace(int id, NameSpace* parent) : id_(id), parent_(parent) {}

    int id() const { return id_; }
    NameSpace* parent() const { return parent_; }
    std::vector<NameSpace*>& children() { return children_; }

    // Each returns the new entry's index; a duplicate name or a full table raises.
    int AddVariable(const std::string& name, VarType type);
    int AddConstant(const Variable& value);
    int AddArray(const std::string& name, VarType element);
    int AddFunction(const std::string& name, const std::string& return_type);
    int AddObject(const std::string& name, int class_index, int slot);

    // This namespace only.
    bool FindLocal(std::string_view name, NameKind* kind, int* index) const;

    std::vector<Variable> constants;
    std::vector<NSVariable> variables;
    std::vector<NSArray> arrays;
    std::vector<NSFunction> functions;
    std::vector<NSExternClass> objects;
    std::vector<int32_t> break_list, continue_list;
    bool loop = false;

private:
    void AddName(const std::string& name, NameKind kind, int index, const char* duplicate_message);

    int id_;
    NameSpace* parent_;
    std::vector<NameSpace*> children_;
    // Looked up by string_view without a string made: the kernel asks for an event's function
    // by name at every event of every session.
    struct NameHash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string, std::pair<NameKind, int>, NameHash, std::equal_to<>> names_;
    std::unordered_map<std::string, int> exact_constants_;  // ints and strings, by type and value
};

}  // namespace script
