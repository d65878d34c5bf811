#pragma once
// The management functions that cron and admin scripts share: configuration, domains, the
// kernel's tables, rules, Bayes, greylist and auto-whitelist views, the phishing list,
// statistics and persistent objects. One class and one registration list serve both hosts, so
// the two never drift apart; each host adds its own WriteLog and RunScript.
//
// Without a kernel (morvane-script without --appdir) every function does nothing and answers
// "", 0 or null. With one, each function takes the lock of the engine it touches.
#include <cstdint>
#include <string>

#include "core/KernelScriptBase.h"
#include "log/LogQueue.h"
#include "script/CS_Array.h"

namespace config {
class CKernelConfig;
}
namespace checks {
class CBayes;
class CBayesFilter;
class CDomainConf;
class CRules;
}  // namespace checks
namespace store {
class CDB_RAM;
}

namespace cron {

class CCronScheduler;

// What a cron or admin run reaches of the kernel.
struct KernelAccess {
    core::CMorvaneCore* core = nullptr;
    config::CKernelConfig* config = nullptr;
    std::string app_dir;
    CCronScheduler* scheduler = nullptr;
    // A kernel's main loop runs: settings change on its thread only.
    bool main_loop = false;
};

class KernelFunctions : public core::KernelScriptBase {
public:
    // `line_open` (may be null) records whether Print left a line unfinished.
    KernelFunctions(script::Interpreter* in, const KernelAccess* kernel, bool* line_open);

    void Print(const char* text);

    int32_t GetConfigToArray(script::CS_Array* out, const char* section);
    // Why SetConfig would refuse the value ("" when it takes it): config::ConfigValueError.
    std::string CheckConfigValue(const char* section, const char* key, const char* value);
    // Sets the key in the file image; a value CheckConfigValue refuses changes nothing.
    void SetConfig(const char* section, const char* key, const char* value);
    void DeleteFromConfig(const char* section, const char* key);
    void WaitForReplaceConfig();
    void SaveConfig();
    void SetLevelReBootConfig(int32_t mode);
    void SetRebootConfig(int32_t on);

    // Why the name cannot be a local domain, or "" (a host name: it becomes file names).
    std::string CheckDomainName(const char* domain);
    int32_t InsertDomain(const char* domain);
    int32_t DeleteDomain(const char* domain);
    store::CDB_RAM* GetDBRamDomains();
    void SaveDomains();
    void LoadDomainsConfig();
    void AddVarToDomainTemplate(const char* section, const char* key, const char* value);
    void DeleteVarFromDomainTemplate(const char* section, const char* key);

    store::CDB_RAM* GetDBRamSpamTrap();
    store::CDB_RAM* GetDBRamIpInferno();
    store::CDB_RAM* GetDBRamHelo();
    checks::CRules* GetRulesDB();
    int32_t SetHeloRefresh();
    // Asks the kernel to drain: no new connections, the running sessions finish, then it exits.
    // 1 when asked, 0 outside a kernel.
    int32_t DrainKernel();
    checks::CBayes* GetDBBayes();
    // The kernel's statistical filter (CS_BayesFilter); null outside the kernel.
    checks::CBayesFilter* GetBayesFilter();
    // Learns the quarantined messages of one verdict (1 spam, 2 ham) that arrived since the
    // last call, each only when the filter does not already classify it so; the number learned,
    // -1 without a Bayes engine.
    int32_t LearnBayesQuarantine(int32_t kind);

    void LoadALWL();

    int32_t DCTest(const char* text);
    int32_t DCRefreshServer();
    void DCGetServer(script::CS_Array* out);

    void ViewPhishingDB(script::CS_Array* out);
    int32_t AddDomainPhishing(const char* domain);
    int32_t UpDateDomainPhishing(const char* domain, const char* data);
    int32_t DeleteDomainPhishing(const char* domain);
    int32_t UpDateDBPhishingFromWWW();
    void LoadDBPhishing();
    std::string GetDBPhishingDate();
    // The list's update service ("" while none is configured) and why the last
    // UpDateDBPhishingFromWWW of this run did not update.
    std::string GetDBPhishingUrl();
    std::string GetDBPhishingUpdateError() { return phishing_error_; }

    // The day's counters: out[name] = value ("%.3f"). 1, or 0 without statistics.
    int32_t GetStatisticsToArray(script::CS_Array* out);
    // Records of the kernel's tables: out[name] = live record count, for "dns", "dnsbl", "spf",
    // "helo", "inferno", "spamtrap", "alwl", "greylist", "domains", "bayes_words", "rules".
    int32_t GetTablesCount(script::CS_Array* out);
    // The message history, newest first: out[id] = the record's fields separated by tabs, in the
    // order HistoryColumns() names them; `filter` may hold "address", "sender", "recipient",
    // "reason" (substrings), "action" and "from"/"to" (seconds since 1970). The number of
    // matching records in all; at most 1000 rows at a time.
    // "from"/"to" may also be local dates, "YYYY-MM-DD[ HH:MM[:SS]]" (HistoryTime); -1 when one
    // is neither.
    int32_t ViewHistory(script::CS_Array* filter, script::CS_Array* out, int32_t start, int32_t count);
    std::string HistoryColumns();
    // The held quarantine, newest first: out[NNNN] = "ID, held at, client, sender, recipients,
    // subject, reasons, size, released" separated by tabs; the number that match `search`.
    int32_t ViewHeld(const char* search, script::CS_Array* out, int32_t start, int32_t count);
    std::string HeldMessage(const char* id);
    // "" when the MTA took it (delivered once: a second release is refused), else why not.
    std::string ReleaseHeld(const char* id, const char* user);
    int32_t DeleteHeld(const char* id, const char* user);
    // As LearnFile: 1 learned, 0 learned so already, -1 not learned.
    int32_t LearnHeld(const char* id, int32_t as);
    // Teaches both Bayes filters a message file as spam (1) or ham (2): 1 learned, 0 it was
    // learned so already, -1 not learned; `how` says which when given.
    int32_t LearnFile(const std::string& path, int32_t as, std::string* how);
    // The content checks of the shipped policy on a message given as text (core::CheckContent);
    // the client's address and the sender may be empty. out[NN] = "CHECK, RESULT, POINTS"
    // separated by tabs; the answer is "VERDICT, TOTAL, REASONS" so separated ("" without a kernel).
    std::string CheckMessage(const char* message, const char* client_ip, const char* sender, script::CS_Array* out);
    // A rule tried on a message given as text before it is saved: "match" (with the first
    // captures), "no match", or why the rule cannot be (CRules::RuleError). A meta rule is tried
    // with the table's other rules.
    std::string TestRule(const char* pattern, int32_t type, int32_t options, const char* message);
    // The live figures (core::CActivity) by "minute" (the last hour) or "hour" (the last week),
    // oldest first: out[NNNN] = the columns ActivityColumns names, separated by tabs. The number
    // of rows, -1 for another scale.
    int32_t GetActivity(const char* scale, script::CS_Array* out);
    std::string ActivityColumns();
    // The cron jobs. Why `line` is no schedule to add ("" when it is one): cron::ScheduleError.
    std::string CheckCronSchedule(const char* line);
    // 1 when added and the crontab saved; 0 for a schedule CheckCronSchedule refuses, a taken
    // schedule or identifier, or no scheduler.
    int32_t AddCronJob(const char* line, const char* id);
    int32_t DeleteCronJob(const char* line, const char* id);
    void ViewCronJob(script::CS_Array* out, const char* filter, int32_t mode);
    // Each job with its state, in crontab order: out[NNNN] = "ID, SCHEDULE, on|off, running|idle,
    // last start, last end, last result, next run" separated by tabs (times in seconds since
    // 1970, 0 for none).
    int32_t ViewCronState(script::CS_Array* out);
    // Turns a job (by identifier or schedule) on or off and saves the crontab: "" or why not.
    std::string EnableCronJob(const char* which, int32_t on);
    // The operator's list edits (KernelLists.cpp). Each answers "" when done and the table is
    // saved, else why not. Keys are the records' keys as the views list them.
    std::string PassGreyListNow(const char* key);
    // `list`: "grey", "alwl" or "embargo".
    std::string DeleteListEntry(const char* list, const char* key);
    // Embargoes the client's group (the address with [FIREWALL]'s client prefix) for `days`.
    std::string AddEmbargo(const char* address, int32_t days);
    // The embargo, a page as ViewGreyListDB pages (field 0 the key): out[key] = expiry (seconds
    // since 1970).
    int32_t ViewEmbargo(script::CS_Array* out, int32_t count, int32_t start, const char* filter);
    // A local domain's own lists: "wbip" (senders or sender domains: 1 white, 0 black, for the
    // domain's recipients) and "lover" (recipients who take spam: 1). out[entry] = value.
    int32_t ViewDomainList(const char* domain, const char* list, script::CS_Array* out);
    std::string SetDomainListEntry(const char* domain, const char* list, const char* entry, const char* value);
    std::string DeleteDomainListEntry(const char* domain, const char* list, const char* entry);
    // Why a list view's filter would match nothing for being no pattern ("" when it compiles).
    std::string FilterError(const char* pattern);
    // One record by its id: out[field] = value. 1, or 0 when it is gone (or never was).
    int32_t GetHistory(int32_t id, script::CS_Array* out);

protected:
    // What every host's WriteLog does: the line goes to the run's log queue, or, for runs
    // without one (the tools), to standard error after what the script printed.
    static void LogScriptLine(logging::CLogQueue* log, const std::string& script, int32_t level, const char* message,
                              const char* category);
    std::string ConfigValue(const std::string& key, const char* section) override;
    void WriteLogLine(int level, const std::string& text);
    core::CMorvaneCore* Core() const override;
    const KernelAccess* Kernel() const { return kernel_; }

private:
    const KernelAccess* kernel_;
    bool* line_open_;
    std::string phishing_error_;
};

// A history filter's time: seconds since 1970, or a local date with or without its time (the
// whole day, or minute, up to its last second with `end`); 0 when empty or not understood.
int64_t HistoryTime(const std::string& text, bool end);

// Registers the shared functions, in the order scripts list them, after the built-ins, the
// lookups (core::AddDnsFunctions), Print and the host's WriteLog.
template <typename Binding>
void AddKernelFunctions(Binding& b) {
    using K = KernelFunctions;
    b.Method("GetConfigToArray", &K::GetConfigToArray, ",0")
        .Method("SetConfig", &K::SetConfig)
        .Method("CheckConfigValue", &K::CheckConfigValue)
        .Method("DeleteFromConfig", &K::DeleteFromConfig)
        .Method("WaitForReplaceConfig", &K::WaitForReplaceConfig)
        .Method("SaveConfig", &K::SaveConfig)
        .Method("SetLevelReBootConfig", &K::SetLevelReBootConfig)
        .Method("SetRebootConfig", &K::SetRebootConfig)
        .Method("InsertDomain", &K::InsertDomain)
        .Method("CheckDomainName", &K::CheckDomainName)
        .Method("GetDomain", &K::GetDomain)
        .Method("DeleteDomain", &K::DeleteDomain)
        .Method("GetDBRamDomains", &K::GetDBRamDomains)
        .Method("SaveDomains", &K::SaveDomains)
        .Method("LoadDomainsConfig", &K::LoadDomainsConfig)
        .Method("AddVarToDomainTemplate", &K::AddVarToDomainTemplate)
        .Method("DeleteVarFromDomainTemplate", &K::DeleteVarFromDomainTemplate)
        .Method("GetDBRamSpamTrap", &K::GetDBRamSpamTrap)
        .Method("GetDBRamIpInferno", &K::GetDBRamIpInferno)
        .Method("GetDBRamHelo", &K::GetDBRamHelo)
        .Method("GetRulesDB", &K::GetRulesDB)
        .Method("SetHeloRefresh", &K::SetHeloRefresh)
        .Method("DrainKernel", &K::DrainKernel)
        .Method("GetDBBayes", &K::GetDBBayes)
        .Method("GetBayesFilter", &K::GetBayesFilter)
        .Method("ViewGreyListDB", &K::ViewGreyListDB, ",100,0,0,0")
        .Method("ViewALWLDB", &K::ViewALWLDB, ",100,0,0,0")
        .Method("AddALWL", &K::AddALWL)
        .Method("IsALWL", &K::IsALWL)
        .Method("LoadALWL", &K::LoadALWL)
        .Method("DCTest", &K::DCTest)
        .Method("DCRefreshServer", &K::DCRefreshServer)
        .Method("DCGetServer", &K::DCGetServer)
        .Method("ViewPhishingDB", &K::ViewPhishingDB)
        .Method("AddDomainPhishing", &K::AddDomainPhishing)
        .Method("UpDateDomainPhishing", &K::UpDateDomainPhishing)
        .Method("DeleteDomainPhishing", &K::DeleteDomainPhishing)
        .Method("UpDateDBPhishingFromWWW", &K::UpDateDBPhishingFromWWW)
        .Method("LoadDBPhishing", &K::LoadDBPhishing)
        .Method("GetDBPhishingDate", &K::GetDBPhishingDate)
        .Method("GetDBPhishingUrl", &K::GetDBPhishingUrl)
        .Method("GetDBPhishingUpdateError", &K::GetDBPhishingUpdateError)
        .Method("GetPersistentOBJ", &K::GetPersistentOBJ)
        .Method("CreatePersistentOBJ", &K::CreatePersistentOBJ)
        .Method("DeletePersistentOBJ", &K::DeletePersistentOBJ)
        .Method("LearnBayesQuarantine", &K::LearnBayesQuarantine)
        .Method("GetStatisticsToArray", &K::GetStatisticsToArray)
        .Method("StatisticValue", &K::StatisticValue)
        .Method("GetTablesCount", &K::GetTablesCount)
        .Method("ViewHistory", &K::ViewHistory, ",,0,50")
        .Method("HistoryColumns", &K::HistoryColumns)
        .Method("GetHistory", &K::GetHistory)
        .Method("ViewHeld", &K::ViewHeld, ",,0,50")
        .Method("HeldMessage", &K::HeldMessage)
        .Method("ReleaseHeld", &K::ReleaseHeld)
        .Method("DeleteHeld", &K::DeleteHeld)
        .Method("LearnHeld", &K::LearnHeld)
        .Method("CheckMessage", &K::CheckMessage, ",,,")
        .Method("TestRule", &K::TestRule)
        .Method("GetActivity", &K::GetActivity)
        .Method("CheckCronSchedule", &K::CheckCronSchedule)
        .Method("AddCronJob", &K::AddCronJob)
        .Method("DeleteCronJob", &K::DeleteCronJob)
        .Method("ViewCronJob", &K::ViewCronJob, ",0,0")
        .Method("ViewCronState", &K::ViewCronState)
        .Method("EnableCronJob", &K::EnableCronJob)
        .Method("PassGreyListNow", &K::PassGreyListNow)
        .Method("DeleteListEntry", &K::DeleteListEntry)
        .Method("AddEmbargo", &K::AddEmbargo)
        .Method("ViewEmbargo", &K::ViewEmbargo, ",100,0,0")
        .Method("ViewDomainList", &K::ViewDomainList)
        .Method("SetDomainListEntry", &K::SetDomainListEntry)
        .Method("DeleteDomainListEntry", &K::DeleteDomainListEntry)
        .Method("FilterError", &K::FilterError)
        .Method("ActivityColumns", &K::ActivityColumns);
}

}  // namespace cron
