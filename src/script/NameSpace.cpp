#include "script/NameSpace.h"

#include <cstring>

namespace script {

void NameSpace::AddName(const std::string& name, NameKind kind, int index, const char* duplicate_message) {
    if (!names_.emplace(name, std::make_pair(kind, index)).second) RaiseF(duplicate_message, name.c_str());
}

int NameSpace::AddVariable(const std::string& name, VarType type) {
    if (variables.size() >= kMaxPerNamespace) Raise("NS::addvariable(): maximum variable count per namespace is 64k");
    AddName(name, NameKind::Variable, static_cast<int>(variables.size()),
            "NS::add_variable(): name \"%s\" already defined");
    variables.push_back({name, Variable()});
    variables.back().value.SetType(type);
    return static_cast<int>(variables.size()) - 1;
}

int NameSpace::AddConstant(const Variable& value) {
    // Equal constants are stored once. Ints and strings are found by exact key; floats, whose
    // equality has a tolerance, by a scan of the float constants.
    std::string key;
    if (value.type() == VarType::Int) {
        key = "i" + std::to_string(value.int_value());
    } else if (value.type() == VarType::String) {
        key = (value.has_text() ? "s" : "n") + value.string_value().str();
    }
    if (!key.empty()) {
        auto it = exact_constants_.find(key);
        if (it != exact_constants_.end()) return it->second;
    } else if (value.type() == VarType::Float) {
        for (size_t i = 0; i < constants.size(); ++i)
            if (constants[i].type() == VarType::Float && Equal(constants[i], value)) return static_cast<int>(i);
    }
    if (constants.size() >= kMaxPerNamespace) Raise("NS::addconstant(): maximum constants count per namespace is 64k");
    constants.push_back(value);
    int index = static_cast<int>(constants.size()) - 1;
    if (!key.empty()) exact_constants_.emplace(std::move(key), index);
    return index;
}

int NameSpace::AddArray(const std::string& name, VarType element) {
    if (arrays.size() >= kMaxPerNamespace) Raise("NS::addarray(): maximum array count per namespace is 64k");
    int index = static_cast<int>(arrays.size());
    AddName(name, NameKind::Array, index, "NS::addarray(): name \"%s\" already defined");
    arrays.emplace_back();
    arrays.back().name = name;
    arrays.back().element = element;
    arrays.back().bound_ref = (id_ << 16) | index;
    return index;
}

int NameSpace::AddFunction(const std::string& name, const std::string& return_type) {
    if (functions.size() >= kMaxPerNamespace) Raise("NS::addfunction(): maximum function count per namespace is 64k");
    AddName(name, NameKind::Function, static_cast<int>(functions.size()),
            "NS::addfunction(): name \"%s\" already defined");
    functions.push_back({name, return_type, -1, {}, nullptr, {}});
    return static_cast<int>(functions.size()) - 1;
}

int NameSpace::AddObject(const std::string& name, int class_index, int slot) {
    if (objects.size() >= kMaxPerNamespace) Raise("NS::addexternclass(): maximum class count per namespace is 64k");
    AddName(name, NameKind::Object, static_cast<int>(objects.size()),
            "NS::addexternclass(): name \"%s\" already defined");
    objects.push_back({name, class_index, slot});
    return static_cast<int>(objects.size()) - 1;
}

bool NameSpace::FindLocal(std::string_view name, NameKind* kind, int* index) const {
    auto it = names_.find(name);
    if (it == names_.end()) return false;
    *kind = it->second.first;
    *index = it->second.second;
    return true;
}

}  // namespace script
