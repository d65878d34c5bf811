#include "script/Imports.h"

#include <map>
#include <mutex>
#include <optional>

#include "script/Bind.h"
#include "script/CS_Array.h"

namespace script {

namespace {

void RegisterHashArray(Interpreter& in) {
    auto cls = std::make_unique<ExternClass<CS_Array>>("HashArray");
    using A = CS_Array;
    cls->Method("AddValueS", &A::AddValueS)
        .Method("AddValueI", &A::AddValueI)
        .Method("AddValueF", &A::AddValueF)
        .Method("AddValueB", &A::AddValueBuffer)
        .Method("GetS", &A::GetS)
        .Method("GetI", &A::GetI)
        .Method("GetF", &A::GetF)
        .Method("GetB", &A::GetB)
        .Method("GetLenValue", &A::GetLenValue)
        .Method("GetByIndexS", &A::GetByIndexS)
        .Method("GetByIndexI", &A::GetByIndexI)
        .Method("GetByIndexF", &A::GetByIndexF)
        .Method("GetIndexByKey", &A::GetIndexByKey)
        .Method("GetKeyByIndex", &A::GetKeyByIndex)
        .Method("Reset", &A::Reset)
        .Method("GetRecordCount", &A::GetRecordCount)
        .Method("Merge", &A::MergeFrom)
        .Method("KeyExists", &A::KeyExists);
    in.AddExternClass("HashArray", std::move(cls));
}

struct Registry {
    std::mutex mu;
    std::map<std::string, ImportRegistrar> classes{{"HashArray", &RegisterHashArray}};
};

Registry& TheRegistry() {
    static Registry r;
    return r;
}

}  // namespace

void RegisterImportable(const std::string& name, ImportRegistrar registrar) {
    std::scoped_lock lock(TheRegistry().mu);
    TheRegistry().classes[name] = registrar;
}

std::vector<std::string> ImportableNames() {
    std::scoped_lock lock(TheRegistry().mu);
    std::vector<std::string> out;
    for (const auto& [name, fn] : TheRegistry().classes) out.push_back(name);
    return out;
}

void RegisterAllImportables(Interpreter& in) {
    std::vector<ImportRegistrar> todo;
    {
        std::scoped_lock lock(TheRegistry().mu);
        for (const auto& [name, fn] : TheRegistry().classes) todo.push_back(fn);
    }
    for (ImportRegistrar fn : todo) fn(in);
    in.AddExternFunction("GetMorvaneVersion",
                         std::make_unique<ExternFunction<const char*>>([] { return kMorvaneVersion; }));
}

void RegisterImports(Interpreter& in) {
    std::vector<ImportRegistrar> todo;
    {
        std::scoped_lock lock(TheRegistry().mu);
        for (const ScriptImport& imp : in.Imports()) {
            if (imp.kind != 1) continue;
            auto it = TheRegistry().classes.find(imp.name);
            if (it != TheRegistry().classes.end()) todo.push_back(it->second);
        }
    }
    for (ImportRegistrar fn : todo) fn(in);
    in.AddExternFunction("GetMorvaneVersion",
                         std::make_unique<ExternFunction<const char*>>([] { return kMorvaneVersion; }));
}

bool LoadScriptFile(Interpreter& in, const std::string& path, std::string* error) {
    std::optional<std::string> text = in.Preprocess(path);
    if (!text) {
        if (error) *error = in.HasError() ? in.CollectDiagnostics() : "cannot read " + path + "\n";
        return false;
    }
    RegisterImports(in);
    if (!in.LoadByRam(*text)) {
        if (error) *error = in.CollectDiagnostics();
        return false;
    }
    return true;
}

}  // namespace script
