#include "checks/Persistent.h"

#include "classes/MySql.h"

#include "store/DB_RAM.h"
#include "store/FileINI.h"

namespace checks {

void CS_Flag::SetFloat(float v) {
    common::MutexLock lock(mu_);
    f_ = v;
}

void CS_Flag::SetInt(int32_t v) {
    common::MutexLock lock(mu_);
    i_ = v;
}

void CS_Flag::SetBool(int32_t v) {
    common::MutexLock lock(mu_);
    b_ = v != 0;
}

void CS_Flag::SetString(const char* v) {
    common::MutexLock lock(mu_);
    s_ = v ? v : "";
}

float CS_Flag::GetFloat() const {
    common::MutexLock lock(mu_);
    return f_;
}

int32_t CS_Flag::GetInt() const {
    common::MutexLock lock(mu_);
    return i_;
}

int32_t CS_Flag::GetBool() const {
    common::MutexLock lock(mu_);
    return b_ ? 1 : 0;
}

std::string CS_Flag::GetString() const {
    common::MutexLock lock(mu_);
    return s_;
}

CPersistentStore::CPersistentStore() {
    AddType<store::CDB_RAM>("CDB_Ram");
    AddType<CS_Flag>("CS_Flag");
    AddType<store::CFileINI>("CS_FileCfg");
    AddType<classes::CMorvaneMysqlConn>("CS_MySqlConn");
}

void CPersistentStore::AddType(const std::string& type, Factory make) {
    common::MutexLock lock(mu_);
    types_.emplace_back(type, std::move(make));
}

const CPersistentStore::Record* CPersistentStore::FindLocked(std::string_view name, std::string_view type) const {
    for (const Record& r : records_)
        if (r.name == name && r.type == type) return &r;
    return nullptr;
}

CPersistentStore::Object CPersistentStore::Get(const char* name, const char* type) {
    if (!name || !type) return {};
    common::MutexLock lock(mu_);
    const Record* r = FindLocked(name, type);
    return r ? r->object : Object{};
}

CPersistentStore::Object CPersistentStore::Create(const char* name, const char* type) {
    if (!name || !type) return {};
    common::MutexLock lock(mu_);
    if (const Record* r = FindLocked(name, type)) return r->object;
    for (const auto& [t, make] : types_) {
        if (t != type) continue;
        records_.push_back({name, type, make()});
        return records_.back().object;
    }
    return {};
}

void CPersistentStore::Delete(const char* name) {
    if (!name) return;
    common::MutexLock lock(mu_);
    for (auto it = records_.begin(); it != records_.end(); ++it) {
        if (it->name != name) continue;
        records_.erase(it);  // the object itself goes with its last holder
        return;
    }
}

size_t CPersistentStore::Size() const {
    common::MutexLock lock(mu_);
    return records_.size();
}

}  // namespace checks
