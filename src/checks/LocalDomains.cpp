#include "checks/LocalDomains.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/Coding.h"
#include "common/String.h"
#include "platform/Paths.h"

namespace checks {

namespace {

std::string Replace(std::string text, std::string_view what, std::string_view with) {
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

std::string Data4(int32_t v) {
    std::string out;
    common::PutLe32(out, static_cast<uint32_t>(v));
    return out;
}

// Space-separated addresses, as the scripts pass recipient lists.
std::vector<std::string_view> Words(std::string_view list) {
    std::vector<std::string_view> out;
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t space = list.find(' ', pos);
        if (space == std::string_view::npos) space = list.size();
        if (space > pos) out.push_back(list.substr(pos, space - pos));
        pos = space + 1;
    }
    return out;
}

}  // namespace

CDomainConf::CDomainConf(const std::string& app_dir, const std::string& name, const store::CFileINI& tmpl)
    : app_dir_(app_dir), name_(name), cfg_path_(DomainFile(name + ".cfg")) {
    if (cfg_path_.empty() || !settings_.Load(cfg_path_)) settings_.LoadByString("");
    {
        common::MutexLock lock(mu_);
        for (const auto& [key, def] : tmpl.ToPairs("ADD_VARIABLES"))
            vars_[key.str()] = settings_.GetString("CFG", key.View(), Replace(def.str(), "[domain]", name_)).str();
    }
    for (const auto& [key, pattern] : tmpl.ToPairs("ADD_DBRAM")) {
        auto t = std::make_unique<store::CDB_RAM>();
        // A pattern that leads out of db/ gives the domain a table in memory only.
        const std::string file = DomainFile(Replace(pattern.str(), "[domain]", name_));
        if (!file.empty() && t->Open(file)) t->Load();
        tables_[key.str()] = std::move(t);
    }
}

std::string CDomainConf::GetVar(const char* name) const {
    if (!name) return std::string();
    common::MutexLock lock(mu_);
    auto it = vars_.find(name);
    return it == vars_.end() ? std::string() : it->second;
}

void CDomainConf::SetVar(const char* name, const char* value) {
    if (!name || !value) return;
    common::MutexLock lock(mu_);
    vars_[name] = value;
}

int32_t CDomainConf::IntVar(const std::string& name) const {
    return static_cast<int32_t>(std::atol(GetVar(name.c_str()).c_str()));
}

float CDomainConf::FloatVar(const std::string& name) const {
    return std::strtof(GetVar(name.c_str()).c_str(), nullptr);
}

store::CDB_RAM* CDomainConf::GetDBRam(const char* name) {
    if (!name) return nullptr;
    auto it = tables_.find(name);
    return it == tables_.end() ? nullptr : it->second.get();
}

char CDomainConf::FirstChar(const std::string& table, std::string_view key) {
    store::CDB_RAM* t = GetDBRam(table.c_str());
    std::string data;
    if (!t || !t->GetData(key, &data) || data.empty()) return 0;
    return data[0];
}

bool CDomainConf::HasKey(const std::string& table, std::string_view key) {
    store::CDB_RAM* t = GetDBRam(table.c_str());
    return t && t->Find(key) >= 0;
}

void CDomainConf::Save() {
    {
        common::MutexLock lock(mu_);
        for (const auto& [k, v] : vars_) settings_.WriteString("CFG", k, v);
    }
    // Failures are reported (store::ReportSaveFailure) and logged by the core.
    if (!cfg_path_.empty()) (void)settings_.Save(cfg_path_);
    for (auto& [name, t] : tables_)
        if (!t->Path().empty()) (void)t->Save();
}

std::string CDomainConf::DomainFile(const std::string& relative) const {
    // The name is a host name (checked where domains are added), so this only refuses what an
    // old table or a template could still hold.
    if (!common::HostnameError(name_).empty()) return std::string();
    return platform::ResolveUnder(app_dir_ + "/db", relative);
}

void CDomainConf::Delete() {
    if (!cfg_path_.empty()) std::remove(cfg_path_.c_str());
    for (auto& [name, t] : tables_) {
        std::string path = t->Path();
        t->Reset();
        if (!path.empty()) std::remove(path.c_str());
    }
}

CLocalDomains::CLocalDomains(std::string app_dir) : app_dir_(std::move(app_dir)) {
    if (table_.Open(app_dir_ + "/" + kTable)) table_.Load();
}

std::string CLocalDomains::Normal(std::string_view name) {
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    return common::AsciiLowered(name);
}

std::string CLocalDomains::NameError(std::string_view name) {
    std::string why = common::HostnameError(Normal(name));
    return why.empty() ? why : "\"" + std::string(name.substr(0, 80)) + "\" is not a domain name: " + why;
}

std::string CLocalDomains::DomainOf(std::string_view address) {
    size_t at = address.find('@');
    // "^.+?\@(.+?)$": something before the at sign and something after it.
    if (at == std::string_view::npos || at == 0 || at + 1 >= address.size()) return std::string();
    return std::string(address.substr(at + 1));
}

bool CLocalDomains::LoadAll() {
    if (!template_.Load(app_dir_ + "/" + kTemplate)) return false;
    std::vector<std::string> names;
    table_.ForEach([&names](const store::DbRecord& r) {
        if (!r.deleted) names.push_back(r.key);
    });
    std::map<std::string, std::shared_ptr<CDomainConf>> fresh;
    for (const std::string& n : names) fresh[n] = std::make_shared<CDomainConf>(app_dir_, n, template_);
    common::WriterLock lock(mu_);
    domains_ = std::move(fresh);
    return true;
}

std::shared_ptr<CDomainConf> CLocalDomains::FindLocked(const std::string& name) {
    auto it = domains_.find(name);
    return it == domains_.end() ? nullptr : it->second;
}

int32_t CLocalDomains::AddLocalDomain(std::string_view raw) {
    const std::string name = Normal(raw);
    if (!NameError(name).empty()) return -1;
    common::WriterLock lock(mu_);
    if (table_.Find(name) >= 0) return -1;
    auto conf = std::make_shared<CDomainConf>(app_dir_, name, template_);
    if (table_.Insert(name, Data4(conf->IntVar("proprieta"))) != 1) return -1;
    domains_[name] = conf;
    // Saved at once, as a removal is: a domain added and then lost at a crash would turn its
    // mail away as relaying. A failure is reported and logged by the core.
    (void)table_.Save();
    return table_.Find(name);
}

int32_t CLocalDomains::RemoveDomain(std::string_view raw) {
    const std::string name = Normal(raw);
    if (!NameError(name).empty()) return 0;
    std::shared_ptr<CDomainConf> conf;
    {
        common::WriterLock lock(mu_);
        if (table_.Delete(name) != 1) return 0;
        conf = FindLocked(name);
        domains_.erase(name);
    }
    if (conf) conf->Delete();
    (void)table_.Save();  // a failure is reported and logged by the core
    return 1;
}

std::shared_ptr<CDomainConf> CLocalDomains::GetDomain(std::string_view name) {
    const std::string n = Normal(name);
    common::ReaderLock lock(mu_);
    return FindLocked(n);
}

int32_t CLocalDomains::IsLocalDomain(std::string_view name) {
    const std::string n = Normal(name);
    if (n.empty()) return -1;
    common::ReaderLock lock(mu_);
    std::shared_ptr<CDomainConf> d = FindLocked(n);
    return d ? d->IntVar("proprieta") : -1;
}

bool CLocalDomains::Save() {
    return table_.Save();
}

size_t CLocalDomains::Count() {
    common::ReaderLock lock(mu_);
    return domains_.size();
}

int32_t CLocalDomains::IsLocalDomainByRcptTo(std::string_view address) {
    std::string domain = DomainOf(Normal(address));
    return domain.empty() ? -1 : IsLocalDomain(domain);
}

int32_t CLocalDomains::IsSpamLover(std::string_view addresses) {
    for (std::string_view a : Words(addresses)) {
        std::string address = Normal(a);
        std::shared_ptr<CDomainConf> d = GetDomain(DomainOf(address));
        if (d && d->HasKey("lover", address)) return 1;
    }
    return 0;
}

int32_t CLocalDomains::IsWhiteBlackList(std::string_view recipients, std::string_view sender_raw) {
    const std::string sender = Normal(sender_raw);
    if (sender.empty()) return -1;
    const std::string sender_domain = DomainOf(sender);
    std::string tried;
    for (std::string_view r : Words(recipients)) {
        std::string domain = DomainOf(Normal(r));
        if (domain.empty() || domain == tried) continue;
        tried = domain;
        std::shared_ptr<CDomainConf> d = GetDomain(domain);
        if (!d) continue;
        char c = d->FirstChar("wbip", sender);
        if (!c && !sender_domain.empty()) c = d->FirstChar("wbip", sender_domain);
        if (c) return c - '0';
    }
    return -1;
}

float CLocalDomains::RecalculatingScoreByUser(float score, float base, std::string_view recipients) {
    for (std::string_view r : Words(recipients)) {
        std::shared_ptr<CDomainConf> d = GetDomain(DomainOf(Normal(r)));
        if (!d) continue;
        float v = d->FloatVar("perc_user_aggre");
        if (v != 0.0f && v > -99.0f && v < 99.0f) return score + base / 100.0f * v;
    }
    return score;
}

}  // namespace checks
