#include "web/WebScript.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <thread>
#include <vector>

#include "admin/AdminProtocol.h"
#include "checks/Bayes.h"
#include "checks/Statistics.h"
#include "common/Clock.h"
#include "common/Md5.h"
#include "common/NullText.h"
#include "common/String.h"
#include "common/TextSearch.h"
#include "config/KernelConfig.h"
#include "core/MorvaneCore.h"
#include "core/MtaDelivery.h"
#include "cron/CronScheduler.h"
#include "mail/ParseMail.h"
#include "platform/KFile.h"
#include "platform/PasswordHash.h"
#include "script/Bind.h"
#include "script/Codecs.h"
#include "script/Imports.h"

// Complete types of what the shared functions return.
#include "checks/Rules.h"
#include "store/DB_RAM.h"

namespace web {

namespace {

constexpr const char* kSrc = "ServerWEB";

bool Missing(const char* s) {
    return !s || !*s;
}

std::string Lookup(const VarMap& vars, const char* name) {
    if (!name) return {};
    auto it = vars.find(name);
    return it == vars.end() ? std::string() : it->second;
}

// A quarantine id is the message's MD5: 32 hex digits, nothing else reaches a path.
bool ValidId(const char* id) {
    if (!id || std::strlen(id) != 32) return false;
    for (const char* p = id; *p; ++p)
        if (!std::isxdigit(static_cast<unsigned char>(*p))) return false;
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CWebSessions

void CWebSessions::Start(const std::string& id, int64_t expiry) {
    common::MutexLock lock(mu_);
    auto it = sessions_.find(id);
    if (it == sessions_.end() && sessions_.size() >= kMaxSessions) {
        auto first = std::min_element(sessions_.begin(), sessions_.end(),
                                      [](const auto& a, const auto& b) { return a.second.expiry < b.second.expiry; });
        sessions_.erase(first);
    }
    Session& s = sessions_[id];
    s.expiry = expiry;
    s.vars.clear();
}

void CWebSessions::Delete(const std::string& id) {
    common::MutexLock lock(mu_);
    sessions_.erase(id);
}

std::string CWebSessions::Var(const std::string& id, const std::string& name) const {
    common::MutexLock lock(mu_);
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return {};
    auto v = it->second.vars.find(name);
    return v == it->second.vars.end() ? std::string() : v->second;
}

void CWebSessions::Write(const std::string& id, const std::string& name, const std::string& value) {
    common::MutexLock lock(mu_);
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return;
    auto& vars = it->second.vars;
    if (vars.size() >= kMaxVarsPerSession && !vars.count(name)) return;
    vars[name] = value;
}

size_t CWebSessions::Sweep(int64_t now) {
    common::MutexLock lock(mu_);
    size_t gone = 0;
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (it->second.expiry < now) {
            it = sessions_.erase(it);
            ++gone;
        } else {
            ++it;
        }
    }
    return gone;
}

size_t CWebSessions::Size() const {
    common::MutexLock lock(mu_);
    return sessions_.size();
}

// ---------------------------------------------------------------------------------------------
// CLoginThrottle

int64_t CLoginThrottle::RetryAfter(const std::string& ip, int64_t now) const {
    common::MutexLock lock(mu_);
    auto it = entries_.find(ip);
    if (it == entries_.end() || it->second.blocked_until <= now) return 0;
    return it->second.blocked_until - now;
}

int64_t CLoginThrottle::Failure(const std::string& ip, int64_t now) {
    common::MutexLock lock(mu_);
    auto it = entries_.find(ip);
    if (it == entries_.end()) {
        if (entries_.size() >= kMaxAddresses) {
            // Forget an address whose refusal is over and whose window is oldest.
            auto stalest = std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
                return std::max(a.second.first, a.second.blocked_until) <
                       std::max(b.second.first, b.second.blocked_until);
            });
            entries_.erase(stalest);
        }
        it = entries_.emplace(ip, Entry{}).first;
    }
    Entry& e = it->second;
    if (e.block == 0 && now - e.first > kWindowSeconds) {
        e.failures = 0;
        e.first = now;
    }
    // After a refusal has run out, a quiet window forgives the address.
    if (e.block > 0 && e.blocked_until <= now && now - e.blocked_until > kWindowSeconds) {
        e = Entry{};
        e.first = now;
    }
    ++e.failures;
    if (e.failures < kFreeFailures) return 0;
    e.block = e.block == 0 ? kFirstBlockSeconds : std::min(e.block * 2, kMaxBlockSeconds);
    e.blocked_until = now + e.block;
    return e.block;
}

void CLoginThrottle::Success(const std::string& ip) {
    common::MutexLock lock(mu_);
    entries_.erase(ip);
}

// ---------------------------------------------------------------------------------------------
// CS_WEB_SCRIPT

CS_WEB_SCRIPT::CS_WEB_SCRIPT(CS_WEB_INSTANCE* instance)
    : cron::KernelFunctions(instance ? instance->interpreter : nullptr, instance ? instance->kernel : nullptr, nullptr),
      instance_(instance) {}

const HttpRequest* CS_WEB_SCRIPT::Request() const {
    return instance_ && instance_->page ? instance_->page->request : nullptr;
}

std::string CS_WEB_SCRIPT::CGI_GET_VAR(const char* name) {
    return Request() ? Lookup(Request()->get, name) : std::string();
}

std::string CS_WEB_SCRIPT::CGI_POST_VAR(const char* name) {
    return Request() ? Lookup(Request()->post, name) : std::string();
}

std::string CS_WEB_SCRIPT::CGI_COOKIE_VAR(const char* name) {
    return Request() ? Lookup(Request()->cookies, name) : std::string();
}

void CS_WEB_SCRIPT::CGI_TO_ARRAY(script::CS_Array* out, const char* which) {
    if (!out || !which || !Request()) return;
    std::string w = common::AsciiUppered(which);
    const VarMap* vars = w == "GET"       ? &Request()->get
                         : w == "POST"    ? &Request()->post
                         : w == "COOKIES" ? &Request()->cookies
                                          : nullptr;
    if (!vars) return;
    for (const auto& [k, v] : *vars) out->Set(k, v);
}

std::string CS_WEB_SCRIPT::GETENV(const char* name) {
    if (!name || !instance_ || !instance_->page) return {};
    const WebPage& p = *instance_->page;
    const std::string n = name;
    if (n == "REMOTE_ADDR") return p.client_ip;
    if (n == "DOCUMENT_ROOT") return p.root;
    if (!p.request) return {};
    if (n == "HTTP_ACCEPT_LANGUAGE") return p.request->accept_language;
    if (n == "HTTP_USER_AGENT") return p.request->user_agent;
    if (n == "HTTP_HOST") return p.request->host;
    if (n == "REQUEST_METHOD") return p.request->method;
    return {};
}

void CS_WEB_SCRIPT::echo(const char* text) {
    if (text && instance_ && instance_->page) instance_->page->output += text;
}

std::string CS_WEB_SCRIPT::includeHTML(const char* file, int32_t output) {
    if (Missing(file) || !instance_ || !instance_->page) return {};
    const std::string path = ResolveUnderRoot(instance_->page->root, file);
    if (path.empty()) {
        WriteLog(1, ("includeHTML: \"" + std::string(file) + "\" is outside the web root, not read").c_str(), "WEB");
        return {};
    }
    const int64_t size = platform::FileSize(path);
    std::string text;
    if (size < 0 || size >= kMaxFileBytes || !platform::IsRegularFile(path) || !platform::ReadWholeFile(path, text))
        return {};
    if (output == 1) {
        instance_->page->output += text;
        return {};
    }
    return text;
}

void CS_WEB_SCRIPT::SetCookie(const char* name, const char* value, int32_t expires, const char* path,
                              const char* domain, int32_t /*flag*/) {
    if (!name || !instance_ || !instance_->page) return;
    using script::codec::URLEncode;
    std::string line = "Set-Cookie: " + URLEncode(name) + "=" + URLEncode(common::NullText(value)) + ";";
    line += " path=" + (path ? URLEncode(path) : std::string("/")) + ";";
    if (domain) line += " domain=" + URLEncode(domain) + ";";
    line += " expires=" + DateTimeFormat("%a, %d %b %Y %H:%M:%S GMT", expires < 1 ? 0 : expires) + "\r\n";
    instance_->page->extra_header += line;
}

void CS_WEB_SCRIPT::HeaderOption(const char* text) {
    if (instance_ && instance_->page) instance_->page->extra_header = common::NullText(text);
}

void CS_WEB_SCRIPT::HeaderRedirect(const char* url) {
    if (instance_ && instance_->page) instance_->page->redirect = common::NullText(url);
}

void CS_WEB_SCRIPT::HeaderContentType(const char* type) {
    if (instance_ && instance_->page) instance_->page->content_type = common::NullText(type);
}

std::string CS_WEB_SCRIPT::MD5File(const char* path, int32_t chunk) {
    if (Missing(path) || !instance_ || !instance_->page) return {};
    const std::string resolved = ResolveUnderRoot(instance_->page->root, path);
    if (resolved.empty()) return {};
    return HostBuiltins::MD5File(resolved.c_str(), chunk);
}

void CS_WEB_SCRIPT::WriteLog(int32_t level, const char* message, const char* type) {
    if (!instance_ || !message) return;
    LogScriptLine(instance_->log, instance_->script_name, level, message, type ? type : "WEB SCRIPT");
}

int32_t CS_WEB_SCRIPT::CheckSuperuser(const char* user, const char* password) {
    config::CKernelConfig* c = Kernel() ? Kernel()->config : nullptr;
    if (!c || !user || !password) return 0;
    WebPage* page = instance_ ? instance_->page : nullptr;
    const std::string ip = page ? page->client_ip : std::string();
    CLoginThrottle* throttle = page ? page->throttle : nullptr;
    const int64_t now = common::SteadySeconds();  // as the server asks the throttle
    if (throttle && throttle->RetryAfter(ip, now) > 0) return 0;
    // Read from the file image, under its lock: a reload may rewrite the fields meanwhile.
    std::string stored = c->GetString("READMIN", "password", "").str();
    if (stored.empty() || stored == common::Md5Hex("kelpo")) return -1;
    const std::string superuser = c->GetString("READMIN", "superuser", "root").str();
    // Both checked in full, whichever differs, so the time says nothing of which.
    const bool user_ok = admin::DigestMatches(common::Md5Hex(user), common::Md5Hex(superuser));
    bool old_form = false;
    const bool pass_ok = platform::VerifyPassword(password, stored, &old_form);
    if (user_ok && pass_ok && !superuser.empty()) {
        if (throttle) throttle->Success(ip);
        if (old_form) {
            const std::string why = c->SetImageValue("READMIN", "password", platform::HashPassword(password));
            if (why.empty() && c->SaveConfig())
                WriteLog(1, "Web GUI: the superuser's password is now stored salted (PBKDF2-HMAC-SHA256)", "WEB");
            else
                WriteLog(1, ("Web GUI: cannot store the superuser's password anew: " + why).c_str(), "WEB");
        }
        return 1;
    }
    const int64_t blocked = throttle ? throttle->Failure(ip, now) : 0;
    std::string line = "Web GUI login refused for user \"" + std::string(user).substr(0, 64) + "\" from " + ip;
    if (blocked > 0)
        line += common::FormatText("; further logins from it are refused for %lld s", static_cast<long long>(blocked));
    WriteLog(1, line.c_str(), "WEB");
    return 0;
}

std::string CS_WEB_SCRIPT::NewSessionId() {
    std::random_device rd;
    std::string id;
    char hex[9];
    for (int i = 0; i < 4; ++i) {
        std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(rd()));
        id += hex;
    }
    return id;
}

int32_t CS_WEB_SCRIPT::ViewQuarantine(script::CS_Array* out, int32_t kind, const char* search, int32_t start,
                                      int32_t count) {
    checks::CBayes* bayes = Core() ? Core()->Bayes() : nullptr;
    store::CDB_RAM* index = bayes ? bayes->Index(kind) : nullptr;
    if (!out || !index) return 0;
    const std::string needle = common::NullText(search);
    std::vector<store::DbRecord> hits;
    index->ForEach([&](const store::DbRecord& r) {
        if (r.deleted) return;
        if (common::ContainsNoCase(r.data, needle) || common::ContainsNoCase(r.key, needle)) hits.push_back(r);
    });
    std::stable_sort(hits.begin(), hits.end(),
                     [](const store::DbRecord& a, const store::DbRecord& b) { return a.timestamp > b.timestamp; });
    const size_t from = static_cast<size_t>(std::max(0, start));
    const size_t limit = static_cast<size_t>(std::clamp(count, 0, 1000));
    for (size_t i = from; i < hits.size() && i < from + limit; ++i) {
        const store::DbRecord& r = hits[i];
        std::string fields[3];
        size_t at = 0;
        for (int f = 0; f < 3; ++f) {
            size_t sep = f < 2 ? r.data.find('\x02', at) : std::string::npos;
            fields[f] = r.data.substr(at, sep == std::string::npos ? std::string::npos : sep - at);
            if (sep == std::string::npos) break;
            at = sep + 1;
        }
        std::string row = DateTimeFormat("%Y-%m-%d %H:%M:%S", r.timestamp);
        for (const std::string& f : fields) {
            std::string clean = f;
            std::replace(clean.begin(), clean.end(), '\t', ' ');
            row += "\t" + clean;
        }
        out->Set(r.key, row);
    }
    return static_cast<int32_t>(hits.size());
}

std::string CS_WEB_SCRIPT::QuarantineSource(int32_t kind, const char* id) {
    checks::CBayes* bayes = Core() ? Core()->Bayes() : nullptr;
    if (!bayes || !ValidId(id) || kind < 1 || kind > 4) return {};
    std::string text;
    const std::string path = bayes->Folder(kind) + "/" + id + ".eml";
    if (platform::FileSize(path) < 0 || !platform::ReadWholeFile(path, text)) return {};
    if (text.size() > kMaxShownBytes) text.resize(kMaxShownBytes);
    return text;
}

std::string CS_WEB_SCRIPT::ReleaseQuarantine(int32_t kind, const char* id) {
    checks::CBayes* bayes = Core() ? Core()->Bayes() : nullptr;
    config::CKernelConfig* c = Kernel() ? Kernel()->config : nullptr;
    if (!bayes || !c) return "no kernel";
    if (!ValidId(id) || kind < 1 || kind > 4) return "no such message";
    store::CDB_RAM* index = bayes->Index(kind);
    std::string data;
    if (!index || !index->GetData(id, &data)) return "no such message";
    std::string message;
    const std::string path = bayes->Folder(kind) + "/" + id + ".eml";
    if (!platform::ReadWholeFile(path, message) || message.empty()) return "the message file is missing";
    if (message.size() >= mail::kAnalysedBytes)
        return "only the first " + std::to_string(mail::kAnalysedBytes) +
               " bytes of this message were kept; releasing them would deliver it cut short";
    core::Envelope env = core::EnvelopeOf(data);
    if (env.recipients.empty()) return "the record names no recipient";
    std::string error = core::SendToMta(c->GetString("CONFIG", "smtp_server1", "localhost").str(),
                                        c->GetInt("CONFIG", "smtp_port1", 225),
                                        c->GetString("CONFIG", "myname", "").str(), env, message);
    WriteLog(error.empty() ? 2 : 1,
             ("Quarantine release of " + std::string(id) + " to " + std::to_string(env.recipients.size()) +
              " recipient(s): " + (error.empty() ? std::string("delivered to the MTA") : error))
                 .c_str(),
             "WEB");
    return error;
}

int32_t CS_WEB_SCRIPT::LearnQuarantine(int32_t kind, const char* id, int32_t as) {
    checks::CBayes* bayes = Core() ? Core()->Bayes() : nullptr;
    if (!bayes || !ValidId(id) || kind < 1 || kind > 4 || (as != 1 && as != 2)) return -1;
    std::string how;
    const int32_t r = LearnFile(bayes->Folder(kind) + "/" + id + ".eml", as, &how);
    if (r >= 0)
        WriteLog(2,
                 ("Learned quarantined message " + std::string(id) + " as " + (as == 1 ? "spam" : "ham") + how).c_str(),
                 "WEB");
    return r;
}

int32_t CS_WEB_SCRIPT::GetStatisticsDay(script::CS_Array* out, const char* day) {
    if (!out || !Kernel() || Missing(day)) return 0;
    std::string d = day;
    // "YYYY-MM-DD" only: the name becomes a path.
    if (d.size() != 10 || d[4] != '-' || d[7] != '-') return 0;
    for (size_t i = 0; i < d.size(); ++i)
        if (i != 4 && i != 7 && !std::isdigit(static_cast<unsigned char>(d[i]))) return 0;
    std::string bytes;
    if (!platform::ReadWholeFile(Kernel()->app_dir + "/db/DAY_" + d + ".stc", bytes)) return 0;
    checks::StatFile f = checks::ParseStats(bytes);
    for (const checks::StatCounter& s : f.counters) out->Set(s.name, common::FormatText("%.3f", s.value));
    return 1;
}

std::string CS_WEB_SCRIPT::DayName(int32_t days_back) {
    std::string name = checks::CStatitiche_Day::DayName(static_cast<int64_t>(std::time(nullptr)) -
                                                        static_cast<int64_t>(days_back) * 86400);
    return name.substr(0, 10);
}

std::string CS_WEB_SCRIPT::HtmlEscape(const char* text) {
    return text ? EscapeHtml(text) : std::string();
}

std::string CS_WEB_SCRIPT::GetAppDir() {
    return Kernel() ? Kernel()->app_dir : std::string();
}

void RegisterWebHostClass(script::Interpreter& in, CWebSessions* sessions) {
    script::ClassIdOf<CS_WEB_INSTANCE>::SetName("CS_WEB_INSTANCE");
    using S = CS_WEB_SCRIPT;
    auto host = std::make_unique<script::ExternClass<S, CS_WEB_INSTANCE*>>("CS_WEB_SCRIPT");
    host->Method("CGI_GET_VAR", &S::CGI_GET_VAR)
        .Method("CGI_POST_VAR", &S::CGI_POST_VAR)
        .Method("CGI_COOKIE_VAR", &S::CGI_COOKIE_VAR)
        .Method("CGI_TO_ARRAY", &S::CGI_TO_ARRAY)
        .Method("GETENV", &S::GETENV)
        .Method("echo", &S::echo)
        .Method("Echo", &S::echo)
        .Method("includeHTML", &S::includeHTML, ",1")
        .Method("SetCookie", &S::SetCookie, ",0,0,0,0,0")
        .Method("HeaderOption", &S::HeaderOption)
        .Method("HeaderRedirect", &S::HeaderRedirect)
        .Method("HeaderContentType", &S::HeaderContentType);
    script::AddHostBuiltins(*host);
    core::AddDnsFunctions(*host);
    host->Method("WriteLog", &S::WriteLog, ",,0");
    cron::AddKernelFunctions(*host);
    host->Method("CheckSuperuser", &S::CheckSuperuser)
        .Method("NewSessionId", &S::NewSessionId)
        .Method("ViewQuarantine", &S::ViewQuarantine, ",,,0,50")
        .Method("QuarantineSource", &S::QuarantineSource)
        .Method("ReleaseQuarantine", &S::ReleaseQuarantine)
        .Method("LearnQuarantine", &S::LearnQuarantine)
        .Method("GetStatisticsDay", &S::GetStatisticsDay)
        .Method("DayName", &S::DayName)
        .Method("HtmlEscape", &S::HtmlEscape)
        .Method("GetAppDir", &S::GetAppDir);
    in.AddExternClass("CS_WEB_SCRIPT", std::move(host));

    using script::ExternFunction;
    in.AddExternFunction("CGI_SESSION_START", std::make_unique<ExternFunction<void, const char*, int32_t>>(
                                                  [sessions](const char* id, int32_t expiry) {
                                                      if (id && sessions) sessions->Start(id, expiry);
                                                  }));
    in.AddExternFunction("CGI_SESSION_DELETE",
                         std::make_unique<ExternFunction<void, const char*>>([sessions](const char* id) {
                             if (id && sessions) sessions->Delete(id);
                         }));
    in.AddExternFunction("CGI_SESSION_VAR", std::make_unique<ExternFunction<std::string, const char*, const char*>>(
                                                [sessions](const char* id, const char* name) {
                                                    if (!id || !name || !sessions) return std::string();
                                                    return sessions->Var(id, name);
                                                }));
    in.AddExternFunction("CGI_SESSION_WRITE_VAR",
                         std::make_unique<ExternFunction<void, const char*, const char*, const char*>>(
                             [sessions](const char* id, const char* name, const char* value) {
                                 if (id && name && value && sessions) sessions->Write(id, name, value);
                             }));
}

// ---------------------------------------------------------------------------------------------
// Page runs

std::string PageResponse(const WebPage& page, bool keep_alive) {
    const bool moved = !page.redirect.empty();
    std::string h = StatusLine(moved ? 302 : 200) + "\r\n";
    h += CommonHeaders();
    h += "Accept-Ranges: bytes\r\n";
    h += "Content-Length: " + std::to_string(moved ? 0 : page.output.size()) + "\r\n";
    h += std::string("Connection: ") + (keep_alive ? "Keep-Alive" : "close") + "\r\n";
    h += "Cache-Control: no-cache, must-revalidate\r\n";
    h += "Expires: Sat, 26 Jul 1997 05:00:00 GMT\r\n";
    h += page.extra_header;
    h += moved ? "Location: " + page.redirect + "\r\n\r\n" : "Content-Type: " + page.content_type + "\r\n\r\n";
    return h + page.output;
}

PageAnswer RunPage(const std::string& path, const cron::KernelAccess* kernel, logging::CLogQueue* log,
                   CWebSessions* sessions, WebPage* page, script::AbortHandle* running) {
    const bool keep_alive = page->request && page->request->keep_alive;
    auto in = std::make_unique<script::Interpreter>();
    CS_WEB_INSTANCE instance;
    instance.interpreter = in.get();
    instance.kernel = kernel;
    instance.log = log;
    instance.page = page;
    instance.sessions = sessions;
    size_t slash = path.rfind('/');
    instance.script_name = slash == std::string::npos ? path : path.substr(slash + 1);
    CS_WEB_INSTANCE* self = &instance;
    script::ClassIdOf<CS_WEB_INSTANCE>::SetName("CS_WEB_INSTANCE");
    in->AddExternVariable("$_this", std::make_unique<script::ExternVariable<CS_WEB_INSTANCE>>(&self));
    RegisterWebHostClass(*in, sessions);
    std::optional<std::string> text = in->Preprocess(path);
    if (!text) {
        if (log)
            log->AddLog(1, "WEB Script Error: parse return data null. [ script syntax error ]", kSrc,
                        "CServerWEB::CServerWEB", "WEB", 0);
        return {ErrorPage(keep_alive), 500};
    }
    script::RegisterImports(*in);
    if (running) running->Set(in.get());
    bool ok = in->LoadByRam(*text);
    if (ok && in->HasFunction("html")) {
        in->Run("html");
        ok = !in->HasError();
    }
    if (running) running->Clear();
    if (!ok) {
        std::string error = in->CollectDiagnostics();
        // The failing line and the paths are for the operator's log, not for whoever asked.
        if (log) log->AddLog(1, "WEB Script Error: " + error, kSrc, "CServerWEB::CServerWEB", "WEB", 0);
        return {ErrorPage(keep_alive), 500};
    }
    PageAnswer answer;
    answer.status = page->redirect.empty() ? 200 : 302;
    answer.response = PageResponse(*page, keep_alive);
    return answer;
}

}  // namespace web
