#pragma once
// The seams between scripts and native code. A host registers binding objects with an
// Interpreter before compiling; compiled code reaches them by index. Each call pops its
// arguments (the first argument is on top) and pushes exactly one result.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "log/LogQueue.h"
#include "script/Variable.h"

namespace script {

class Interpreter;

// A read-only native value, e.g. the host instance bound as "$_this".
class ExternVariableBase {
public:
    virtual ~ExternVariableBase() = default;
    virtual Variable Value() const = 0;
    virtual void PrintDeclaration(const std::string& name) const { std::printf("pointer %s;\n", name.c_str()); }
};

// A native free function or method. `defaults` is the default-argument text: entries aligned
// with the parameters, an empty entry meaning none, "..." after the last marking a variable
// argument list.
class ExternFunctionBase {
public:
    ExternFunctionBase(int argc, std::string defaults) : argc_(argc), defaults_(std::move(defaults)) {}
    virtual ~ExternFunctionBase() = default;
    // Pops the arguments from the interpreter's value stack and pushes the result.
    virtual void Call(Interpreter& in) = 0;
    virtual void PrintDeclaration(const std::string& name) const { std::printf("int %s();\n", name.c_str()); }
    int argc() const { return argc_; }
    const std::string& defaults() const { return defaults_; }

private:
    int argc_;
    std::string defaults_;
};

// A native class: its objects live in slots, one per script declaration.
class ExternClassBase : public logging::CLogQueue {
public:
    ~ExternClassBase() override = default;
    // A new empty object slot.
    virtual int AddSlot() = 0;
    virtual void Construct(int slot, Interpreter& in) = 0;
    virtual void Destruct(int slot) = 0;
    // Destroys every object the scripts constructed and empties every slot (a restart).
    virtual void ResetObjects() {}
    // A host pointer as a script value carrying this class's identity.
    virtual Variable Wrap(void* object) const = 0;
    virtual Variable ObjectVariable(int slot) const = 0;
    // Pops a pointer value and keeps it in the slot without owning it.
    virtual void Assign(int slot, Interpreter& in) = 0;
    virtual void CallMethod(int slot, int method, Interpreter& in) = 0;
    virtual void PrintDeclaration(const std::string& name) const { std::printf("%s {\n};\n", name.c_str()); }
    // The constructor's parameters: count and default text.
    virtual int ConstructorArgc() const { return 0; }
    virtual const std::string& ConstructorDefaults() const {
        static const std::string kNone;
        return kNone;
    }
    virtual int MethodIndex(const std::string& name) const = 0;
    virtual const ExternFunctionBase* Method(int index) const = 0;
    bool HasMethod(const std::string& name) const { return MethodIndex(name) >= 0; }
};

}  // namespace script
