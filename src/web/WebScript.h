#pragma once
// The web script host: a ".htmcc" page is compiled with CS_WEB_SCRIPT bound and its html()
// called; what it echoes is the page. Pages start with
//     CS_WEB_SCRIPT w = new CS_WEB_SCRIPT($_this);
// and reach the request (CGI_*), the answer's headers, the server-wide session store, the
// built-ins, and everything cron and admin scripts reach of the kernel (cron::KernelFunctions),
// plus what the shipped GUI needs: the superuser check, session ids, the quarantine and the
// daily statistics files. File functions are held to the web root: a page's argument may come
// from a request.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "common/ThreadSafety.h"
#include "cron/KernelFunctions.h"
#include "log/LogQueue.h"
#include "script/AbortHandle.h"
#include "script/Interpreter.h"
#include "web/HttpRequest.h"

namespace web {

// The session store every page run shares. Sessions are kept in memory only.
class CWebSessions {
public:
    // Starting more sessions than this drops the one that expires first, so pages that start
    // a session per request cannot grow the store without bound.
    static constexpr size_t kMaxSessions = 10000;
    static constexpr size_t kMaxVarsPerSession = 256;

    void Start(const std::string& id, int64_t expiry);
    void Delete(const std::string& id);
    // "" when the session or the variable is missing.
    std::string Var(const std::string& id, const std::string& name) const;
    void Write(const std::string& id, const std::string& name, const std::string& value);
    // Removes every session whose expiry is earlier than `now`; how many went.
    size_t Sweep(int64_t now);
    size_t Size() const;

private:
    struct Session {
        int64_t expiry = 0;
        std::map<std::string, std::string> vars;
    };
    mutable common::Mutex mu_;
    std::map<std::string, Session> sessions_ GUARDED_BY(mu_);
};

// Failed logins per client address. After kFreeFailures failures within kWindowSeconds an
// address is refused for kFirstBlockSeconds, doubling at each further failure up to
// kMaxBlockSeconds; a success clears the address. Refusals are answered at once, so guesses
// never hold a web worker, and one address's failures never lock out another's.
class CLoginThrottle {
public:
    static constexpr int kFreeFailures = 5;
    static constexpr int64_t kWindowSeconds = 300;
    static constexpr int64_t kFirstBlockSeconds = 60;
    static constexpr int64_t kMaxBlockSeconds = 900;
    // Addresses remembered at most; past it the stalest entries go.
    static constexpr size_t kMaxAddresses = 10000;

    // Seconds `ip` must still wait, 0 when it may try.
    int64_t RetryAfter(const std::string& ip, int64_t now) const;
    // Counts a failure; the seconds the address is now refused for (0 while under the limit).
    int64_t Failure(const std::string& ip, int64_t now);
    void Success(const std::string& ip);

private:
    struct Entry {
        int failures = 0;   // within the window, or since the first refusal
        int64_t first = 0;  // the window's start
        int64_t blocked_until = 0;
        int64_t block = 0;  // the last refusal's length
    };
    mutable common::Mutex mu_;
    std::map<std::string, Entry> entries_ GUARDED_BY(mu_);
};

// One page run's request and answer.
struct WebPage {
    CLoginThrottle* throttle = nullptr;
    const HttpRequest* request = nullptr;
    std::string client_ip;
    std::string root;  // the web root, as configured
    std::string output;
    std::string extra_header;
    std::string redirect;
    std::string content_type = "text/html";
};

struct CS_WEB_INSTANCE {
    script::Interpreter* interpreter = nullptr;
    const cron::KernelAccess* kernel = nullptr;
    logging::CLogQueue* log = nullptr;
    WebPage* page = nullptr;
    CWebSessions* sessions = nullptr;
    std::string script_name;
};

class CS_WEB_SCRIPT : public cron::KernelFunctions {
public:
    // A quarantined message is shown up to this size.
    static constexpr size_t kMaxShownBytes = 262144;

    explicit CS_WEB_SCRIPT(CS_WEB_INSTANCE* instance);

    std::string CGI_GET_VAR(const char* name);
    std::string CGI_POST_VAR(const char* name);
    std::string CGI_COOKIE_VAR(const char* name);
    void CGI_TO_ARRAY(script::CS_Array* out, const char* which);
    std::string GETENV(const char* name);
    void echo(const char* text);
    std::string includeHTML(const char* file, int32_t output);
    void SetCookie(const char* name, const char* value, int32_t expires, const char* path, const char* domain,
                   int32_t flag);
    void HeaderOption(const char* text);
    void HeaderRedirect(const char* url);
    void HeaderContentType(const char* type);
    std::string MD5File(const char* path, int32_t chunk) override;
    void WriteLog(int32_t level, const char* message, const char* type);

    // 1 when user and password are the superuser's; 0 when not (logged and counted against
    // the client's address; an address over the limit is refused without a check); -1 while
    // the stored password is the shipped default, which never logs in here. A password still
    // stored as an old MD5 digest is stored salted and slow at its first successful login.
    int32_t CheckSuperuser(const char* user, const char* password);
    // 128 random bits as 32 hex digits.
    std::string NewSessionId();
    // The records of quarantine `kind` (1 spam, 2 ham, 3 neutral, 4 learn) whose texts contain
    // `search` (any case), newest first, from `start`, at most `count`:
    // out[id] = time TAB first text TAB second text TAB subject. The number that match.
    int32_t ViewQuarantine(script::CS_Array* out, int32_t kind, const char* search, int32_t start, int32_t count);
    // The message file as stored (up to kMaxShownBytes); "" when there is none.
    std::string QuarantineSource(int32_t kind, const char* id);
    // Sends the quarantined message to the first MTA, to the recipients of its record. "" when
    // the MTA took it, else why not.
    std::string ReleaseQuarantine(int32_t kind, const char* id);
    // Learns the quarantined message as spam (1) or ham (2), in both filters: 1 when the
    // statistical filter counted it, 0 when it had learned it so already, -1 when there is no
    // such message (or it holds no words) or no Bayes engine.
    int32_t LearnQuarantine(int32_t kind, const char* id, int32_t as);
    // The counters of the day's statistics file db/DAY_<day>.stc, day "YYYY-MM-DD":
    // out[name] = "%.3f". 1 when the file was read.
    int32_t GetStatisticsDay(script::CS_Array* out, const char* day);
    // The day `days_back` days before today, "YYYY-MM-DD" (local time).
    std::string DayName(int32_t days_back);
    // Text made safe for HTML text and quoted attributes: & < > " ' only. (The built-in
    // EncodeHtmlSpecialChar also turns blanks into &nbsp;, which a form would send back as
    // another character.)
    std::string HtmlEscape(const char* text);
    // The kernel's application directory ("" without a kernel), for pages that tell the
    // operator a command to run.
    std::string GetAppDir();

private:
    const HttpRequest* Request() const;
    CS_WEB_INSTANCE* instance_;
};

void RegisterWebHostClass(script::Interpreter& in, CWebSessions* sessions);

// What a page run answers: the whole response, and the status code for the log.
struct PageAnswer {
    std::string response;
    int status = 200;
};

// Runs the page file `path` for `page`. While it runs, `running` (may be null) holds its
// interpreter so the server can abort it.
PageAnswer RunPage(const std::string& path, const cron::KernelAccess* kernel, logging::CLogQueue* log,
                   CWebSessions* sessions, WebPage* page, script::AbortHandle* running);

// The page header and the page, for a run that succeeded.
std::string PageResponse(const WebPage& page, bool keep_alive);

}  // namespace web
