// The operator's edits of the kernel's lists, shared by the admin commands and the GUI.
#include <ctime>

#include "checks/Greylist.h"
#include "checks/LocalDomains.h"
#include "checks/Reputation.h"
#include "common/IpAddress.h"
#include "common/NullText.h"
#include "common/Regex.h"
#include "common/String.h"
#include "core/MorvaneCore.h"
#include "cron/CronScheduler.h"
#include "cron/Crontab.h"
#include "cron/KernelFunctions.h"

namespace cron {

namespace {

constexpr int32_t kMaxEmbargoDays = 3650;

// A save that failed keeps the change in memory until the next periodic save tries again; the
// operator hears it now.
std::string Saved(store::CDB_RAM& table) {
    return table.Save() ? std::string() : "changed, but " + table.Path() + " could not be saved (see the log)";
}

}  // namespace

std::string KernelFunctions::CheckCronSchedule(const char* line) {
    return common::NullText(line).empty() ? std::string("the schedule is empty")
                                          : ScheduleError(common::NullText(line));
}

int32_t KernelFunctions::AddCronJob(const char* line, const char* id) {
    CCronScheduler* s = Kernel() ? Kernel()->scheduler : nullptr;
    // A schedule that can never be due, or runs what was not meant, is refused, not kept. (The
    // crontab file is read as it stands: an operator's odd line keeps working.)
    if (!s || !CheckCronSchedule(line).empty() || !s->AddJob(line, id)) return 0;
    s->SaveCrontab();
    return 1;
}

int32_t KernelFunctions::DeleteCronJob(const char* line, const char* id) {
    CCronScheduler* s = Kernel() ? Kernel()->scheduler : nullptr;
    if (!s || !s->DeleteJob(line, id)) return 0;
    s->SaveCrontab();
    return 1;
}

void KernelFunctions::ViewCronJob(script::CS_Array* out, const char* filter, int32_t mode) {
    CCronScheduler* s = Kernel() ? Kernel()->scheduler : nullptr;
    if (s) s->ViewJobs(out, filter, mode);
}

int32_t KernelFunctions::ViewCronState(script::CS_Array* out) {
    CCronScheduler* s = Kernel() ? Kernel()->scheduler : nullptr;
    if (!s || !out) return 0;
    out->Reset();
    const auto jobs = s->Jobs();
    for (size_t i = 0; i < jobs.size(); ++i) {
        const CCronScheduler::JobState& j = jobs[i];
        std::string result = j.last_result;
        for (char& ch : result)
            if (ch == '\t' || ch == '\n' || ch == '\r') ch = ' ';
        out->Set(common::FormatText("%04zu", i), j.id + '\t' + j.schedule + '\t' + (j.enabled ? "on" : "off") + '\t' +
                                                     (j.running ? "running" : "idle") + '\t' +
                                                     std::to_string(j.last_start) + '\t' + std::to_string(j.last_end) +
                                                     '\t' + result + '\t' + std::to_string(j.next));
    }
    return static_cast<int32_t>(jobs.size());
}

std::string KernelFunctions::EnableCronJob(const char* which, int32_t on) {
    CCronScheduler* s = Kernel() ? Kernel()->scheduler : nullptr;
    if (!s) return "no scheduler";
    if (!s->EnableJob(common::NullText(which), on != 0)) return "there is no cron job " + common::NullText(which);
    WriteLogLine(2, "Cron job " + common::NullText(which) + (on ? " enabled" : " disabled"));
    return s->SaveCrontab() ? std::string() : "changed, but the crontab could not be saved (see the log)";
}

std::string KernelFunctions::PassGreyListNow(const char* key) {
    core::CMorvaneCore* c = Core();
    if (!c) return "no kernel";
    if (!c->Greylist()->PassNow(common::NullText(key))) return "there is no such greylist record";
    WriteLogLine(2, "Greylist record " + common::NullText(key) + " passed by the operator");
    return Saved(c->Greylist()->Table());
}

std::string KernelFunctions::DeleteListEntry(const char* list, const char* key) {
    core::CMorvaneCore* c = Core();
    if (!c) return "no kernel";
    const std::string which = common::NullText(list);
    store::CDB_RAM* table = which == "grey"      ? &c->Greylist()->Table()
                            : which == "alwl"    ? &c->AutoWhitelist()->Table()
                            : which == "embargo" ? &c->IpInferno()->Table()
                                                 : nullptr;
    if (!table) return "the list is grey, alwl or embargo";
    checks::CListTable* owner = which == "grey"   ? static_cast<checks::CListTable*>(c->Greylist())
                                : which == "alwl" ? static_cast<checks::CListTable*>(c->AutoWhitelist())
                                                  : static_cast<checks::CListTable*>(c->IpInferno());
    // Several kernels may share the list: the record goes from the shared store as well.
    const bool shared = owner->ForgetShared(common::NullText(key));
    if (table->Delete(common::NullText(key)) != 1 && !shared) return "there is no such record in " + which;
    WriteLogLine(2, "Removed " + common::NullText(key) + " from the " + which + " list");
    return Saved(*table);
}

std::string KernelFunctions::AddEmbargo(const char* address, int32_t days) {
    core::CMorvaneCore* c = Core();
    if (!c) return "no kernel";
    const auto ip = common::IpAddress::Parse(common::NullText(address));
    if (!ip) return "'" + common::NullText(address) + "' is no IPv4 or IPv6 address";
    if (days < 1 || days > kMaxEmbargoDays) return "days run from 1 to " + std::to_string(kMaxEmbargoDays);
    const int64_t expiry = static_cast<int64_t>(std::time(nullptr)) + static_cast<int64_t>(days) * 86400;
    // Times are stored as 32-bit seconds, as the session's own embargoes are.
    c->IpInferno()->Add(ip->ToString(), static_cast<int32_t>(std::min<int64_t>(expiry, INT32_MAX)));
    WriteLogLine(2, "Embargoed " + ip->ToString() + " for " + std::to_string(days) + " day(s) by the operator");
    return Saved(c->IpInferno()->Table());
}

int32_t KernelFunctions::ViewEmbargo(script::CS_Array* out, int32_t count, int32_t start, const char* filter) {
    core::CMorvaneCore* c = Core();
    if (!c || !out) return 0;
    return checks::ViewTable(c->IpInferno()->Table(), out, count, start, common::NullText(filter), 0, 1,
                             [](const store::DbRecord& r, const std::vector<std::string>&) { return r.data; });
}

namespace {

bool KnownDomainList(const std::string& list) {
    return list == "wbip" || list == "lover";
}

}  // namespace

int32_t KernelFunctions::ViewDomainList(const char* domain, const char* list, script::CS_Array* out) {
    core::CMorvaneCore* c = Core();
    if (!c || !out || !KnownDomainList(common::NullText(list))) return 0;
    auto d = c->LocalDomains()->GetDomain(checks::CLocalDomains::Normal(common::NullText(domain)));
    store::CDB_RAM* t = d ? d->GetDBRam(list) : nullptr;
    if (!t) return 0;
    out->Reset();
    t->ForEach([out](const store::DbRecord& r) {
        if (!r.deleted) out->Set(r.key, r.data);
    });
    return 1;
}

std::string KernelFunctions::SetDomainListEntry(const char* domain, const char* list, const char* entry,
                                                const char* value) {
    core::CMorvaneCore* c = Core();
    if (!c) return "no kernel";
    const std::string which = common::NullText(list), v = common::NullText(value);
    if (!KnownDomainList(which)) return "the list is wbip (white and black senders) or lover (spam lovers)";
    auto d = c->LocalDomains()->GetDomain(checks::CLocalDomains::Normal(common::NullText(domain)));
    if (!d) return common::NullText(domain) + " is no local domain";
    store::CDB_RAM* t = d->GetDBRam(list);
    if (!t) return "the domain has no " + which + " list (see the domain template)";
    // How the lists are read: entries lower case, an address or (for senders) a domain.
    const std::string key = checks::CLocalDomains::Normal(common::NullText(entry));
    const size_t at = key.find('@');
    const std::string host = at == std::string::npos ? key : key.substr(at + 1);
    if (key.empty() || key.find_first_of(" \t\r\n<>") != std::string::npos || !common::HostnameError(host).empty())
        return "'" + common::NullText(entry) + "' is no address or domain";
    if (which == "lover" && at == std::string::npos) return "a spam lover is an address";
    if (which == "wbip" && v != "1" && v != "0") return "a sender is white (1) or black (0)";
    if (which == "lover" && v != "1") return "a spam lover's value is 1";
    if (t->Update(key, v) < 0 && t->Insert(key, v) != 1) return "the entry could not be stored";
    WriteLogLine(2, "Domain " + d->GetDomainName() + ": " + which + " " + key + "=" + v);
    return Saved(*t);
}

std::string KernelFunctions::DeleteDomainListEntry(const char* domain, const char* list, const char* entry) {
    core::CMorvaneCore* c = Core();
    if (!c) return "no kernel";
    if (!KnownDomainList(common::NullText(list))) return "the list is wbip or lover";
    auto d = c->LocalDomains()->GetDomain(checks::CLocalDomains::Normal(common::NullText(domain)));
    store::CDB_RAM* t = d ? d->GetDBRam(list) : nullptr;
    if (!t) return common::NullText(domain) + " is no local domain with a " + common::NullText(list) + " list";
    if (t->Delete(checks::CLocalDomains::Normal(common::NullText(entry))) != 1)
        return "there is no entry " + common::NullText(entry);
    WriteLogLine(
        2, "Domain " + d->GetDomainName() + ": removed " + common::NullText(entry) + " from " + common::NullText(list));
    return Saved(*t);
}

std::string KernelFunctions::FilterError(const char* pattern) {
    const std::string p = common::NullText(pattern);
    if (p.empty()) return std::string();
    const std::string why = common::RegexCheck(p, common::kRegexCaseless);
    return why.empty() ? why : "the filter is no regular expression: " + why;
}

}  // namespace cron
