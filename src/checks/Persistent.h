#pragma once
// CPersistentStore: named native objects that scripts create once and share across every run
// of every host, for the life of the core: tables, INI files, shared flags (and, as their
// classes arrive, database and peer connections). Objects are found by name and type; a type is
// one line of the constructor.
//
// An object deleted from the store is not destroyed while a run still holds it: every host keeps
// a reference to each object it handed to its script (CPersistentStore::Hold) until the host
// itself goes, and the object goes with the last reference.
//
// CS_Flag: a float, an int, a bool and a text shared between runs, read and written under its
// own lock.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/ThreadSafety.h"
#include "script/Bind.h"
#include "script/Variable.h"

namespace checks {

class CS_Flag {
public:
    void SetFloat(float v);
    void SetInt(int32_t v);
    void SetBool(int32_t v);
    void SetString(const char* v);
    float GetFloat() const;
    int32_t GetInt() const;
    int32_t GetBool() const;
    // A copy taken under the lock: the text may be set by another run at the same moment.
    std::string GetString() const;

private:
    mutable common::Mutex mu_;
    float f_ GUARDED_BY(mu_) = 0;
    int32_t i_ GUARDED_BY(mu_) = 0;
    bool b_ GUARDED_BY(mu_) = false;
    std::string s_ GUARDED_BY(mu_);
};

class CPersistentStore {
public:
    // An object as the store keeps it: shared, and the script value that names it.
    struct Object {
        std::shared_ptr<void> object;
        script::Variable value;
    };
    using Factory = std::function<Object()>;

    // The tables, INI files and flags.
    CPersistentStore();
    // Adds a type: `make` creates one object of it.
    void AddType(const std::string& type, Factory make);
    template <typename T>
    void AddType(const std::string& type);

    // The object of the first record with this name and type; an empty Object when there is none
    // or an argument is missing.
    Object Get(const char* name, const char* type);
    // Get, or a new object when there is none; empty for a missing argument or an unknown type
    // (compared case-sensitively).
    Object Create(const char* name, const char* type);
    // Takes the first record of this name out of the store, whatever its type. Runs that hold
    // the object keep it until they end.
    void Delete(const char* name);
    size_t Size() const;

private:
    struct Record {
        std::string name, type;
        Object object;
    };
    const Record* FindLocked(std::string_view name, std::string_view type) const REQUIRES(mu_);

    mutable common::Mutex mu_;
    std::vector<Record> records_ GUARDED_BY(mu_);  // creation order
    std::vector<std::pair<std::string, Factory>> types_ GUARDED_BY(mu_);
};

template <typename T>
void CPersistentStore::AddType(const std::string& type) {
    AddType(type, [] {
        auto object = std::make_shared<T>();
        script::Variable v(object.get(), &script::ClassIdOf<T>::id);
        return Object{std::move(object), v};
    });
}

// What one host handed to its script: kept until the host goes, so that a Delete in another run
// never destroys an object under this one.
class PersistentHold {
public:
    script::Variable Keep(CPersistentStore::Object o) {
        if (!o.object) return script::Variable(nullptr, nullptr);
        held_.push_back(o.object);
        return o.value;
    }

private:
    std::vector<std::shared_ptr<void>> held_;
};

}  // namespace checks
