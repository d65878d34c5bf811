#pragma once
// CLocalDomains: the mail domains the kernel receives mail for, each with its own settings file
// ("db/DOMAIN.cfg", section CFG) and tables, declared once for all domains in the template
// "db/local_domain_add_config.cstemplate" ([ADD_VARIABLES] name=default, [ADD_DBRAM]
// name=file pattern; "[domain]" stands for the domain). The table "db/domain_local.db" lists
// the domains (key: the name in lower case; data: its "proprieta" as 4 bytes).
//
// Names the engine itself reads: the variable "proprieta", the variable "perc_user_aggre", the
// tables "lover" (addresses that want spam) and "wbip" (white "1..." / black "0..." entries by
// address or domain).
//
// Session threads look domains up while cron scripts add, remove and reload them: the engine's
// lock guards the list (shared for lookups), and a domain's own lock its variables and tables,
// always taken after the engine's. Domains are shared: a domain removed while a session uses
// it stays alive until that session lets it go.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/ThreadSafety.h"
#include "store/DB_RAM.h"
#include "store/FileINI.h"

namespace checks {

class CDomainConf {
public:
    // An empty domain (a script's own "new CDomainConf()"; domains come from GetDomain).
    CDomainConf() = default;
    // Loads the domain's settings file and tables as the template declares them.
    CDomainConf(const std::string& app_dir, const std::string& name, const store::CFileINI& tmpl);
    CDomainConf(const CDomainConf&) = delete;
    CDomainConf& operator=(const CDomainConf&) = delete;

    // The script class CDomainConf. Every operation locks the domain itself, so the session
    // calls only mark a script's intent: a script that failed between StartSession and
    // EndSession would otherwise leave the domain locked for every session.
    void WaitForSession() {}
    void StartSession() {}
    void EndSession() {}
    std::string GetVar(const char* name) const;
    void SetVar(const char* name, const char* value);
    std::string GetDomainName() const { return name_; }
    store::CDB_RAM* GetDBRam(const char* name);
    void Save();
    void Delete();

    // The variable as an integer or a number; 0 when missing or not a number.
    int32_t IntVar(const std::string& name) const;
    float FloatVar(const std::string& name) const;
    // The first character of the live record of `key` in table `table`, or 0 when none.
    char FirstChar(const std::string& table, std::string_view key);
    bool HasKey(const std::string& table, std::string_view key);

private:
    // The file `relative` names under db/, or "" when the domain's name is no host name or the
    // path would leave db/.
    std::string DomainFile(const std::string& relative) const;

    const std::string app_dir_;
    const std::string name_;
    const std::string cfg_path_;  // "" for a name that cannot become a file name
    mutable common::Mutex mu_;
    store::CFileINI settings_;
    std::map<std::string, std::string> vars_ GUARDED_BY(mu_);
    // Tables by name; each guards itself, the map is fixed after construction.
    std::map<std::string, std::unique_ptr<store::CDB_RAM>> tables_;
};

class CLocalDomains {
public:
    static constexpr const char* kTable = "db/domain_local.db";
    static constexpr const char* kTemplate = "db/local_domain_add_config.cstemplate";

    // Opens and loads the domain table (nothing else until LoadAll).
    explicit CLocalDomains(std::string app_dir);

    // Reads the template and builds every domain of the table anew. False when the template
    // cannot be read (the domains stay as they were).
    bool LoadAll();
    // Why `name` cannot be a local domain ("" when it can): it must be a host name
    // (common::HostnameError), since it becomes the name of the domain's files.
    static std::string NameError(std::string_view name);
    // The new domain's position, or -1 when it is listed already or NameError refuses it.
    int32_t AddLocalDomain(std::string_view name);
    // 1 when removed (its settings file and table files are deleted, the table saved), else 0;
    // 0 for a name NameError refuses.
    int32_t RemoveDomain(std::string_view name);
    std::shared_ptr<CDomainConf> GetDomain(std::string_view name);
    // The domain's "proprieta", or -1 when it is not local.
    int32_t IsLocalDomain(std::string_view name);
    [[nodiscard]] bool Save();
    size_t Count();
    store::CDB_RAM& Table() { return table_; }

    // The script functions of the antispam host.
    int32_t IsLocalDomainByRcptTo(std::string_view address);
    int32_t IsSpamLover(std::string_view addresses);
    int32_t IsWhiteBlackList(std::string_view recipients, std::string_view sender);
    float RecalculatingScoreByUser(float score, float base, std::string_view recipients);

    // Lower case without trailing blanks: how names are compared.
    static std::string Normal(std::string_view name);
    // The part after the first "@" of a lower-cased address ("" when there is none).
    static std::string DomainOf(std::string_view address);

private:
    std::shared_ptr<CDomainConf> FindLocked(const std::string& name) REQUIRES_SHARED(mu_);

    const std::string app_dir_;
    common::SharedMutex mu_;
    store::CDB_RAM table_;
    store::CFileINI template_;
    std::map<std::string, std::shared_ptr<CDomainConf>> domains_ GUARDED_BY(mu_);
};

}  // namespace checks
