#include "core/AntispamScript.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "checks/Bayes.h"
#include "checks/Dns.h"
#include "checks/DnsBL.h"
#include "checks/LocalDomains.h"
#include "checks/Reputation.h"
#include "common/NullText.h"
#include "common/String.h"
#include "config/KernelConfig.h"
#include "core/ContentCheck.h"
#include "core/LauchAntispam.h"
#include "core/MorvaneCore.h"
#include "platform/EventLoop.h"
#include "platform/KFile.h"
#include "platform/Paths.h"
#include "script/Bind.h"
#include "script/Imports.h"

namespace core {

namespace {

bool Missing(const char* s) {
    return !s || !*s;
}

// The file name of a "flag|file" script entry.
using platform::FileStamp;

std::string ScriptFile(const common::String& entry) {
    const std::string& e = entry.str();
    size_t bar = e.find('|');
    return bar == std::string::npos ? e : e.substr(bar + 1);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CS_PROXY_ANTISPAM_INSTANCE

bool AntispamScriptSlot::IsCoreScript() const {
    static constexpr std::string_view kCore = "/core.cs";
    return path.size() >= kCore.size() && path.compare(path.size() - kCore.size(), kCore.size(), kCore) == 0;
}

CS_PROXY_ANTISPAM_INSTANCE::~CS_PROXY_ANTISPAM_INSTANCE() = default;

void CS_PROXY_ANTISPAM_INSTANCE::Register(const std::vector<common::String>& entries, const std::string& script_dir,
                                          bool caching) {
    if (entries.empty()) {
        scripts_.clear();
        paths_.clear();
        count_ = -1;
        return;
    }
    std::vector<std::string> paths;
    for (const common::String& e : entries) paths.push_back(script_dir + ScriptFile(e));
    if (paths != paths_) scripts_.clear();
    paths_ = paths;
    // Each connection starts afresh: no notification or registration from the last one.
    changed_.clear();
    if (!caching) globals_.clear();
    if (scripts_.empty()) {
        for (const std::string& path : paths) {
            auto slot = std::make_unique<AntispamScriptSlot>();
            slot->path = path;
            scripts_.push_back(std::move(slot));
        }
    }
    count_ = static_cast<int>(scripts_.size());
    for (auto& s : scripts_) {
        if (s->loaded && s->stamp != FileStamp(s->path)) s->loaded = false;  // edited: compile it again
        if (!s->loaded)
            Compile(*s);
        else if (!caching || !s->compiled)
            Restart(*s);
        else
            s->in->ClearError();
    }
}

void CS_PROXY_ANTISPAM_INSTANCE::Restart(AntispamScriptSlot& slot) {
    if (slot.compile_failed || !slot.in) return;  // reported once; compiled again when the file changes
    current_ = &slot;
    const int ok = slot.in->Restart();
    current_ = nullptr;
    std::string diagnostics = slot.in->CollectDiagnostics();
    slot.compiled = ok && !slot.in->HasError();
    slot.reported = false;
    if (!slot.compiled) slot.error = diagnostics.empty() ? "the script's global code failed" : diagnostics;
}

void CS_PROXY_ANTISPAM_INSTANCE::Compile(AntispamScriptSlot& slot) {
    slot.in = std::make_unique<script::Interpreter>();
    slot.loaded = true;
    slot.compiled = false;
    slot.compile_failed = true;  // until it compiles
    slot.reported = false;
    slot.stamp = FileStamp(slot.path);
    script::ClassIdOf<CS_PROXY_ANTISPAM_INSTANCE>::SetName("CS_PROXY_ANTISPAM_INSTANCE");
    // Scripts build their host object from $_this in their top-level code, which runs while
    // compiling: the variable must exist before.
    slot.in->AddExternVariable("$_this", std::make_unique<script::ExternVariable<CS_PROXY_ANTISPAM_INSTANCE>>(&self_));
    RegisterAntispamClass(*slot.in);
    if (session_) {
        // A script caught in a loop when the kernel stops ends at its next step; a stop during
        // a Sleep aborts it directly (ScriptStarted).
        slot.in->SetStepHook(
            [](script::Interpreter& in, void* session) {
                if (static_cast<CLauchAntispam*>(session)->Stopping()) in.Abort();
            },
            session_);
    }
    std::optional<std::string> text = slot.in->Preprocess(slot.path);
    if (!text) {
        if (slot.in->HasError()) {
            slot.error = slot.in->CollectDiagnostics();
        } else {
            slot.in->AddLog(1, slot.error = "cannot read the script file " + slot.path, slot.path, "", "SCRIPT");
            slot.stamp.clear();  // perhaps out of descriptors for a moment: tried again next time
        }
        return;
    }
    script::RegisterImports(*slot.in);
    current_ = &slot;
    int ok = slot.in->LoadByRam(*text);
    current_ = nullptr;
    std::string diagnostics = slot.in->CollectDiagnostics();
    if (!ok || slot.in->HasError()) {
        slot.error = diagnostics.empty() ? "the script did not compile" : diagnostics;
        return;
    }
    slot.compiled = true;
    slot.compile_failed = false;
}

bool CS_PROXY_ANTISPAM_INSTANCE::AnyFailed() const {
    for (const auto& s : scripts_)
        if (!s->compiled) return true;
    return false;
}

int CS_PROXY_ANTISPAM_INSTANCE::Event(const char* name) {
    return Event(name, nullptr, {});
}

int CS_PROXY_ANTISPAM_INSTANCE::Event(const char* name, const char* types, std::initializer_list<const void*> values) {
    if (count_ < 0 && scripts_.empty()) return 1;
    if (count_ < 1) return 0;
    if (session_ && session_->Stopping()) return 0;  // the kernel stops: no script starts now
    int result = 0;
    auto run = [&](AntispamScriptSlot& s, const char* fn, const char* t, std::initializer_list<const void*> v) {
        current_ = &s;
        if (session_) session_->ScriptStarted(s.in.get());
        const auto started = std::chrono::steady_clock::now();
        int r = t ? s.in->Run(fn, t, v) : s.in->Run(fn);
        if (session_) {
            session_->ScriptEnded();
            session_->Core().ScriptEventTimes().With(fn).Observe(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        }
        s.error.clear();
        std::string diagnostics = s.in->CollectDiagnostics();
        current_ = nullptr;
        if (!s.in->HasError()) return r;
        // A script that fails gets no further events until its host is rebuilt.
        s.error = diagnostics;
        s.compiled = false;
        if (session_)
            session_->Core().CountMetric("morvane_script_errors_total", "Script runs that failed, by script file.",
                                         "script", s.path);
        s.in->AddLog(1, common::FormatText("-- ERROR SCRIPT: %s --", s.path.c_str()), s.path, fn, "SCRIPT");
        if (!diagnostics.empty()) s.in->AddLog(1, diagnostics, s.path, fn, "SCRIPT");
        if (session_ && s.IsCoreScript()) session_->EndSession("the core script failed");
        return 0;
    };
    for (size_t i = 0; i < scripts_.size(); ++i) {
        AntispamScriptSlot& s = *scripts_[i];
        if (!s.compiled || !s.in->HasFunction(name)) continue;
        changed_.clear();
        result |= run(s, name, types, values);
        if (!s.compiled || changed_.empty()) continue;
        std::vector<std::pair<std::string, std::string>> changes;
        changes.swap(changed_);
        for (size_t j = 0; j < scripts_.size(); ++j) {
            AntispamScriptSlot& other = *scripts_[j];
            if (j == i || !other.compiled || !other.in->HasFunction("NotificationGlobalVariable")) continue;
            for (const auto& [n, v] : changes) {
                if (!other.compiled) break;
                run(other, "NotificationGlobalVariable", "string,string", {n.c_str(), v.c_str()});
            }
        }
        changed_.clear();
    }
    return result;
}

void CS_PROXY_ANTISPAM_INSTANCE::RegisterGlobalVariable(const std::string& name) {
    globals_.insert(name);
}

void CS_PROXY_ANTISPAM_INSTANCE::SetGlobalVariable(const std::string& name, const std::string& value) {
    if (globals_.count(name)) changed_.emplace_back(name, value);
}

// ---------------------------------------------------------------------------------------------
// CS_ANTISPAM_SCRIPT

CS_ANTISPAM_SCRIPT::CS_ANTISPAM_SCRIPT(CS_PROXY_ANTISPAM_INSTANCE* instance)
    : KernelScriptBase(instance && instance->Current() ? instance->Current()->in.get() : nullptr),
      instance_(instance) {}

CLauchAntispam* CS_ANTISPAM_SCRIPT::session() const {
    return instance_ ? instance_->Session() : nullptr;
}

CMorvaneCore* CS_ANTISPAM_SCRIPT::Core() const {
    return session() ? &session()->Core() : nullptr;
}

std::string CS_ANTISPAM_SCRIPT::ConfigValue(const std::string& section, const char* key) {
    CLauchAntispam* s = session();
    if (!s || Missing(key)) return std::string();
    return s->Config().GetString(section, key, "").str();
}

void CS_ANTISPAM_SCRIPT::Exit() {
    HostBuiltins::Exit();
    if (CLauchAntispam* s = session()) s->ExitSession();
}

void CS_ANTISPAM_SCRIPT::Print(const char* text) {
    if (Missing(text)) return;
    std::fwrite(text, 1, std::strlen(text), stdout);
    std::fflush(stdout);
}

void CS_ANTISPAM_SCRIPT::WriteLog(int32_t level, const char* text, const char* type) {
    CLauchAntispam* s = session();
    if (!s || !text) return;
    AntispamScriptSlot* current = instance_->Current();
    s->AddLog(level, text, current ? current->path : std::string(), "", Missing(type) ? "SCRIPT" : type, s->Id());
}

void CS_ANTISPAM_SCRIPT::RegisterGlobalVariable(const char* name) {
    if (instance_ && !Missing(name)) instance_->RegisterGlobalVariable(name);
}

void CS_ANTISPAM_SCRIPT::SetGlobalVariable(const char* name, const char* value) {
    if (instance_ && !Missing(name)) instance_->SetGlobalVariable(name, common::NullText(value));
}

std::string CS_ANTISPAM_SCRIPT::GetClientIP() {
    return session() ? session()->ClientIp() : std::string();
}
std::string CS_ANTISPAM_SCRIPT::GetClientReverseDns() {
    return session() ? session()->ClientHost() : std::string();
}
std::string CS_ANTISPAM_SCRIPT::GetMTAIP() {
    return session() ? session()->MtaAddress() : std::string();
}

int32_t CS_ANTISPAM_SCRIPT::IsIpInferno(const char* ip) {
    return session() && !Missing(ip) ? session()->Core().IpInferno()->Contains(ip) : 0;
}

void CS_ANTISPAM_SCRIPT::AddIpInferno(const char* ip, int32_t expiry) {
    if (session() && !Missing(ip)) session()->Core().IpInferno()->Add(ip, expiry);
}

int32_t CS_ANTISPAM_SCRIPT::IsIpWhiteList(const char* ip) {
    return session() && !Missing(ip) ? session()->Core().DnsBLWhiteList()->Contains(ip, session()->Core().Dns()) : 0;
}

int32_t CS_ANTISPAM_SCRIPT::IsIpMaxSession(const char* ip) {
    CLauchAntispam* s = session();
    if (!s || Missing(ip)) return 0;
    checks::CSessionCounter* c = s->Core().SessionCounter();
    return c->Count(ip) > c->Maximum() ? 1 : 0;
}

void CS_ANTISPAM_SCRIPT::RegisterSessionIp(const char* ip) {
    if (session() && !Missing(ip)) session()->RegisterSessionIp(ip);
}

int32_t CS_ANTISPAM_SCRIPT::ConnectToDefaultMTA() {
    return session() ? session()->ConnectToDefaultMTA() : 0;
}

int32_t CS_ANTISPAM_SCRIPT::ConnectToMTA(const char* host, const char* port) {
    return session() && !Missing(host) && !Missing(port) ? session()->ConnectToMTA(host, port) : 0;
}

std::string CS_ANTISPAM_SCRIPT::GetNameServerMTA() {
    return session() ? session()->MtaHost() : std::string();
}
std::string CS_ANTISPAM_SCRIPT::GetReplaceNameServerMTA() {
    return session() ? session()->MtaName() : std::string();
}

void CS_ANTISPAM_SCRIPT::InjectionExtensionMTA(const char* text) {
    if (session() && text) session()->InjectionExtensionMTA(text);
}

void CS_ANTISPAM_SCRIPT::DropExtensionMTA(const char* text) {
    if (session() && text) session()->DropExtensionMTA(text);
}

int32_t CS_ANTISPAM_SCRIPT::IsRelayIp(const char* ip) {
    return session() && !Missing(ip) ? session()->Core().RelayList()->Contains(ip, session()->Core().Dns()) : 0;
}

int32_t CS_ANTISPAM_SCRIPT::IsLanIp(const char* ip) {
    return Missing(ip) ? 0 : checks::IsLanIp(ip);
}
int32_t CS_ANTISPAM_SCRIPT::IsClientTLS() {
    return session() && session()->ClientTls() ? 1 : 0;
}

std::string CS_ANTISPAM_SCRIPT::GetClientTLSInfo() {
    return session() ? session()->ClientTlsInfo() : std::string();
}

int32_t CS_ANTISPAM_SCRIPT::ClientIsRelay() {
    return session() && session()->Relay() ? 1 : 0;
}

void CS_ANTISPAM_SCRIPT::SendToMTA(const char* text) {
    if (session() && text) session()->SendToMTA(text);
}

void CS_ANTISPAM_SCRIPT::SendToClient(const char* text) {
    if (session() && text) session()->SendToClient(text);
}

void CS_ANTISPAM_SCRIPT::CloseClientConnection() {
    if (session()) session()->CloseClientConnection();
}
void CS_ANTISPAM_SCRIPT::CloseMTAConnection() {
    if (session()) session()->CloseMTAConnection();
}
void CS_ANTISPAM_SCRIPT::CloseAllConnection() {
    if (session()) session()->CloseAllConnection();
}
void CS_ANTISPAM_SCRIPT::DropBufferToMTA() {
    if (session()) session()->DropBufferToMTA();
}
void CS_ANTISPAM_SCRIPT::DropBufferToClient() {
    if (session()) session()->DropBufferToClient();
}
void CS_ANTISPAM_SCRIPT::CloseClientConnAfterSendingQueue() {
    if (session()) session()->CloseClientConnAfterSendingQueue();
}

int32_t CS_ANTISPAM_SCRIPT::IsForgetHelo(const char* helo) {
    return session() && !Missing(helo) ? session()->Core().HeloForget()->Contains(helo) : 0;
}

int32_t CS_ANTISPAM_SCRIPT::SPFQuery(const char* ip, const char* mail_from, const char* helo) {
    // Outside a session (morvane-script) there is no engine: Neutral, as for a missing argument.
    if (!session()) return checks::kSpfNeutral;
    const int32_t r = session()->Core().Spf()->Query(ip, mail_from, helo);
    session()->Core().CountMetric("morvane_spf_results_total", "SPF checks by result.", "result",
                                  common::AsciiLowered(checks::SpfResultString(r)));
    return r;
}

std::string CS_ANTISPAM_SCRIPT::SPFResultString(int32_t result) {
    return checks::SpfResultString(result);
}

std::string CS_ANTISPAM_SCRIPT::DkimResults() {
    return session() ? DkimSummary(session()->Auth().dkim) : std::string();
}

std::string CS_ANTISPAM_SCRIPT::DmarcResult() {
    return session() ? DmarcSummary(session()->Auth().dmarc) : std::string();
}

std::string CS_ANTISPAM_SCRIPT::AddAuthenticationResults() {
    return session() ? session()->AddAuthenticationResults() : std::string();
}

int32_t CS_ANTISPAM_SCRIPT::GetErrorCountRFC() {
    return session() ? session()->ErrorCount() : 0;
}
void CS_ANTISPAM_SCRIPT::SetErrorCountRFC(int32_t count) {
    if (session()) session()->SetErrorCount(count);
}

int32_t CS_ANTISPAM_SCRIPT::IsLocalDomainByRCPT_TO(const char* address) {
    if (Missing(address) || !session()) return -1;
    return session()->Core().LocalDomains()->IsLocalDomainByRcptTo(address);
}

int32_t CS_ANTISPAM_SCRIPT::GetLocalDomainCount() {
    return session() ? static_cast<int32_t>(session()->Core().LocalDomains()->Count()) : 0;
}

int32_t CS_ANTISPAM_SCRIPT::IsWhiteBlackList(const char* recipients, const char* sender) {
    if (Missing(recipients) || Missing(sender) || !session()) return -1;
    return session()->Core().LocalDomains()->IsWhiteBlackList(recipients, sender);
}

int32_t CS_ANTISPAM_SCRIPT::IsSpamLover(const char* addresses) {
    if (Missing(addresses) || !session()) return 0;
    return session()->Core().LocalDomains()->IsSpamLover(addresses);
}

float CS_ANTISPAM_SCRIPT::RecalculatingScoreByUser(float score, float base, const char* recipients) {
    if (Missing(recipients) || !session()) return score;
    return session()->Core().LocalDomains()->RecalculatingScoreByUser(score, base, recipients);
}

int32_t CS_ANTISPAM_SCRIPT::GetSessionProperty() {
    return session() ? session()->SessionProperty() : 0;
}
void CS_ANTISPAM_SCRIPT::RegisterSessionProperty(int32_t bits) {
    if (session()) session()->RegisterSessionProperty(bits);
}

int32_t CS_ANTISPAM_SCRIPT::IsSpamTrap(const char* address) {
    return session() && !Missing(address) ? session()->Core().SpamTrap()->Contains(address) : 0;
}

std::string CS_ANTISPAM_SCRIPT::GetSpamTrapResponse() {
    return checks::CSpamTrap::Response();
}

// The cooperative network (client address, sender, HELO): without a connection nothing is
// reported and every score is neutral.
void CS_ANTISPAM_SCRIPT::BrumaCommunityAnnunce(const char* ip, const char* sender, const char* helo) {
    if (Core()) Core()->Community()->Announce(common::NullText(ip), common::NullText(sender), common::NullText(helo));
}
float CS_ANTISPAM_SCRIPT::BrumaCommunityQuery(const char* ip, const char* sender, const char* helo) {
    return Core() ? Core()->Community()->Query(common::NullText(ip), common::NullText(sender), common::NullText(helo))
                  : 0.0f;
}
std::string CS_ANTISPAM_SCRIPT::BrumaCommunityGetEnumStringFormScore(float score) {
    return Core() ? Core()->Community()->NameOfScore(score) : "NEUTRAL";
}

int32_t CS_ANTISPAM_SCRIPT::IsWhiteIpGreyList(const char* ip) {
    return session() && !Missing(ip) ? session()->Core().Greylist()->IsWhiteIp(ip, session()->Core().Dns()) : 0;
}

std::string CS_ANTISPAM_SCRIPT::PrepareTriplesGreyList(const char* recipients, const char* ip, const char* mail_from,
                                                       const char* substitute, const char* reverse) {
    const common::ClientPrefix prefix = session() ? session()->Core().Greylist()->Prefix() : common::ClientPrefix{};
    return checks::CGreylist::PrepareTriples(common::NullText(recipients), common::NullText(ip),
                                             common::NullText(mail_from), common::NullText(substitute),
                                             common::NullText(reverse), prefix);
}

int32_t CS_ANTISPAM_SCRIPT::PassGreyList(const char* key) {
    return session() && !Missing(key) ? session()->Core().Greylist()->Pass(key) : 0;
}

int32_t CS_ANTISPAM_SCRIPT::GetForgedCountGreyList(const char* key) {
    return session() && !Missing(key) ? session()->Core().Greylist()->GetForgedCount(key) : 0;
}

void CS_ANTISPAM_SCRIPT::ResetForgedCountGreyList(const char* key) {
    if (session() && !Missing(key)) session()->Core().Greylist()->ResetForgedCount(key);
}

void CS_ANTISPAM_SCRIPT::AddToGreyList(const char* key) {
    if (!session() || Missing(key)) return;
    session()->Core().Greylist()->Add(key);
    session()->Trace().Greylisted();
}

int32_t CS_ANTISPAM_SCRIPT::HoldWholeMessage(int32_t max_bytes) {
    return session() ? session()->HoldWholeMessage(max_bytes) : 0;
}

int32_t CS_ANTISPAM_SCRIPT::HoldMessage() {
    return session() ? session()->Hold() : 0;
}

void CS_ANTISPAM_SCRIPT::HistoryNote(const char* text) {
    if (session() && !Missing(text)) session()->Trace().Note(text);
}

int32_t CS_ANTISPAM_SCRIPT::BayesianCheck(const char* file) {
    if (!session()) return checks::kBayesNeutral;
    checks::CBayesWord words;
    if (Missing(file)) {
        words.Tokenize(session()->Mail());
    } else {
        // Read as a session holds a message, so that a quarantined or saved copy classifies as
        // it did live, and a huge file costs no more than a session's message.
        mail::CParseMail m;
        if (!checks::LoadMessageFile(platform::ResolveAppPath(file), m)) return checks::kBayesNeutral;
        words.Tokenize(m);
    }
    if (words.tokens.empty()) return checks::kBayesNeutral;
    return session()->Core().Bayes()->Classify(words.tokens);
}

float CS_ANTISPAM_SCRIPT::BayesFilterScore(const char* file) {
    filter_verdict_ = checks::kFilterUntrained;
    if (!session()) return -1.0f;
    checks::FilterResult r;
    if (Missing(file)) {
        r = session()->Core().BayesFilter()->ClassifyMessage(session()->HeldMessage());
    } else {
        mail::CParseMail m;
        if (!checks::LoadMessageFile(platform::ResolveAppPath(file), m)) return -1.0f;
        r = session()->Core().BayesFilter()->ClassifyMessage(m.Raw());
    }
    filter_verdict_ = r.verdict;
    session()->Core().CountMetric("morvane_filter_verdicts_total", "Statistical filter verdicts.", "verdict",
                                  checks::CBayesFilter::VerdictName(r.verdict));
    return r.verdict == checks::kFilterUntrained ? -1.0f : static_cast<float>(r.probability);
}

float CS_ANTISPAM_SCRIPT::BayesFilterPoints(float p) {
    CLauchAntispam* s = session();
    return s ? BayesPoints(p, SettingsOf(s->Config())) : 0.0f;
}

int32_t CS_ANTISPAM_SCRIPT::BayesFilterLearn(int32_t kind) {
    if (!session() || (kind != checks::kFilterSpam && kind != checks::kFilterHam)) return 0;
    using L = checks::CBayesFilter::Learned;
    const L l = session()->Core().BayesFilter()->Learn(session()->HeldMessage(), kind);
    return l == L::kLearned || l == L::kMoved ? 1 : 0;
}

void CS_ANTISPAM_SCRIPT::AddToBayesianQuarantine(const char* text1, const char* text2, int32_t kind,
                                                 script::Variable mail) {
    if (!session()) return;
    const mail::CParseMail* m = script::bind::From<mail::CS_ParseMail*>(mail);
    // A file written and flushed to disk: beside the session's event loop, not on it.
    platform::RunBlocking([&] {
        if (m) {
            session()->Core().Bayes()->Quarantine(*m, common::NullText(text1), common::NullText(text2), kind,
                                                  session()->Core().Statistics());
            return;
        }
        // The session's own message: stored as the client meant it, so a release sends it as it
        // came.
        session()->Core().Bayes()->Quarantine(session()->Mail(), common::NullText(text1), common::NullText(text2), kind,
                                              session()->Core().Statistics(), session()->HeldMessage());
    });
}

int32_t CS_ANTISPAM_SCRIPT::IsPhishing(script::Variable mail) {
    phishing_domain_.clear();
    if (!session()) return 0;
    CLauchAntispam& s = *session();
    const mail::CParseMail* m = script::bind::From<mail::CS_ParseMail*>(mail);
    if (!m) m = &s.Mail();
    // The sender check trusts mail from the imitated domain only when SPF passed for it.
    int32_t spf = checks::kSpfNeutral;
    if (!s.ClientIp().empty() && !s.MailFrom().empty() && !s.HeloHost().empty())
        spf = s.Core().Spf()->Query(s.ClientIp().c_str(), s.MailFrom().c_str(), s.HeloHost().c_str());
    const int32_t found = s.Core().Phishing()->Check(*m, &phishing_domain_, spf, s.MailFrom());
    s.Core().CountMetric("morvane_phishing_checks_total", "Phishing checks, by result (phishing, clean).", "result",
                         found != 0 ? "phishing" : "clean");
    return found;
}

std::string CS_ANTISPAM_SCRIPT::GetFakePhishingDomain() {
    return phishing_domain_;
}
float CS_ANTISPAM_SCRIPT::RegularExpressionCheck(script::Variable mail, script::Variable result) {
    if (!session()) return 0.0f;
    checks::CRulesResult* r = script::bind::From<checks::CRulesResult*>(result);
    if (!r) return 0.0f;
    const mail::CParseMail* m = script::bind::From<mail::CS_ParseMail*>(mail);
    if (!m) m = &session()->Mail();
    checks::CRules* rules = session()->Core().Rules();
    const float score = rules->Check(*m, r);
    // Live mail's matches feed the operator's hit counts; a script's own parsed mail does not.
    if (m == &session()->Mail()) {
        rules->CountHits(*r, static_cast<int64_t>(std::time(nullptr)));
        CMorvaneCore& core = session()->Core();
        for (const checks::CRulesResult::Entry& hit : r->entries)
            core.CountMetric("morvane_rule_hits_total", "Rule matches in live mail, by rule.", "rule", hit.name);
    }
    return score;
}

#define MORVANE_MAIL_TEXT(Name, Getter)                                \
    std::string CS_ANTISPAM_SCRIPT::Name() {                           \
        return session() ? session()->Mail().Getter() : std::string(); \
    }
MORVANE_MAIL_TEXT(GetEmailBody, Body)
MORVANE_MAIL_TEXT(GetEmailHeader, Header)
MORVANE_MAIL_TEXT(GetEmailSubject, Subject)
MORVANE_MAIL_TEXT(GetEmailMailFrom, From)
MORVANE_MAIL_TEXT(GetEmailMailTo, To)
MORVANE_MAIL_TEXT(GetEmailContentType, ContentType)
MORVANE_MAIL_TEXT(GetEmailRaw, Raw)
#undef MORVANE_MAIL_TEXT

int32_t CS_ANTISPAM_SCRIPT::GetEmailAttachmentCount() {
    return session() ? session()->Mail().GetAttachmentCount() : 0;
}
int32_t CS_ANTISPAM_SCRIPT::GetEmailLen() {
    return session() ? session()->Mail().GetLen() : 0;
}

std::string CS_ANTISPAM_SCRIPT::GetEmailAttachmentBuffer(int32_t index) {
    return session() ? session()->Mail().GetAttachmentBuffer(index) : std::string();
}

std::string CS_ANTISPAM_SCRIPT::GetEmailAttachmentContentType(int32_t index) {
    return session() ? session()->Mail().GetAttachmentContentType(index) : std::string();
}

void CS_ANTISPAM_SCRIPT::WriteHeaderMessage(const char* line) {
    if (session() && !Missing(line)) session()->WriteHeaderMessage(line);
}

void CS_ANTISPAM_SCRIPT::ModifyHeaderSubject(const char* tag) {
    if (session() && tag) session()->ModifyHeaderSubject(tag);
}

namespace {

using AntispamClass = script::ExternClass<CS_ANTISPAM_SCRIPT, CS_PROXY_ANTISPAM_INSTANCE*>;

std::unique_ptr<AntispamClass> BuildAntispamClass() {
    // Named here, so declarations read "CS_ANTISPAM_SCRIPT(CS_PROXY_ANTISPAM_INSTANCE)" wherever
    // the class is registered (morvane-script --list-natives included).
    script::ClassIdOf<CS_PROXY_ANTISPAM_INSTANCE>::SetName("CS_PROXY_ANTISPAM_INSTANCE");
    using S = CS_ANTISPAM_SCRIPT;
    auto c = std::make_unique<AntispamClass>("CS_ANTISPAM_SCRIPT");
    script::AddHostBuiltins(*c);
    c->Method("Print", &S::Print)
        .Method("WriteLog", &S::WriteLog)
        .Method("GetDomain", &S::GetDomain)
        .Method("RegisterGlobalVariable", &S::RegisterGlobalVariable)
        .Method("SetGlobalVariable", &S::SetGlobalVariable);
    AddDnsFunctions(*c);
    c->Method("GetClientIP", &S::GetClientIP)
        .Method("GetClientReverseDns", &S::GetClientReverseDns)
        .Method("IsClientTLS", &S::IsClientTLS)
        .Method("GetClientTLSInfo", &S::GetClientTLSInfo)
        .Method("GetMTAIP", &S::GetMTAIP)
        .Method("IsIpInferno", &S::IsIpInferno)
        .Method("AddIpInferno", &S::AddIpInferno)
        .Method("IsIpWhiteList", &S::IsIpWhiteList)
        .Method("IsIpMaxSession", &S::IsIpMaxSession)
        .Method("RegisterSessionIp", &S::RegisterSessionIp)
        .Method("ConnectToDefaultMTA", &S::ConnectToDefaultMTA)
        .Method("ConnectToMTA", &S::ConnectToMTA)
        .Method("GetNameServerMTA", &S::GetNameServerMTA)
        .Method("GetReplaceNameServerMTA", &S::GetReplaceNameServerMTA)
        .Method("InjectionExtensionMTA", &S::InjectionExtensionMTA)
        .Method("DropExtensionMTA", &S::DropExtensionMTA)
        .Method("IsRelayIp", &S::IsRelayIp)
        .Method("IsLanIp", &S::IsLanIp)
        .Method("ClientIsRelay", &S::ClientIsRelay)
        .Method("SendToMTA", &S::SendToMTA)
        .Method("SendToClient", &S::SendToClient)
        .Method("CloseClientConnection", &S::CloseClientConnection)
        .Method("CloseMTAConnection", &S::CloseMTAConnection)
        .Method("CloseAllConnection", &S::CloseAllConnection)
        .Method("DropBufferToMTA", &S::DropBufferToMTA)
        .Method("DropBufferToClient", &S::DropBufferToClient)
        .Method("CloseClientConnAfterSendingQueue", &S::CloseClientConnAfterSendingQueue)
        .Method("AddALWL", &S::AddALWL)
        .Method("IsALWL", &S::IsALWL)
        .Method("ViewALWLDB", &S::ViewALWLDB, ",100,0,0,0")
        .Method("StatisticValue", &S::StatisticValue)
        .Method("IsForgetHelo", &S::IsForgetHelo)
        .Method("SPFQuery", &S::SPFQuery)
        .Method("SPFResultString", &S::SPFResultString)
        .Method("DkimResults", &S::DkimResults)
        .Method("DmarcResult", &S::DmarcResult)
        .Method("AddAuthenticationResults", &S::AddAuthenticationResults)
        .Method("GetErrorCountRFC", &S::GetErrorCountRFC)
        .Method("SetErrorCountRFC", &S::SetErrorCountRFC)
        .Method("IsLocalDomainByRCPT_TO", &S::IsLocalDomainByRCPT_TO)
        .Method("GetLocalDomainCount", &S::GetLocalDomainCount)
        .Method("IsWhiteBlackList", &S::IsWhiteBlackList)
        .Method("IsSpamLover", &S::IsSpamLover)
        .Method("GetSessionProperty", &S::GetSessionProperty)
        .Method("RegisterSessionProperty", &S::RegisterSessionProperty)
        .Method("RecalculatingScoreByUser", &S::RecalculatingScoreByUser)
        .Method("IsSpamTrap", &S::IsSpamTrap)
        .Method("GetSpamTrapResponse", &S::GetSpamTrapResponse)
        .Method("BrumaCommunityAnnunce", &S::BrumaCommunityAnnunce)
        .Method("BrumaCommunityQuery", &S::BrumaCommunityQuery)
        .Method("BrumaCommunityGetEnumStringFormScore", &S::BrumaCommunityGetEnumStringFormScore)
        .Method("IsWhiteIpGreyList", &S::IsWhiteIpGreyList)
        .Method("PrepareTriplesGreyList", &S::PrepareTriplesGreyList)
        .Method("PassGreyList", &S::PassGreyList)
        .Method("GetForgedCountGreyList", &S::GetForgedCountGreyList)
        .Method("ResetForgedCountGreyList", &S::ResetForgedCountGreyList)
        .Method("AddToGreyList", &S::AddToGreyList)
        .Method("HistoryNote", &S::HistoryNote)
        .Method("HoldWholeMessage", &S::HoldWholeMessage, "0")
        .Method("HoldMessage", &S::HoldMessage)
        .Method("ViewGreyListDB", &S::ViewGreyListDB, ",100,0,0,0")
        .Method("BayesianCheck", &S::BayesianCheck)
        .Method("BayesFilterScore", &S::BayesFilterScore)
        .Method("BayesFilterVerdict", &S::BayesFilterVerdict)
        .Method("BayesFilterPoints", &S::BayesFilterPoints)
        .Method("BayesFilterLearn", &S::BayesFilterLearn)
        .Method("AddToBayesianQuarantine", &S::AddToBayesianQuarantine, ",,,0")
        .Method("IsPhishing", &S::IsPhishing)
        .Method("GetFakePhishingDomain", &S::GetFakePhishingDomain)
        .Method("GetEmailBody", &S::GetEmailBody)
        .Method("GetEmailHeader", &S::GetEmailHeader)
        .Method("GetEmailSubject", &S::GetEmailSubject)
        .Method("GetEmailMailFrom", &S::GetEmailMailFrom)
        .Method("GetEmailMailTo", &S::GetEmailMailTo)
        .Method("GetEmailContentType", &S::GetEmailContentType)
        .Method("GetEmailRaw", &S::GetEmailRaw)
        .Method("GetEmailAttachmentCount", &S::GetEmailAttachmentCount)
        .Method("GetEmailLen", &S::GetEmailLen)
        .Method("GetEmailAttachmentBuffer", &S::GetEmailAttachmentBuffer)
        .Method("GetEmailAttachmentContentType", &S::GetEmailAttachmentContentType)
        .Method("RegularExpressionCheck", &S::RegularExpressionCheck, "0,0")
        .Method("GetPersistentOBJ", &S::GetPersistentOBJ)
        .Method("CreatePersistentOBJ", &S::CreatePersistentOBJ)
        .Method("DeletePersistentOBJ", &S::DeletePersistentOBJ)
        .Method("WriteHeaderMessage", &S::WriteHeaderMessage)
        .Method("ModifyHeaderSubject", &S::ModifyHeaderSubject);
    return c;
}

}  // namespace

void RegisterAntispamClass(script::Interpreter& in) {
    // Every session's interpreter registers the class: its method table is built once and
    // shared, not held by each of thousands of sessions.
    static const std::unique_ptr<AntispamClass> prototype = BuildAntispamClass();
    in.AddExternClass("CS_ANTISPAM_SCRIPT", prototype->Clone());
}

}  // namespace core
