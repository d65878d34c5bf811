#pragma once
// The binding templates: native variables, free functions, classes and their methods, made
// from ordinary C++ functions and member functions. Each binding pops its arguments (first
// argument on top), converts them, calls the native code and pushes exactly one result.
//
// Conversions: int/char/bool from int; float; const char* from a string (or int 0 = null);
// void* and pointers to bound classes from pointers (a bound-class pointer must carry that
// class's identity); Variable as is; common::String* and CS_Array* as class pointers. Results
// convert back the same way; void pushes int 0; text results are copied.
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "script/Binding.h"
#include "script/Interpreter.h"

namespace script {

// The identity every value of a bound class carries. The name is set when the class is
// registered; until then it reads "?".
template <typename T>
struct ClassIdOf {
    static ClassId id;
    static std::string name;
    // Every interpreter that registers the class sets its name, and session threads compile at
    // the same time: only a new name is written, under a lock.
    static void SetName(const std::string& n) {
        static std::mutex mu;
        std::lock_guard<std::mutex> lock(mu);
        if (name == n) return;
        name = n;
        id.name = name.c_str();
    }
};
template <typename T>
ClassId ClassIdOf<T>::id{"?"};
template <typename T>
std::string ClassIdOf<T>::name = "?";

namespace bind {

template <typename T>
using Plain = std::remove_cv_t<std::remove_reference_t<T>>;

template <typename T>
constexpr bool kIsClassPointer =
    std::is_pointer_v<T> && !std::is_same_v<T, const char*> && !std::is_same_v<T, char*> && !std::is_same_v<T, void*> &&
    !std::is_same_v<T, const void*> && std::is_class_v<std::remove_cv_t<std::remove_pointer_t<T>>>;

// Script value -> native argument. `v` outlives the call, so text pointers stay valid.
template <typename T>
T From(const Variable& v) {
    using P = Plain<T>;
    if constexpr (std::is_same_v<P, Variable>) {
        return v;
    } else if constexpr (std::is_same_v<P, bool>) {
        return v.ToInt() != 0;
    } else if constexpr (std::is_same_v<P, char>) {
        return static_cast<char>(v.ToInt() & 0xFF);
    } else if constexpr (std::is_integral_v<P>) {
        return static_cast<P>(v.ToInt());
    } else if constexpr (std::is_floating_point_v<P>) {
        return static_cast<P>(v.ToFloat());
    } else if constexpr (std::is_same_v<P, const char*>) {
        return v.ToText();
    } else if constexpr (std::is_same_v<P, void*> || std::is_same_v<P, const void*>) {
        return v.ToPointer();
    } else if constexpr (kIsClassPointer<P>) {
        void* p = v.ToPointer();
        if (!p) return nullptr;
        using Class = std::remove_cv_t<std::remove_pointer_t<P>>;
        // A pointer of another class would be read as this one: refuse it.
        if (v.class_id() != &ClassIdOf<Class>::id) Raise("VariableToType: unknown type of pointer\n");
        return static_cast<P>(p);
    } else {
        static_assert(sizeof(P) == 0, "no script conversion for this parameter type");
    }
}

// Native result -> script value.
template <typename R>
Variable To(R&& r) {
    using P = Plain<R>;
    if constexpr (std::is_same_v<P, Variable>) {
        return std::forward<R>(r);
    } else if constexpr (std::is_same_v<P, bool> || std::is_same_v<P, char> || std::is_integral_v<P>) {
        return Variable(static_cast<int32_t>(r));
    } else if constexpr (std::is_floating_point_v<P>) {
        return Variable(static_cast<float>(r));
    } else if constexpr (std::is_same_v<P, const char*> || std::is_same_v<P, char*>) {
        return Variable(std::string_view(r ? r : ""));
    } else if constexpr (std::is_same_v<P, std::string>) {
        return Variable(std::string_view(r));
    } else if constexpr (std::is_same_v<P, common::String>) {
        return Variable(r.View());
    } else if constexpr (std::is_same_v<P, void*> || std::is_same_v<P, const void*>) {
        return Variable(const_cast<void*>(static_cast<const void*>(r)), nullptr);
    } else if constexpr (kIsClassPointer<P>) {
        using Class = std::remove_cv_t<std::remove_pointer_t<P>>;
        return Variable(const_cast<Class*>(r), &ClassIdOf<Class>::id);
    } else {
        static_assert(sizeof(P) == 0, "no script conversion for this result type");
    }
}

template <typename T>
std::string TypeName() {
    using P = Plain<T>;
    if constexpr (std::is_void_v<P>)
        return "void";
    else if constexpr (std::is_same_v<P, Variable>)
        return "var";
    else if constexpr (std::is_same_v<P, bool> || std::is_same_v<P, char> || std::is_integral_v<P>)
        return "int";
    else if constexpr (std::is_floating_point_v<P>)
        return "float";
    else if constexpr (std::is_same_v<P, const char*> || std::is_same_v<P, std::string> ||
                       std::is_same_v<P, common::String>)
        return "const char*";
    else if constexpr (std::is_same_v<P, void*> || std::is_same_v<P, const void*>)
        return "pointer";
    else
        return ClassIdOf<std::remove_cv_t<std::remove_pointer_t<P>>>::name;
}

template <typename... A>
std::string ParamList() {
    std::string out;
    ((out += (out.empty() ? "" : ",") + TypeName<A>()), ...);
    return out;
}

// Pops N arguments (first on top) into a holder that keeps them alive during the call.
template <size_t N>
std::array<Variable, N> PopArgs(Interpreter& in) {
    std::array<Variable, N> args;
    for (size_t i = 0; i < N; ++i) args[i] = in.Values().pop();
    return args;
}

template <typename R, typename... A, typename F, size_t... I>
void Invoke(Interpreter& in, F& fn, std::array<Variable, sizeof...(A)>& args, std::index_sequence<I...>) {
    if constexpr (std::is_void_v<R>) {
        fn(From<A>(args[I])...);
        in.Values().push(Variable(int32_t{0}));
    } else {
        in.Values().push(To(fn(From<A>(args[I])...)));
    }
}

}  // namespace bind

// A free function: R fn(A...).
template <typename R, typename... A>
class ExternFunction : public ExternFunctionBase {
public:
    using Fn = std::function<R(A...)>;
    explicit ExternFunction(Fn fn, std::string defaults = std::string())
        : ExternFunctionBase(static_cast<int>(sizeof...(A)), std::move(defaults)), fn_(std::move(fn)) {}
    void Call(Interpreter& in) override {
        auto args = bind::PopArgs<sizeof...(A)>(in);
        bind::Invoke<R, A...>(in, fn_, args, std::index_sequence_for<A...>{});
    }
    void PrintDeclaration(const std::string& name) const override {
        std::printf("%s %s(%s);\n", bind::TypeName<R>().c_str(), name.c_str(), bind::ParamList<A...>().c_str());
    }

private:
    Fn fn_;
};

template <typename R, typename... A>
std::unique_ptr<ExternFunctionBase> MakeFunction(R (*fn)(A...), std::string defaults = std::string()) {
    return std::make_unique<ExternFunction<R, A...>>(fn, std::move(defaults));
}

// A method as the class binding calls it: on an object of C.
template <typename C>
class ExternMethodBase : public ExternFunctionBase {
public:
    using ExternFunctionBase::ExternFunctionBase;
    virtual void CallOn(C* object, Interpreter& in) = 0;
    void Call(Interpreter&) override { Raise("ScriptClass::run(): object is NULL"); }
};

template <typename C, typename B, typename R, typename... A>
class ExternClassFunction : public ExternMethodBase<C> {
public:
    using Fn = std::function<R(B*, A...)>;
    ExternClassFunction(Fn fn, std::string defaults)
        : ExternMethodBase<C>(static_cast<int>(sizeof...(A)), std::move(defaults)), fn_(std::move(fn)) {}
    void CallOn(C* object, Interpreter& in) override {
        auto args = bind::PopArgs<sizeof...(A)>(in);
        auto call = [&](A... a) -> R { return fn_(static_cast<B*>(object), std::forward<A>(a)...); };
        bind::Invoke<R, A...>(in, call, args, std::index_sequence_for<A...>{});
    }
    void PrintDeclaration(const std::string& name) const override {
        std::printf("\t%s %s(%s);\n", bind::TypeName<R>().c_str(), name.c_str(), bind::ParamList<A...>().c_str());
    }

private:
    Fn fn_;
};

// A native class whose objects scripts declare, construct (with arguments Ctor...), call and
// delete. Objects the script constructed are owned here; objects it received from natives
// never are.
template <typename C, typename... Ctor>
class ExternClass : public ExternClassBase {
public:
    explicit ExternClass(const std::string& name, std::string ctor_defaults = std::string())
        : name_(name), ctor_defaults_(std::move(ctor_defaults)) {
        ClassIdOf<C>::SetName(name);
    }
    ~ExternClass() override {
        for (C*& s : slots_) s = nullptr;
    }

    // Adds a method; B is C or a base of C, so host classes inherit their built-ins.
    template <typename R, typename B, typename... A>
    ExternClass& Method(const std::string& name, R (B::*fn)(A...), std::string defaults = std::string()) {
        static_assert(std::is_base_of_v<B, C>);
        return Add(name, std::make_unique<ExternClassFunction<C, B, R, A...>>(
                             [fn](B* o, A... a) -> R { return (o->*fn)(std::forward<A>(a)...); }, std::move(defaults)));
    }
    template <typename R, typename B, typename... A>
    ExternClass& Method(const std::string& name, R (B::*fn)(A...) const, std::string defaults = std::string()) {
        static_assert(std::is_base_of_v<B, C>);
        return Add(name, std::make_unique<ExternClassFunction<C, B, R, A...>>(
                             [fn](B* o, A... a) -> R { return (o->*fn)(std::forward<A>(a)...); }, std::move(defaults)));
    }

    // Adds a free function taking the object first: for classes whose native operations do not
    // have the script's signatures (a table class below the script engine, say).
    template <typename R, typename... A>
    ExternClass& Method(const std::string& name, R (*fn)(C*, A...), std::string defaults = std::string()) {
        return Add(name, std::make_unique<ExternClassFunction<C, C, R, A...>>(fn, std::move(defaults)));
    }

    int AddSlot() override {
        slots_.push_back(nullptr);
        return static_cast<int>(slots_.size()) - 1;
    }
    void Construct(int slot, Interpreter& in) override {
        auto args = bind::PopArgs<sizeof...(Ctor)>(in);
        std::unique_ptr<C> object = Make(args, std::index_sequence_for<Ctor...>{});
        At(slot) = object.get();
        owned_.push_back(std::move(object));
    }
    void Destruct(int slot) override {
        C* object = At(slot);
        if (!object) Raise("ExternClass::destructor(): object is NULL");
        for (auto it = owned_.begin(); it != owned_.end(); ++it) {
            if (it->get() != object) continue;
            for (C*& s : slots_)
                if (s == object) s = nullptr;
            owned_.erase(it);
            return;
        }
        Raise("destructor(): object is not constructed");
    }
    void ResetObjects() override {
        for (C*& s : slots_) s = nullptr;
        owned_.clear();
    }
    Variable Wrap(void* object) const override { return Variable(object, &ClassIdOf<C>::id); }
    Variable ObjectVariable(int slot) const override { return Variable(Slot(slot), &ClassIdOf<C>::id); }
    void Assign(int slot, Interpreter& in) override {
        Variable v = in.Values().pop();
        At(slot) = bind::From<C*>(v);
    }
    void CallMethod(int slot, int method, Interpreter& in) override {
        C* object = At(slot);
        if (!object) Raise("ScriptClass::run(): object is NULL");
        const std::vector<Entry>& methods = table_->methods;
        if (method < 0 || static_cast<size_t>(method) >= methods.size()) Raise("ScriptClass::run(): bad method");
        methods[static_cast<size_t>(method)].binding->CallOn(object, in);
    }
    void PrintDeclaration(const std::string& name) const override {
        std::printf("%s {\n", name.c_str());
        if (sizeof...(Ctor) == 0)
            std::printf("\t%s();\n", name.c_str());
        else
            std::printf("\t%s(%s);\n", name.c_str(), bind::ParamList<Ctor...>().c_str());
        for (const auto& m : table_->methods) m.binding->PrintDeclaration(m.name);
        std::printf("};\n");
    }
    int ConstructorArgc() const override { return static_cast<int>(sizeof...(Ctor)); }
    const std::string& ConstructorDefaults() const override { return ctor_defaults_; }
    int MethodIndex(const std::string& name) const override {
        auto it = table_->index.find(name);
        return it == table_->index.end() ? -1 : it->second;
    }
    const ExternFunctionBase* Method(int index) const override {
        return table_->methods[static_cast<size_t>(index)].binding.get();
    }

    // The same class for another interpreter: its own objects, this one's methods. Every
    // session registers the same classes, so a host builds a class once and clones it for each
    // session instead of holding a method table per session.
    std::unique_ptr<ExternClass> Clone() const {
        auto c = std::make_unique<ExternClass>(name_, ctor_defaults_);
        c->table_ = table_;
        return c;
    }

private:
    struct Entry {
        std::string name;
        std::shared_ptr<ExternMethodBase<C>> binding;  // stateless: shared by clones
    };
    // Read by every clone, from any thread; written only while the class is being built.
    struct Table {
        std::vector<Entry> methods;
        std::unordered_map<std::string, int> index;
    };

    ExternClass& Add(const std::string& name, std::unique_ptr<ExternMethodBase<C>> binding) {
        if (table_->index.count(name)) {
            AddLog(4, "addClassFunction(): \"" + name + "\" function already defined", "CS_Scripting",
                   "addClassFunction", "SCRIPT", 0);
            return *this;
        }
        // A clone adding methods of its own gets its own table first.
        if (table_.use_count() > 1) table_ = std::make_shared<Table>(*table_);
        table_->index[name] = static_cast<int>(table_->methods.size());
        table_->methods.push_back({name, std::move(binding)});
        return *this;
    }
    // Compiled code only names slots that exist; anything else is a damaged program, told as
    // such rather than read from another object's slot.
    C*& At(int slot) { return slots_[CheckedSlot(slot)]; }
    C* Slot(int slot) const { return slots_[CheckedSlot(slot)]; }
    size_t CheckedSlot(int slot) const {
        if (slot < 0 || static_cast<size_t>(slot) >= slots_.size()) Raise("ScriptClass::run(): bad object index");
        return static_cast<size_t>(slot);
    }
    template <size_t... I>
    std::unique_ptr<C> Make(std::array<Variable, sizeof...(Ctor)>& args, std::index_sequence<I...>) {
        return std::make_unique<C>(bind::From<Ctor>(args[I])...);
    }

    std::string name_;
    std::string ctor_defaults_;
    std::vector<C*> slots_;
    std::vector<std::unique_ptr<C>> owned_;
    std::shared_ptr<Table> table_ = std::make_shared<Table>();
};

// A read-only native variable: the host's pointer, read at each use.
template <typename T>
class ExternVariable : public ExternVariableBase {
public:
    explicit ExternVariable(T* const* address) : address_(address) {}
    Variable Value() const override { return Variable(*address_, &ClassIdOf<T>::id); }
    void PrintDeclaration(const std::string& name) const override {
        std::printf("%s* %s;\n", ClassIdOf<T>::name.c_str(), name.c_str());
    }

private:
    T* const* address_;
};

}  // namespace script
