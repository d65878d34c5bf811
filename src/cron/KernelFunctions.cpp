#include "cron/KernelFunctions.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <thread>

#include "checks/Bayes.h"
#include "checks/BayesFilter.h"
#include "checks/DnsBL.h"
#include "checks/LocalDomains.h"
#include "checks/Rules.h"
#include "common/NullText.h"
#include "common/String.h"
#include "config/KernelConfig.h"
#include "core/ContentCheck.h"
#include "core/MorvaneCore.h"
#include "mail/ParseMail.h"
#include "mail/ScriptParseMail.h"
#include "platform/KFile.h"
#include "store/FileINI.h"

namespace cron {

void KernelFunctions::LogScriptLine(logging::CLogQueue* log, const std::string& script, int32_t level,
                                    const char* message, const char* category) {
    if (log) {
        log->AddLog(level, message, script, "", category, 0);
        return;
    }
    std::fflush(stdout);
    std::fprintf(stderr, "[%d] %s %s: %s\n", level, category, script.c_str(), message);
}

namespace {

bool Missing(const char* s) {
    return !s || !*s;
}

constexpr const char* kDomainTemplate = "/db/local_domain_add_config.cstemplate";
constexpr size_t kMaxLearnPerCall = 5000;

}  // namespace

KernelFunctions::KernelFunctions(script::Interpreter* in, const KernelAccess* kernel, bool* line_open)
    : core::KernelScriptBase(in), kernel_(kernel), line_open_(line_open) {}

core::CMorvaneCore* KernelFunctions::Core() const {
    return kernel_ ? kernel_->core : nullptr;
}

void KernelFunctions::Print(const char* text) {
    if (Missing(text)) return;
    size_t n = std::strlen(text);
    std::fwrite(text, 1, n, stdout);
    std::fflush(stdout);
    if (line_open_) *line_open_ = text[n - 1] != '\n';
}

// ---------------------------------------------------------------------------------------------
// Configuration

std::string KernelFunctions::ConfigValue(const std::string& key, const char* section) {
    config::CKernelConfig* c = kernel_ ? kernel_->config : nullptr;
    if (!c || key.empty()) return std::string();
    if (!Missing(section)) return c->GetString(section, key, "").str();
    for (const store::IniEntry& e : c->Entries())
        if (e.key.View() == key) return e.value.str();
    return std::string();
}

int32_t KernelFunctions::GetConfigToArray(script::CS_Array* out, const char* section) {
    config::CKernelConfig* c = kernel_ ? kernel_->config : nullptr;
    if (!c || !out) return 0;
    for (const store::IniEntry& e : c->Entries())
        if (Missing(section) || e.section.View() == section) out->Set(e.key.View(), e.value.View());
    return 1;
}

std::string KernelFunctions::CheckConfigValue(const char* section, const char* key, const char* value) {
    if (Missing(section) || Missing(key)) return "the section and the key are needed";
    return config::ConfigValueError(section, key, common::NullText(value));
}

void KernelFunctions::SetConfig(const char* section, const char* key, const char* value) {
    // A refused value changes nothing; CheckConfigValue tells the script why.
    if (kernel_ && kernel_->config && !Missing(section) && !Missing(key))
        (void)kernel_->config->SetImageValue(section, key, common::NullText(value));
}

void KernelFunctions::DeleteFromConfig(const char* section, const char* key) {
    if (kernel_ && kernel_->config && !Missing(section) && !Missing(key))
        kernel_->config->DeleteImageValue(section, key);
}

void KernelFunctions::WaitForReplaceConfig() {
    config::CKernelConfig* c = kernel_ ? kernel_->config : nullptr;
    if (!c) return;
    if (!kernel_->main_loop) {
        c->ReadImage();
        return;
    }
    // Sessions read the settings while the main loop runs; they are rewritten on its thread.
    c->image_read_requested = true;
    for (int waited = 0; c->image_read_requested && waited < 5000; waited += 10) {
        if (interpreter() && interpreter()->Aborted()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void KernelFunctions::SaveConfig() {
    if (kernel_ && kernel_->config) kernel_->config->SaveConfig();
}

void KernelFunctions::SetLevelReBootConfig(int32_t mode) {
    if (kernel_ && kernel_->config) kernel_->config->reload_mode = mode;
}

void KernelFunctions::SetRebootConfig(int32_t on) {
    config::CKernelConfig* c = kernel_ ? kernel_->config : nullptr;
    if (!c) return;
    if (on) {
        if (c->reload_mode < 0) c->reload_mode = 0;
        c->reload_pending = true;
    } else {
        c->reload_pending = false;
        c->reload_mode = -1;
    }
}

// ---------------------------------------------------------------------------------------------
// Domains

std::string KernelFunctions::CheckDomainName(const char* domain) {
    return checks::CLocalDomains::NameError(common::NullText(domain));
}

int32_t KernelFunctions::InsertDomain(const char* domain) {
    if (!Core()) return 0;
    if (!domain) return -1;
    return Core()->LocalDomains()->AddLocalDomain(domain);
}

int32_t KernelFunctions::DeleteDomain(const char* domain) {
    return Core() && !Missing(domain) ? Core()->LocalDomains()->RemoveDomain(domain) : 0;
}

store::CDB_RAM* KernelFunctions::GetDBRamDomains() {
    return Core() ? &Core()->LocalDomains()->Table() : nullptr;
}

void KernelFunctions::SaveDomains() {
    if (Core()) (void)Core()->LocalDomains()->Save();  // a failure is reported and logged by the core
}

void KernelFunctions::LoadDomainsConfig() {
    if (Core()) Core()->LocalDomains()->LoadAll();
}

void KernelFunctions::AddVarToDomainTemplate(const char* section, const char* key, const char* value) {
    if (!Core() || Missing(section) || Missing(key)) return;
    store::CFileINI ini;
    const std::string path = kernel_->app_dir + kDomainTemplate;
    ini.Load(path);
    ini.WriteString(section, key, common::NullText(value));
    (void)ini.Save(path);  // a failure is reported and logged by the core
}

void KernelFunctions::DeleteVarFromDomainTemplate(const char* section, const char* key) {
    if (!Core() || Missing(section) || Missing(key)) return;
    store::CFileINI ini;
    const std::string path = kernel_->app_dir + kDomainTemplate;
    if (!ini.Load(path)) return;
    ini.DeleteKey(section, key);
    (void)ini.Save(path);  // a failure is reported and logged by the core
}

// ---------------------------------------------------------------------------------------------
// Tables, rules, Bayes

store::CDB_RAM* KernelFunctions::GetDBRamSpamTrap() {
    return Core() ? &Core()->SpamTrap()->Table() : nullptr;
}
store::CDB_RAM* KernelFunctions::GetDBRamIpInferno() {
    return Core() ? &Core()->IpInferno()->Table() : nullptr;
}
store::CDB_RAM* KernelFunctions::GetDBRamHelo() {
    return Core() ? &Core()->HeloForget()->Table() : nullptr;
}
checks::CRules* KernelFunctions::GetRulesDB() {
    return Core() ? Core()->Rules() : nullptr;
}
checks::CBayes* KernelFunctions::GetDBBayes() {
    return Core() ? Core()->Bayes() : nullptr;
}
checks::CBayesFilter* KernelFunctions::GetBayesFilter() {
    return Core() ? Core()->BayesFilter() : nullptr;
}

int32_t KernelFunctions::DrainKernel() {
    core::CMorvaneCore* c = Core();
    if (!c) return 0;
    c->RequestDrain();
    return 1;
}

int32_t KernelFunctions::SetHeloRefresh() {
    core::CMorvaneCore* c = Core();
    if (!c) return 0;
    checks::TableDomains domains(c->LocalDomains()->Table());
    // A snapshot: this runs on a cron or admin thread while the main loop may reload.
    const core::CMorvaneCore::Identity me = c->PublicIdentity();
    return c->HeloForget()->Refresh(me.public_ip, me.name, c->Dns(), &domains);
}

int32_t KernelFunctions::LearnBayesQuarantine(int32_t kind) {
    checks::CBayes* bayes = Core() ? Core()->Bayes() : nullptr;
    if (!bayes || (kind != 1 && kind != 2)) return -1;
    namespace fs = std::filesystem;
    const std::string folder = bayes->Folder(kind);
    const std::string stamp_file = folder + "/.learned";
    std::string stamp_text;
    platform::ReadWholeFile(stamp_file, stamp_text);
    const long long since = std::atoll(stamp_text.c_str());
    const long long now = static_cast<long long>(std::time(nullptr));
    // Oldest first, so an interrupted run resumes where it stopped.
    std::vector<std::pair<long long, std::string>> files;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec) || it->path().extension() != ".eml") continue;
        struct stat st {};
        if (::stat(it->path().c_str(), &st) != 0) continue;
        const long long secs = static_cast<long long>(st.st_mtime);
        // Files of the current second wait for the next run: the stamp then covers whole seconds.
        if (secs > since && secs < now) files.emplace_back(secs, it->path().string());
    }
    std::sort(files.begin(), files.end());
    if (files.size() > kMaxLearnPerCall) files.resize(kMaxLearnPerCall);
    int32_t learned = 0;
    long long newest = since;
    for (const auto& [secs, path] : files) {
        if (interpreter() && interpreter()->Aborted()) break;
        mail::CParseMail parsed;
        checks::CBayesWord words;
        newest = secs;
        if (!checks::LoadMessageFile(path, parsed) || !words.Tokenize(parsed) || words.tokens.empty()) continue;
        // Each filter learns only what it misjudges: a message in the folder of the verdict it
        // was quarantined under is the filter's own word, and learning it would only harden
        // that; one the operator moved into the other folder is a correction.
        bool counted = false;
        if (Core()->BayesFilter()->ClassifyMessage(parsed.Raw()).verdict != kind) {
            const auto l = Core()->BayesFilter()->Learn(parsed.Raw(), kind);
            counted = l == checks::CBayesFilter::Learned::kLearned || l == checks::CBayesFilter::Learned::kMoved;
        }
        if (bayes->Classify(words.tokens) != kind) {
            bayes->Learn(words.tokens, kind);
            counted = true;
        }
        learned += counted ? 1 : 0;
    }
    if (newest != since) platform::WriteFileAtomic(stamp_file, std::to_string(newest) + "\n");
    if (learned > 0) {
        (void)bayes->Save();  // a failure is reported and logged by the core
        if (Core()->BayesFilter()->Changed()) (void)Core()->BayesFilter()->Save();
    }
    return learned;
}

// ---------------------------------------------------------------------------------------------
// Greylist and auto-whitelist

void KernelFunctions::LoadALWL() {
    if (Core()) Core()->AutoWhitelist()->Table().Load();
}

// The cooperative network's client: how many servers answer, resolving their names again, and
// each server's address and counts.
int32_t KernelFunctions::DCTest(const char* text) {
    return Core() ? Core()->Community()->Test(common::NullText(text)) : 0;
}
int32_t KernelFunctions::DCRefreshServer() {
    return Core() ? Core()->Community()->RefreshServers() : 0;
}
void KernelFunctions::DCGetServer(script::CS_Array* out) {
    if (Core()) Core()->Community()->Servers(out);
}

// ---------------------------------------------------------------------------------------------
// Phishing

void KernelFunctions::ViewPhishingDB(script::CS_Array* out) {
    if (Core() && out) Core()->Phishing()->View(out);
}
int32_t KernelFunctions::AddDomainPhishing(const char* domain) {
    return Core() && !Missing(domain) ? Core()->Phishing()->AddDomain(domain) : 0;
}
int32_t KernelFunctions::UpDateDomainPhishing(const char* domain, const char* data) {
    return Core() && !Missing(domain) && !Missing(data) ? Core()->Phishing()->UpdateDomain(domain, data) : 0;
}
int32_t KernelFunctions::DeleteDomainPhishing(const char* domain) {
    return Core() && !Missing(domain) ? Core()->Phishing()->DeleteDomain(domain) : 0;
}
int32_t KernelFunctions::UpDateDBPhishingFromWWW() {
    phishing_error_.clear();
    if (!Core()) return 0;
    return Core()->Phishing()->UpdateFromService(&phishing_error_);
}
std::string KernelFunctions::GetDBPhishingUrl() {
    return Core() ? Core()->Phishing()->Url() : std::string();
}
void KernelFunctions::LoadDBPhishing() {
    if (Core()) Core()->Phishing()->Load();
}
std::string KernelFunctions::GetDBPhishingDate() {
    return Core() ? Core()->Phishing()->Date() : std::string();
}

// ---------------------------------------------------------------------------------------------
// Statistics and table sizes

int32_t KernelFunctions::GetStatisticsToArray(script::CS_Array* out) {
    if (!Core() || !out) return 0;
    for (const checks::StatCounter& s : Core()->Statistics()->Counters())
        out->Set(s.name, common::FormatText("%.3f", static_cast<double>(s.value)));
    return 1;
}

namespace {

// A record's fields, named, in the order rows list them.
std::vector<std::pair<const char*, std::string>> HistoryFields(const store::HistoryRecord& r) {
    char when[32];
    const time_t t = static_cast<time_t>(r.time);
    tm parts{};
    localtime_r(&t, &parts);
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &parts);
    return {
        {"id", std::to_string(r.id)},
        {"time", std::to_string(r.time)},
        {"when", when},
        {"duration_ms", std::to_string(r.duration_ms)},
        {"conn_id", std::to_string(r.conn_id)},
        {"client_ip", r.client_ip},
        {"client_name", r.client_name},
        {"helo", r.helo},
        {"sender", r.sender},
        {"recipients", r.recipients},
        {"size", std::to_string(r.size)},
        {"messages", std::to_string(r.messages)},
        {"action", r.action},
        {"step", r.step},
        {"reply", r.reply},
        {"reasons", r.reasons},
        {"message_id", r.message_id},
        {"tls", r.tls},
        {"note", r.note},
    };
}

}  // namespace

void KernelFunctions::WriteLogLine(int level, const std::string& text) {
    // The kernel's own log: an operator's action is the kernel's record, whichever
    // host (web page, admin command) took it.
    if (Core()) Core()->AddLog(level, text, "KernelFunctions", "Operator", "SYS", 0);
}

int32_t KernelFunctions::LearnFile(const std::string& path, int32_t as, std::string* how) {
    checks::CBayes* bayes = Core() ? Core()->Bayes() : nullptr;
    if (!bayes || (as != 1 && as != 2)) return -1;
    mail::CParseMail parsed;
    if (!checks::LoadMessageFile(path, parsed)) return -1;
    // The operator's word on a message teaches both filters; the statistical one is the
    // policy's, and counts a message once whatever it was learned as before.
    using L = checks::CBayesFilter::Learned;
    checks::CBayesFilter* filter = Core()->BayesFilter();
    const L l = filter->Learn(parsed.Raw(), as);
    if (l == L::kEmpty) return -1;
    (void)filter->Save();  // a failure is reported and logged by the core
    checks::CBayesWord words;
    if (words.Tokenize(parsed) && !words.tokens.empty()) {
        bayes->Learn(words.tokens, as);
        (void)bayes->Save();
    }
    if (how) *how = l == L::kAlready ? " (already learned so)" : l == L::kMoved ? " (moved from the other class)" : "";
    return l == L::kAlready ? 0 : 1;
}

int32_t KernelFunctions::ViewHeld(const char* search, script::CS_Array* out, int32_t start, int32_t count) {
    core::CMorvaneCore* c = Core();
    if (!c || !out) return 0;
    out->Reset();
    size_t total = 0;
    const auto items = c->Held()->List(common::NullText(search), static_cast<size_t>(std::max(start, 0)),
                                       static_cast<size_t>(std::clamp(count, 0, 1000)), &total);
    for (size_t i = 0; i < items.size(); ++i) {
        const core::HeldEnvelope& e = items[i].env;
        std::string rcpts;
        for (const std::string& r : e.recipients) rcpts += (rcpts.empty() ? "" : " ") + r;
        std::string row = items[i].id + '\t' + DateTimeFormat("%Y-%m-%d %H:%M:%S", static_cast<int32_t>(e.time)) +
                          '\t' + e.client_ip + '\t' + e.sender + '\t' + rcpts + '\t' + e.subject + '\t' + e.reasons +
                          '\t' + std::to_string(e.size) + '\t' + e.released;
        out->Set(common::FormatText("%04zu", i), row);
    }
    return static_cast<int32_t>(total);
}

std::string KernelFunctions::HeldMessage(const char* id) {
    core::CMorvaneCore* c = Core();
    return c ? c->Held()->Message(common::NullText(id)) : std::string();
}

std::string KernelFunctions::ReleaseHeld(const char* id, const char* user) {
    core::CMorvaneCore* c = Core();
    config::CKernelConfig* cfg = Kernel() ? Kernel()->config : nullptr;
    if (!c || !cfg) return "no kernel";
    const std::string error = c->Held()->Release(
        common::NullText(id), common::NullText(user), cfg->GetString("CONFIG", "smtp_server1", "localhost").str(),
        cfg->GetInt("CONFIG", "smtp_port1", 225), cfg->GetString("CONFIG", "myname", "").str());
    WriteLogLine(error.empty() ? 2 : 1, "Held message " + std::string(common::NullText(id)) +
                                            (error.empty() ? " released by " + std::string(common::NullText(user))
                                                           : " not released: " + error));
    return error;
}

int32_t KernelFunctions::DeleteHeld(const char* id, const char* user) {
    core::CMorvaneCore* c = Core();
    if (!c || !c->Held()->Delete(common::NullText(id))) return 0;
    WriteLogLine(
        2, "Held message " + std::string(common::NullText(id)) + " deleted by " + std::string(common::NullText(user)));
    return 1;
}

int32_t KernelFunctions::LearnHeld(const char* id, int32_t as) {
    core::CMorvaneCore* c = Core();
    if (!c || !core::CHeldMail::ValidId(common::NullText(id))) return -1;
    std::string how;
    const int32_t r = LearnFile(c->Held()->Folder() + "/" + std::string(common::NullText(id)) + ".eml", as, &how);
    if (r >= 0)
        WriteLogLine(
            2, "Learned held message " + std::string(common::NullText(id)) + " as " + (as == 1 ? "spam" : "ham") + how);
    return r;
}

std::string KernelFunctions::CheckMessage(const char* message, const char* client_ip, const char* sender,
                                          script::CS_Array* out) {
    core::CMorvaneCore* c = Core();
    config::CKernelConfig* cfg = Kernel() ? Kernel()->config : nullptr;
    if (!c || !cfg) return std::string();
    const std::string text = common::NullText(message);
    core::ContentCheckInput in;
    in.message = text;
    in.client_ip = common::NullText(client_ip);
    in.mail_from = common::NullText(sender);
    const core::ContentReport r = core::CheckContent(*c, in, core::SettingsOf(*cfg));
    if (out) {
        out->Reset();
        for (size_t i = 0; i < r.rows.size(); ++i)
            out->Set(common::FormatText("%02zu", i),
                     r.rows[i].check + '\t' + r.rows[i].result + '\t' +
                         common::FormatText("%.2f", static_cast<double>(r.rows[i].points)));
    }
    return r.verdict + '\t' + common::FormatText("%.2f", static_cast<double>(r.total)) + '\t' + r.reasons;
}

std::string KernelFunctions::TestRule(const char* pattern, int32_t type, int32_t options, const char* message) {
    const std::string why = checks::CRules::RuleError(pattern, type, options);
    if (!why.empty()) return why;
    mail::CS_ParseMail mail;
    mail.AddStreaming(checks::AsSessionSees(common::NullText(message)));
    mail.Parse();
    if (type == checks::kRuleMeta) {
        // Its names are the table's rules: the table's check on the message, the rule added.
        core::CMorvaneCore* c = Core();
        if (!c) return "no kernel";
        checks::CRules trial;
        for (const checks::RuleSpec& r : c->Rules()->Rules())
            trial.AddRule(r.name.c_str(), r.pattern.c_str(), r.type, r.score, r.options);
        const std::string name = "\x01trial";
        trial.AddRule(name.c_str(), pattern, type, 0, options);
        checks::CRulesResult result;
        trial.Check(mail, &result);
        for (const auto& e : result.entries)
            if (e.name == name) return "match";
        return "no match";
    }
    script::CS_Array captures;
    checks::CRules none;
    if (none.RuleTest(&mail, pattern, type, options, &captures) == "NO MACTH") return "no match";
    std::string out = "match";
    for (int32_t i = 0; i < captures.GetRecordCount(); ++i)
        out += " " + std::string(captures.GetKeyByIndex(i)) + "=" + captures.GetByIndexS(i);
    return out;
}

int32_t KernelFunctions::GetActivity(const char* scale, script::CS_Array* out) {
    core::CMorvaneCore* c = Core();
    const std::string which = common::NullText(scale);
    if (which != "minute" && which != "hour") return -1;
    if (!c || !out) return 0;
    out->Reset();
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    const auto points = which == "minute" ? c->Activity()->Minutes(now) : c->Activity()->Hours(now);
    for (size_t i = 0; i < points.size(); ++i) {
        const core::CActivity::Cell& cell = points[i].cell;
        std::string row = std::to_string(points[i].start);
        for (uint32_t n : cell.outcomes) row += '\t' + std::to_string(n);
        row += '\t' + std::to_string(cell.sessions) + '\t' + std::to_string(core::CActivity::Average(cell)) + '\t' +
               std::to_string(core::CActivity::P95(cell));
        out->Set(common::FormatText("%04zu", i), row);
    }
    return static_cast<int32_t>(points.size());
}

std::string KernelFunctions::ActivityColumns() {
    return "start\tdelivered\ttagged\trefused\tgreylisted\theld\tsessions\tavg_ms\tp95_ms";
}

int64_t HistoryTime(const std::string& text, bool end) {
    if (text.empty()) return 0;
    if (text.find_first_not_of("0123456789") == std::string::npos) return std::atoll(text.c_str());
    // A local date, with or without its time: a day alone runs from its first second to its last.
    for (const char* format : {"%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%d"}) {
        tm parts{};
        const char* rest = strptime(text.c_str(), format, &parts);
        if (!rest || *rest) continue;
        parts.tm_isdst = -1;
        const bool day = std::string_view(format) == "%Y-%m-%d";
        const bool minute = std::string_view(format) == "%Y-%m-%d %H:%M";
        const time_t t = std::mktime(&parts);
        if (t == static_cast<time_t>(-1)) return 0;
        return static_cast<int64_t>(t) + (end ? (day ? 86399 : minute ? 59 : 0) : 0);
    }
    return 0;
}

int32_t KernelFunctions::ViewHistory(script::CS_Array* filter, script::CS_Array* out, int32_t start, int32_t count) {
    core::CMorvaneCore* c = Core();
    if (!c || !out) return 0;
    out->Reset();
    store::CHistory::Filter f;
    if (filter) {
        const auto text = [filter](const char* key) {
            const char* v = filter->KeyExists(key) ? filter->GetS(key) : nullptr;
            return std::string(v ? v : "");
        };
        f.address = text("address");
        f.sender = text("sender");
        f.recipient = text("recipient");
        f.action = text("action");
        f.reason = text("reason");
        f.from = HistoryTime(text("from"), false);
        f.to = HistoryTime(text("to"), true);
        if ((f.from == 0 && !text("from").empty()) || (f.to == 0 && !text("to").empty())) return -1;
    }
    size_t total = 0;
    const auto rows = c->History()->Query(f, static_cast<size_t>(std::max(start, 0)),
                                          static_cast<size_t>(std::clamp(count, 0, 1000)), &total);
    for (size_t i = 0; i < rows.size(); ++i) {
        // Keys that sort as the rows come (newest first); the record's id is its first field.
        std::string row;
        bool first = true;
        for (auto& field : HistoryFields(rows[i])) {
            std::string& value = field.second;
            std::replace(value.begin(), value.end(), '\t', ' ');
            row += (first ? "" : "\t") + value;
            first = false;
        }
        out->Set(common::FormatText("%04zu", i), row);
    }
    return static_cast<int32_t>(total);
}

std::string KernelFunctions::HistoryColumns() {
    std::string out;
    for (const auto& [name, value] : HistoryFields(store::HistoryRecord{}))
        out += std::string(out.empty() ? "" : "\t") + name;
    return out;
}

int32_t KernelFunctions::GetHistory(int32_t id, script::CS_Array* out) {
    core::CMorvaneCore* c = Core();
    if (!c || !out) return 0;
    out->Reset();
    const auto r = c->History()->Get(id);
    if (!r) return 0;
    for (const auto& [name, value] : HistoryFields(*r)) out->Set(name, value);
    return 1;
}

int32_t KernelFunctions::GetTablesCount(script::CS_Array* out) {
    core::CMorvaneCore* c = Core();
    if (!c || !out) return 0;
    const std::pair<const char*, store::CDB_RAM*> tables[] = {
        {"dns", &c->Dns()->Cache()},
        {"dnsbl", &c->DnsBL()->Cache()},
        {"spf", &c->Spf()->Table()},
        {"helo", &c->HeloForget()->Table()},
        {"inferno", &c->IpInferno()->Table()},
        {"spamtrap", &c->SpamTrap()->Table()},
        {"alwl", &c->AutoWhitelist()->Table()},
        {"greylist", &c->Greylist()->Table()},
        {"domains", &c->LocalDomains()->Table()},
        {"bayes_words", &c->Bayes()->Words()},
    };
    for (const auto& [name, table] : tables) out->Set(name, std::to_string(table->GetCount()));
    out->Set("rules", std::to_string(c->Rules()->Count()));
    const checks::CBayesFilter::Stats filter = c->BayesFilter()->GetStats();
    out->Set("bayes_spam", std::to_string(filter.spam_messages));
    out->Set("bayes_ham", std::to_string(filter.ham_messages));
    out->Set("bayes_tokens", std::to_string(filter.tokens));
    return 1;
}

}  // namespace cron
