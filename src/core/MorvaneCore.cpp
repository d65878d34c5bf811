#include "core/MorvaneCore.h"

#include "core/SessionPool.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "common/Clock.h"
#include "common/ProxyHeader.h"
#include "common/String.h"
#include "core/ConnCounter.h"
#include "core/SessionPool.h"
#include "platform/KFile.h"
#include "platform/Paths.h"
#include "platform/WakeEvent.h"
#include "store/SaveFailures.h"

namespace core {

namespace {

constexpr const char* kSrc = "MorvaneCore";
constexpr const char* kCtor = "CMorvaneCore::CMorvaneCore";
constexpr const char* kReload = "CMorvaneCore::ReloadConfig";

}  // namespace

std::string FillTemplate(const std::string& tmpl, const std::string& arg) {
    std::string out = tmpl;
    size_t at = out.find("%s");
    if (at != std::string::npos) out.replace(at, 2, arg);
    return out;
}

CMorvaneCore::CMorvaneCore(config::CKernelConfig& config, std::string app_dir, std::unique_ptr<SessionHost> sessions,
                           TimeSource now, bool listen)
    : config_(config),
      app_dir_(std::move(app_dir)),
      now_(now ? now : &common::NowSeconds),
      listen_(listen),
      sessions_(std::move(sessions)) {
    const std::string db = app_dir_ + "/db/";
    platform::MakeDirs(db);
    redis_ = std::make_unique<checks::CRedis>();
    auto start = [this](const char* line) { AddLog(3, line, kSrc, kCtor, "SYS", 0); };
    dns_ = std::make_unique<checks::CDns>(db + "cache_dns.db");
    start("Start DNS server");
    dnsbl_ = std::make_unique<checks::CDnsBL>(db + "cache_dnsbl.db");
    start("Start DNSBL server");
    bayes_ = std::make_unique<checks::CBayes>(app_dir_, now);
    bayes_->Load();
    filter_ = std::make_unique<checks::CBayesFilter>(db + "bayestokens.db", now);
    if (std::string why; !filter_->Load(&why)) {
        // Saving over a table that could not be read would lose the operator's training: the
        // filter works in memory until the file is put right.
        AddLog(1, "Bayes filter table " + filter_->Path() + ": " + why + "; the filter runs without it and never saves",
               kSrc, kCtor, "SYS", 0);
        filter_ = std::make_unique<checks::CBayesFilter>(std::string(), now);
    } else if (!why.empty()) {
        AddLog(1, "Bayes filter table " + filter_->Path() + " is damaged: " + why, kSrc, kCtor, "SYS", 0);
    }
    start("Start BAYES ENGINE");
    mta_ = std::make_unique<CMtaList>();
    start("Start SMTP FIREWALL ENGINE");
    listener_ = std::make_unique<CListenMorvane>();
    listener_->SetCounter(ReadConnCounter(app_dir_ + "/countconn.dat"));
    start("Start MORVANE PROXY ENGINE");
    inferno_ = std::make_unique<checks::CIpInferno>(db + "ip_imbargo.db");
    start("Start IP INFERNO");
    relay_ = std::make_unique<checks::CAddressList>();
    dnsbl_white_ = std::make_unique<checks::CAddressList>();
    proxy_from_ = std::make_unique<checks::CAddressList>();
    start("Start NETIP ENGINE");
    sessions_per_ip_ = std::make_unique<checks::CSessionCounter>();
    stats_ = std::make_unique<checks::CStatitiche_Day>(app_dir_, now);
    stats_->Start();
    history_ = std::make_unique<store::CHistory>(db + "history.log", static_cast<size_t>(config_.history_max_records));
    if (!history_->Load())
        AddLog(1, "Message history " + db + "history.log cannot be read: " + std::strerror(errno) + "; it starts empty",
               kSrc, kCtor, "SYS", 0);
    history_->Start();
    activity_.Load(db + "activity.dat");
    held_ = std::make_unique<CHeldMail>(app_dir_ + "/quarantine/held");
    helo_ = std::make_unique<checks::CHeloForget>(db + "helo_forget.db");
    start("Start IP FORGED");
    community_ = std::make_unique<checks::CBrumaCommunity>(db + "community_cache.db");
    community_server_ = std::make_unique<checks::CCommunityServer>(db + "community.db");
    start("Start BRUMA COMMUNITY");
    spf_lookup_ = std::make_unique<checks::SpfDnsLookup>(dns_.get());
    spf_ = std::make_unique<checks::CSpf>(db + "spf.db", spf_lookup_.get(), now);
    start("Start SPF ENGINE");
    domains_ = std::make_unique<checks::CLocalDomains>(app_dir_);
    domains_->LoadAll();
    start("Start LOCAL DOMAIN ENGINE");
    traps_ = std::make_unique<checks::CSpamTrap>(db + "spam_trap.db");
    alwl_ = std::make_unique<checks::CAutoWhitelist>(db + "AL_whitelist.db");
    grey_ = std::make_unique<checks::CGreylist>(db + "greylists.db", stats_.get(), now);
    rules_ = std::make_unique<checks::CRules>();
    if (rules_->Open((db + "rules.db").c_str())) rules_->Load();
    rules_->Hits().Load(db + "rulehits.dat");
    phishing_ = std::make_unique<checks::CPhishingDB>(app_dir_ + "/db/phishing.db");
    phishing_->Load();
    if (phishing_->Url().empty())
        AddLog(3, "Phishing list updates are off: no [SETTING] URL in db/phishing.db", kSrc, kCtor, "SYS", 0);
    for (store::CDB_RAM* t :
         {&inferno_->Table(), &helo_->Table(), &spf_->Table(), &traps_->Table(), &alwl_->Table(), &grey_->Table(),
          &bayes_->Words(), bayes_->Index(1), bayes_->Index(2), bayes_->Index(3), bayes_->Index(4)})
        if (t->LostOnLoad() > 0)
            AddLog(1,
                   common::FormatText("Table %s is damaged: %d records of its count could not be read, kept the rest",
                                      t->Path().c_str(), t->LostOnLoad()),
                   kSrc, kCtor, "SYS", 0);
    // With [REDIS] on, these lists are shared with the other kernels of the site.
    inferno_->SetShared(redis_.get(), "embargo");
    traps_->SetShared(redis_.get(), "spamtrap");
    alwl_->SetShared(redis_.get(), "alwl");
    grey_->SetShared(redis_.get(), "greylist");
    filter_->SetShared(redis_.get());
    {
        char host[256] = {0};
        if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
        sessions_per_ip_->SetShared(redis_.get(), common::FormatText("%s:%d:%lld", host, static_cast<int>(getpid()),
                                                                     static_cast<long long>(Now())));
    }
    if (!sessions_) sessions_ = std::make_unique<CSessionPool>();
    stats_->AddItem("f1n_restart_service", 1, 0, static_cast<float>(Now()), 3);
    persistent_ = std::make_unique<checks::CPersistentStore>();
    next_save_ = Now() + kSaveEverySeconds;
    last_tick_ = common::ProcessMillis();
    next_housekeeping_ = last_tick_ + kHousekeepingMs;
    checks::CDns::SetGlobal(dns_.get());
    RegisterMetrics();
    sessions_->Bind(*this);
    StartWorkers();
    ReloadConfig();
}

CMorvaneCore::~CMorvaneCore() {
    Stop();
    if (checks::CDns::Global() == dns_.get()) checks::CDns::SetGlobal(nullptr);
    // Members go in reverse order of construction: sessions first, the DNS engine last.
}

CMorvaneCore::Identity CMorvaneCore::PublicIdentity() const {
    common::MutexLock lock(identity_mu_);
    return identity_;
}

void CMorvaneCore::ReloadConfig() {
    config::CKernelConfig& c = config_;
    {
        common::MutexLock lock(identity_mu_);
        identity_ = Identity{c.myippub.str(), c.myname.str()};
    }
    auto log = [this](int level, const std::string& text, const char* fn = kReload) {
        AddLog(level, text, kSrc, fn, "DEBUG", 0);
    };
    // 1. Resolvers. Each list is built first and swapped in whole: a session checking during a
    // reload sees the old servers and zones or the new ones, never none (a listed client would
    // pass).
    std::vector<std::string> servers;
    for (const common::String& ns : c.dns_nameservers) {
        if (ns.Length() < 8) continue;  // shorter than any usable "a.b.c.d"
        servers.push_back(ns.str());
        log(4, "Load DNS:" + ns.str());
    }
    dns_->SetNameServers(servers);
    dnsbl_->SetNameServers(servers);
    dns_->timeout_ms = c.dns_timeout_millisecond;
    log(4, common::FormatText("Load configuration dns UDP timeout:%d", c.dns_timeout_millisecond));
    dns_->Cache().SetAge(static_cast<uint32_t>(c.dns_delete_old_record_type),
                         static_cast<uint32_t>(c.dns_delete_old_record_time));
    log(4, common::FormatText("Load configuration dns time old record :%d x %d", c.dns_delete_old_record_time,
                              c.dns_delete_old_record_type));
    // 2. Block lists.
    std::vector<std::string> zones;
    for (const common::String& z : c.dnsbl_zones) {
        if (z.IsEmpty()) continue;
        zones.push_back(z.str());
        log(4, "Load DNSBL:" + z.str());
    }
    dnsbl_->SetZones(zones);
    dnsbl_->single_timeout_ms = c.dnsbl_timeout_millisecond_sc;
    log(4, common::FormatText("Load configuration dnsbl singol client UDP timeout:%d", c.dnsbl_timeout_millisecond_sc),
        "CMorvaneCore::ReloadConfigg");
    dnsbl_->global_timeout_ms = c.dnsbl_timeout_millisecond;
    log(4, common::FormatText("Load configuration dnsbl global timeout:%d", c.dnsbl_timeout_millisecond));
    dnsbl_->Cache().SetAge(static_cast<uint32_t>(c.dnsbl_delete_old_record_type),
                           static_cast<uint32_t>(c.dnsbl_delete_old_record_time));
    log(4, common::FormatText("Load configuration dnsbl time old record :%d x %d", c.dnsbl_delete_old_record_time,
                              c.dnsbl_delete_old_record_type));
    dnsbl_->maxhit = c.maxhit;
    log(4, common::FormatText("Load configuration dnsbl maxhit :%d", c.maxhit));
    dnsbl_->maxreplies = c.maxreplies;
    log(4, common::FormatText("Load configuration dnsbl maxreplies :%d", c.maxreplies));
    // 3. MTA list.
    const common::String* hosts[] = {&c.smtp_server1, &c.smtp_server2, &c.smtp_server3, &c.smtp_server4};
    const int ports[] = {c.smtp_port1, c.smtp_port2, c.smtp_port3, c.smtp_port4};
    const common::String* names[] = {&c.trasp_1, &c.trasp_2, &c.trasp_3, &c.trasp_4};
    std::vector<MtaServer> mtas;
    for (int i = 0; i < 4; ++i) mtas.push_back({hosts[i]->str(), ports[i], names[i]->str()});
    mta_->Set(std::move(mtas), c.smtp_type);
    log(4, "Setting SMTP Server");
    // 4. Bayes: the unknown-share threshold and the quarantine's age.
    bayes_->SetMinOccurrences(c.occorenze_per);
    bayes_->SetQuarantineAge(static_cast<uint32_t>(c.bayes_delete_mail_type),
                             static_cast<uint32_t>(c.bayes_delete_mail_time));
    checks::BayesFilterSettings fs;
    fs.strength = c.bayes_strength;
    fs.prior = c.bayes_prior;
    fs.min_dev = c.bayes_min_dev;
    fs.max_tokens = c.bayes_max_tokens;
    fs.spam_cutoff = c.bayes_spam_cutoff;
    fs.ham_cutoff = c.bayes_ham_cutoff;
    fs.min_learned = c.bayes_min_learned;
    fs.expire_days = c.bayes_expire_days;
    filter_->SetSettings(fs);
    AddLog(3, "Set BAYES ENGINE", kSrc, "MorvaneAntispamkrn::core", "SYS", 0);
    // 5. The refusal text of a full listener.
    listener_->SetRefusal(FillTemplate(c.rfc421.str(), c.myname.str()));
    // 6. Listener settings.
    if (c.n_max_listen <= 0) c.n_max_listen = 20;
    // A reload never cuts a connection: the listener is set up again around the sessions.
    const std::string ip = c.listen_ip.str(), port = c.listen_port.str();
    bool relisten = false;
    if (ip != listen_ip_ || port != listen_port_ || c.n_max_listen != pool_size_) {
        if (listener_->Listening())
            AddLog(1,
                   common::FormatText("Stop MORVANE PROXY ENGINE ip %s port %s max_listen:%d", listen_ip_.c_str(),
                                      listen_port_.c_str(), pool_size_),
                   kSrc, kReload, "DEBUG", 0);
        listen_ip_ = ip;
        listen_port_ = port;
        pool_size_ = c.n_max_listen;
        relisten = true;
    }
    // 7. Address lists.
    relay_->Load(c.relayip);
    proxy_from_->Load(c.proxy_from);
    if (c.proxy_protocol && proxy_from_->RangeCount() == 0)
        AddLog(1, "[CONFIG] proxy_protocol is on but proxy_from lists no address: every connection is dropped", kSrc,
               kReload, "SYS", 0);
    dnsbl_white_->Load(c.dnsbl_wip);
    grey_->WhiteList().Load(c.grey_wip);
    // 8. Greylist and auto-whitelist.
    grey_->SetEmbargo(static_cast<uint32_t>(c.grey_embargo_type), static_cast<uint32_t>(c.grey_embargo_time));
    grey_->SetAge(static_cast<uint32_t>(c.grey_delete_mail_type), static_cast<uint32_t>(c.grey_delete_mail_time));
    const common::ClientPrefix prefix = common::ClientPrefix::Of(c.client_prefix_ipv4, c.client_prefix_ipv6);
    grey_->SetPrefix(prefix);
    inferno_->SetPrefix(prefix);
    alwl_->Table().SetAge(static_cast<uint32_t>(c.alwl_transito_type), static_cast<uint32_t>(c.alwl_transito_time));
    // SPF: the cache's age (the RFC fixes the lookup limits).
    spf_->SetAge(static_cast<uint32_t>(c.spf_cache_type), static_cast<uint32_t>(c.spf_cache_time));
    // 9. The cooperative network: the client's servers, time-out and scores; the server side.
    {
        checks::CBrumaCommunity::Settings cs;
        for (const common::String& sv : c.cmy_servers)
            if (!sv.IsEmpty()) cs.servers.push_back(sv.str());
        cs.secret = c.cmy_secret.str();
        cs.peer = c.cmy_peer_name.IsEmpty() ? c.myname.str() : c.cmy_peer_name.str();
        cs.timeout_ms = c.cmy_timeout;
        cs.softfail = c.cmy_softfail;
        cs.fail = c.cmy_fail;
        cs.hardfail = c.cmy_hardfail;
        if (!cs.servers.empty() && cs.secret.empty())
            AddLog(1, "[COMMUNITY] server_N is set but secret is empty: the cooperative network is not asked", kSrc,
                   kReload, "SYS", 0);
        community_->Configure(std::move(cs));
        checks::CCommunityServer::Settings ss;
        ss.ip = c.cmy_serve_ip.IsEmpty() ? "127.0.0.1" : c.cmy_serve_ip.str();
        ss.port = c.cmy_serve_port;
        ss.secret = c.cmy_secret.str();
        ss.softfail_peers = c.cmy_serve_softfail;
        ss.fail_peers = c.cmy_serve_fail;
        ss.hardfail_peers = c.cmy_serve_hardfail;
        ss.age_hours = c.cmy_serve_age_hours;
        if (ss.port > 0 && ss.secret.empty())
            AddLog(1, "[COMMUNITY] serve_port is set but secret is empty: not serving", kSrc, kReload, "SYS", 0);
        else if (!community_server_->Configure(ss))
            AddLog(1, common::FormatText("Cannot serve the cooperative network on %s port %d", ss.ip.c_str(), ss.port),
                   kSrc, kReload, "SYS", 0);
        else if (ss.port > 0)
            log(3, common::FormatText("Serving the cooperative network on %s port %u", ss.ip.c_str(),
                                      community_server_->Port()));
    }
    // 11. Phishing: the adapter address of its downloads, the list again, the sender check.
    phishing_->SetAdapter(c.adapter_ip.str());
    phishing_->Load();
    phishing_->SetSenderCheck(c.euristica);
    // Rules: not part of the configuration, but an operator who compiled new rules into the
    // file (morvane-rules) reloads to use them; rules that scripts added and did not save stay.
    if (rules_->FileStamp() != platform::FileStamp(rules_->Path())) {
        rules_->Load();
        log(3, common::FormatText("Rules loaded from %s: %d rules", rules_->Path().c_str(), rules_->Count()));
    }
    // Shared state: a changed setting drops the pooled connections.
    {
        checks::CRedis::Settings rs;
        rs.server = c.redis_tls ? std::string() : c.redis_server.str();
        rs.password = c.redis_password.str();
        rs.db = c.redis_db;
        rs.prefix = c.redis_prefix.str();
        rs.timeout_ms = c.redis_timeout_ms;
        rs.backoff_seconds = c.redis_backoff_seconds;
        if (c.redis_tls && !c.redis_server.IsEmpty())
            AddLog(1,
                   "[REDIS] tls=1: this build's Redis client has no TLS; the state is not sent in clear, the kernel "
                   "keeps it local",
                   kSrc, kReload, "SYS", 0);
        if (rs.server != redis_settings_.server || rs.password != redis_settings_.password ||
            rs.db != redis_settings_.db || rs.prefix != redis_settings_.prefix ||
            rs.timeout_ms != redis_settings_.timeout_ms || rs.backoff_seconds != redis_settings_.backoff_seconds) {
            redis_settings_ = rs;
            redis_->Configure(rs);
            traps_->PublishShared();
            if (!rs.server.empty())
                log(2, common::FormatText("Shared state on Redis %s (prefix \"%s\", time-out %d ms)", rs.server.c_str(),
                                          rs.prefix.c_str(), rs.timeout_ms));
        }
    }
    // 12. Sessions per address.
    sessions_per_ip_->SetMaximum(c.max_session_ip);
    sessions_per_ip_->SetPrefix(prefix);
    // 13. What sessions read of the settings; with script caching, the pool of sessions.
    history_->SetMaxRecords(static_cast<size_t>(c.history_max_records));
    sessions_->Reload(c, app_dir_);
    // 14. Listener start.
    if (listen_ && !Draining() && (relisten || !listener_->Listening() || listener_->HasEnded())) {
        bool listening = listener_->InitListen(listen_ip_, listen_port_, pool_size_);
        const int listen_errno = errno;
        listener_->MoveTo(*this);  // its own lines ("Init Listen OK") come first
        if (listening && listener_->Start()) {
            listen_error_.clear();
            AddLog(1,
                   common::FormatText("Start MORVANE PROXY ENGINE ip %s port %s max_listen:%d", listen_ip_.c_str(),
                                      listen_port_.c_str(), pool_size_),
                   kSrc, kReload, "DEBUG", 0);
        } else {
            listen_error_ =
                common::FormatText("cannot listen for SMTP on %s port %s: %s", listen_ip_.c_str(), listen_port_.c_str(),
                                   listening ? "the listener did not start" : std::strerror(listen_errno));
            AddLog(1,
                   common::FormatText("FAILD !!! MORVANE PROXY ENGINE ip %s port %s max_listen:%d: %s",
                                      listen_ip_.c_str(), listen_port_.c_str(), pool_size_, listen_error_.c_str()),
                   kSrc, kReload, "DEBUG", 0);
        }
    }
    NoteListening();
}

void CMorvaneCore::NoteListening() {
    listening_.store(!Draining() && (!listen_ || (listener_->Listening() && !listener_->HasEnded())),
                     std::memory_order_relaxed);
}

void CMorvaneCore::Count(const std::string& name, int type) {
    stats_->AddItem(name, type, 0, 1.0f, 1);
}

void CMorvaneCore::RecordSession(store::HistoryRecord r) {
    activity_.Record(r.time + r.duration_ms / 1000, r.action, static_cast<uint32_t>(std::max(r.duration_ms, 0)));
    sessions_by_action_->With(r.action).Add();
    session_seconds_->Observe(std::max(r.duration_ms, 0) / 1000.0);
    history_->Add(std::move(r));
}

void CMorvaneCore::Refuse(Admission& a, const std::string& reply, const std::string& why, const char* cause) {
    refusals_->With(cause).Add();
    store::HistoryRecord r;
    r.time = Now();
    r.conn_id = a.id;
    r.client_ip = a.ip;
    r.action = reply.rfind("4", 0) == 0 ? "tempfail" : "refused";
    r.step = "connect";
    r.reply = reply.substr(0, reply.find_first_of("\r\n"));
    r.note = why;
    RecordSession(std::move(r));
    Uncount(a);
    a.slot->Send(reply, 50);
    a.slot->Release();
    Count("f1tot_conn", 1);
}

void CMorvaneCore::Uncount(Admission& a) {
    if (a.counted) sessions_per_ip_->Remove(a.ip);
    a.counted = false;
}

void CMorvaneCore::HandOff(Admission& a) {
    if (!sessions_->HandOff(a.id, a.slot, a.ip, a.counted)) {
        waiting_.push_back(std::move(a));  // no session now: the next step tries again
        return;
    }
    Count("f1tot_conn", 1);
}

void CMorvaneCore::Admit(Admission a) {
    if (!a.slot) return;
    if (!a.header_read) sessions_total_->Add();
    if (a.slot->PeerAddressText().empty() || a.dropped) {
        if (!a.dropped) AddLog(1, "-COMPILED- ERROR SOCKET IP is ZERO", kSrc, "CMorvaneCore::Step", "SYS", a.id);
        a.slot->Release();
        Count("f1tot_conn", 1);
        return;
    }
    // Behind a load balancer, every check below needs the client's address from the header,
    // which a worker reads; a header from anyone but the balancers is never read.
    if (config_.proxy_protocol && !a.header_read) {
        if (!proxy_from_->InRange(a.ip)) {
            AddLog(2, "PROXY protocol: a connection from " + a.ip + ", which is not on proxy_from: dropped", kSrc,
                   "CMorvaneCore::Step", "FIREWALL", a.id);
            refusals_->With("proxy").Add();
            a.slot->Release();
            Count("f1tot_conn", 1);
            return;
        }
        a.proxy = true;
        return Submit(std::move(a));
    }
    if (!config_.script_enable) return HandOff(a);
    if (inferno_->Contains(a.ip)) {
        AddLog(1, "-COMPILED- Drop connection IP Inferno: " + a.ip, kSrc, "CMorvaneCore::Step", "FIREWALL", a.id);
        Count("f3fw_iphell_[" + a.ip + "]", 3);
        return Refuse(a, FillTemplate(config_.rfc554.str(), " Embargo \r\n"), "IP embargo", "embargo");
    }
    // Name patterns need the client's reverse name: from the DNS cache, or a lookup.
    if (relay_->Contains(a.ip, relay_->PatternCount() > 0 ? dns_.get() : nullptr)) return HandOff(a);
    if (!sessions_per_ip_->Admit(a.ip)) {
        AddLog(1, "-COMPILED- Max Session from IP: " + a.ip, kSrc, "CMorvaneCore::Step", "FIREWALL", a.id);
        Count("f3fw_session_max_ip", 3);
        return Refuse(a, FillTemplate(config_.rfc421.str(), config_.myname.str()) + " \r\n", "session limit",
                      "session_limit");
    }
    a.counted = true;
    if (!config_.enable_dnsbl || !config_.reject_dnsbl) return HandOff(a);
    // The block lists: answered by the cache at once when it can; otherwise on a worker.
    if (dnsbl_white_->PatternCount() == 0) {
        if (dnsbl_white_->InRange(a.ip)) return HandOff(a);
        if (dnsbl_->FromCache(a.ip, &a.result)) {
            a.checked = true;
            return Decide(a);
        }
    }
    Submit(std::move(a));
}

void CMorvaneCore::Decide(Admission& a) {
    if (a.result.hits >= config_.maxhit && !a.result.text.empty()) {
        AddLog(1, "-COMPILED- Drop connection DNSBL IP: " + a.ip + " LIST: " + a.result.text, kSrc,
               "CMorvaneCore::Step", "SYS", a.id);
        size_t start = 0;
        while (start < a.result.text.size()) {
            size_t end = a.result.text.find(' ', start);
            if (end == std::string::npos) end = a.result.text.size();
            const std::string zone = a.result.text.substr(start, end - start);
            Count("f6_dnsbl_[" + zone + "]", 6);
            CountMetric("morvane_dnsbl_refusals_total",
                        "Connections refused at admission, by block list that listed the client.", "zone", zone);
            start = end + 1;
        }
        Refuse(a, FillTemplate(config_.rfc554.str(), "IP in the DNSBL " + a.result.text + " \r\n"),
               "dnsbl " + a.result.text, "dnsbl");
        Count("f6_tot-dnsbl", 6);
        Count("f6_reject-dnsbl", 6);
        return;
    }
    HandOff(a);
}

void CMorvaneCore::ReadProxyHeader(Admission& a) {
    a.header_read = true;
    const int fd = a.slot->Handle();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kProxyHeaderMs);
    char buf[common::kMaxProxyHeader];
    ssize_t seen = -1;
    common::ProxyHeader h;
    // The header is peeked at and only its own bytes are taken: what follows is the client's.
    // A balancer sends it in one segment, so the first peek nearly always holds all of it.
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || workers_stopping_.load(std::memory_order_relaxed)) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 100))) <= 0) continue;
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT);
        if (n <= 0) break;  // closed before a header came
        h = common::ParseProxyHeader(std::string_view(buf, static_cast<size_t>(n)));
        if (h.state != common::ProxyHeader::State::kNeedMore) break;
        // Nothing new since the last look: wait a little instead of spinning on ready data.
        if (n == seen) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        seen = n;
    }
    if (h.state != common::ProxyHeader::State::kDone ||
        ::recv(fd, buf, h.length, MSG_DONTWAIT) != static_cast<ssize_t>(h.length)) {
        AddLog(2,
               "PROXY protocol: no valid header from the balancer " + a.ip +
                   (h.state == common::ProxyHeader::State::kInvalid ? " (malformed)" : " (missing)") + ": dropped",
               kSrc, "CMorvaneCore::Step", "FIREWALL", a.id);
        refusals_->With("proxy").Add();
        a.dropped = true;
        return;
    }
    if (!h.local) {
        a.ip = h.source.ToString();
        a.slot->SetPeerAddress(a.ip);
    }
}

void CMorvaneCore::StartWorkers() {
    for (int i = 0; i < kAdmissionWorkers; ++i) {
        workers_.emplace_back([this] {
            for (;;) {
                Admission a;
                {
                    common::MutexLock lock(jobs_mu_);
                    while (!workers_stop_ && jobs_.empty()) jobs_cv_.wait(jobs_mu_);
                    if (workers_stop_) return;
                    a = std::move(jobs_.front());
                    jobs_.pop_front();
                }
                if (a.proxy && !a.header_read) {
                    ReadProxyHeader(a);
                } else {
                    // A white-listed client (its reverse name may need a lookup) is not checked.
                    if (!dnsbl_white_->Contains(a.ip, dns_.get())) dnsbl_->QueryDnsBL(a.ip, &a.result);
                    a.checked = true;
                }
                common::MutexLock lock(jobs_mu_);
                done_.push_back(std::move(a));
                platform::KernelWake().Notify();
            }
        });
    }
}

void CMorvaneCore::StopWorkers() {
    workers_stopping_ = true;
    {
        common::MutexLock lock(jobs_mu_);
        workers_stop_ = true;
    }
    jobs_cv_.notify_all();
    for (std::thread& t : workers_)
        if (t.joinable()) t.join();  // a check ends within the block lists' global time-out
    workers_.clear();
    // Connections whose check never ran or finished are closed: the client will retry.
    auto close_all = [this](std::deque<Admission>& q) {
        for (Admission& a : q) {
            Uncount(a);
            a.slot->Release();
        }
        q.clear();
    };
    common::MutexLock lock(jobs_mu_);
    close_all(jobs_);
    close_all(done_);
    in_flight_ = 0;
}

void CMorvaneCore::Submit(Admission a) {
    ++in_flight_;
    {
        common::MutexLock lock(jobs_mu_);
        jobs_.push_back(std::move(a));
    }
    jobs_cv_.notify_one();
}

void CMorvaneCore::WaitHandles(std::vector<int>* out) const {
    listener_->Handles(out);
}

void CMorvaneCore::HandlesReady(const std::vector<int>& ready) {
    listener_->NoteReady(ready);
}

void CMorvaneCore::Step() {
    // Finished block-list checks first: those clients have waited longest.
    std::deque<Admission> done;
    {
        common::MutexLock lock(jobs_mu_);
        done.swap(done_);
    }
    for (Admission& a : done) {
        --in_flight_;
        if (a.checked) {
            Decide(a);
        } else {
            Admit(std::move(a));  // the PROXY header was read: admission goes on with the client's address
        }
    }
    // Connections no session could take last time.
    size_t retry = waiting_.size();
    for (size_t i = 0; i < retry; ++i) {
        Admission a = std::move(waiting_.front());
        waiting_.pop_front();
        HandOff(a);
    }
    listener_->AcceptWaiting();
    for (const PendingConnection& p : listener_->TakePending())
        Admit(Admission{p.id, p.slot, p.slot ? p.slot->PeerAddressText() : std::string(), {}, false});
    listener_->MoveTo(*this);
    Housekeeping();
}

void CMorvaneCore::Housekeeping() {
    int32_t now = common::ProcessMillis();
    if (now < last_tick_) next_housekeeping_ = now;  // the clock restarted
    last_tick_ = now;
    if (now < next_housekeeping_) return;
    next_housekeeping_ = now + kHousekeepingMs;
    dnsbl_->MoveTo(*this);  // the resolver itself logs nothing
    sessions_->Housekeeping(*this);
    if (redis_->Enabled()) {
        const std::string news = redis_->TakeNews();
        for (std::string_view line : common::SplitNonEmpty(news, '\n'))
            AddLog(1, std::string(line), kSrc, "CMorvaneCore::Housekeeping", "SYS", 0);
    }
    if (Now() >= next_redis_refresh_) {
        next_redis_refresh_ = Now() + 10;
        // This node's sessions stay counted across the kernels while they run; the day's
        // statistics join the site's totals.
        sessions_per_ip_->RefreshShared();
        stats_->FlushShared(redis_.get());
        traps_->SyncShared();
    }
    NoteListening();
    Save(false);
    ReportSaveFailures();
}

void CMorvaneCore::ReportSaveFailures() {
    uint64_t dropped = 0;
    for (const std::string& line : store::TakeSaveFailures(&dropped)) {
        AddLog(1, "Cannot save " + line + "; the previous file is kept", kSrc, "CMorvaneCore::Save", "SYS", 0);
        Count("f2save_failed", 2);
        save_failures_->Add();
    }
    if (dropped > 0) {
        AddLog(1, common::FormatText("%llu more saves failed", static_cast<unsigned long long>(dropped)), kSrc,
               "CMorvaneCore::Save", "SYS", 0);
        for (uint64_t i = 0; i < dropped; ++i) Count("f2save_failed", 2);
        save_failures_->Add(static_cast<double>(dropped));
    }
}

void CMorvaneCore::KeepBayesFilter(bool save) {
    // morvane-learn may train while the kernel runs: its table replaces the file, and the
    // operator's training wins over what autolearning added since the last save.
    const bool unsaved = filter_->Changed();
    std::string why;
    if (filter_->ReloadIfReplaced(&why)) {
        const checks::CBayesFilter::Stats st = filter_->GetStats();
        AddLog(2,
               common::FormatText(
                   "Bayes filter table reloaded (replaced on disk): %llu spam, %llu ham, %llu tokens%s%s",
                   static_cast<unsigned long long>(st.spam_messages), static_cast<unsigned long long>(st.ham_messages),
                   static_cast<unsigned long long>(st.tokens),
                   unsaved ? "; messages autolearned since the last save are dropped" : "",
                   why.empty() ? "" : ("; " + why).c_str()),
               kSrc, "CMorvaneCore::Save", "SYS", 0);
        return;
    }
    if (Now() >= next_expiry_) {
        next_expiry_ = Now() + 86400;
        if (const int gone = held_->Expire(Now(), config_.held_keep_days); gone > 0)
            AddLog(2, common::FormatText("Held quarantine: %d messages expired", gone), kSrc, "CMorvaneCore::Save",
                   "SYS", 0);
        if (const size_t gone = filter_->Expire(); gone > 0)
            AddLog(3, common::FormatText("Bayes filter: %zu tokens expired", gone), kSrc, "CMorvaneCore::Save", "SYS",
                   0);
    }
    if (save && filter_->Changed()) (void)filter_->Save();
}

void CMorvaneCore::Save(bool final) {
    if (!final && Now() <= next_save_) return;
    ++save_attempts_;
    if (!final && sessions_->Sessions() > 0) {
        bool postpone = config_.enable_cache_script ? sessions_->AnyBusy() : true;
        if (postpone && save_attempts_ < kMaxSaveAttempts) return;
    }
    save_attempts_ = 1;
    next_save_ = Now() + kSaveEverySeconds;
    ++save_runs_;
    AddLog(3, "Start Automatic Save", kSrc, "CMorvaneCore::Save", "SYS", 0);
    WriteConnCounter(app_dir_ + "/countconn.dat", listener_->Counter());
    stats_->PeriodicWrite();
    if (save_runs_ <= kFullSaveEvery && !final) {
        dns_->Cache().DeleteOld();
        dnsbl_->Cache().DeleteOld();
        grey_->Table().DeleteOld();
        inferno_->Hygiene(Now());
        alwl_->Table().DeleteOld();
        spf_->Table().DeleteOld();
        bayes_->QuarantineHygiene();
        KeepBayesFilter(false);
        AddLog(3, "Hygiene DB O.K.", kSrc, "CMorvaneCore::Save", "SYS", 0);
        AddLog(3, "End Automatic Save", kSrc, "CMorvaneCore::Save", "SYS", 0);
        return;
    }
    save_runs_ = 1;
    // A failed save is reported with its file and reason (store::ReportSaveFailure) and logged
    // and counted below; the next full save tries again.
    // The health check reports the first file of this save that could not be written.
    std::string failed;
    for (store::CDB_RAM* t : {&dns_->Cache(), &dnsbl_->Cache(), &grey_->Table(), &inferno_->Table(), &alwl_->Table(),
                              &helo_->Table(), &spf_->Table(), &traps_->Table()})
        if (!t->Save() && t->IsOpened() && failed.empty()) failed = t->Path();
    if (!bayes_->Save() && failed.empty()) failed = "the statistical tables";
    KeepBayesFilter(true);
    (void)community_->Save();
    (void)community_server_->Save();
    if (!activity_.Save(app_dir_ + "/db/activity.dat", Now())) {
        if (failed.empty()) failed = app_dir_ + "/db/activity.dat";
        AddLog(1, "Cannot save the dashboard's figures to " + app_dir_ + "/db/activity.dat", kSrc, "CMorvaneCore::Save",
               "SYS", 0);
    }
    if (!rules_->Hits().Save(app_dir_ + "/db/rulehits.dat", Now())) {
        if (failed.empty()) failed = app_dir_ + "/db/rulehits.dat";
        AddLog(1, "Cannot save the rules' hit counts to " + app_dir_ + "/db/rulehits.dat", kSrc, "CMorvaneCore::Save",
               "SYS", 0);
    }
    {
        common::MutexLock lock(health_mu_);
        save_problem_ = failed.empty() ? std::string() : "the last save could not write " + failed;
    }
    ReportSaveFailures();
    // Dropped datagrams are a misconfigured peer (another secret, a wrong clock) or an attack:
    // said once per full save while their number grows.
    const uint64_t dropped = community_->DroppedTotal() + community_server_->DroppedTotal();
    if (dropped != community_dropped_logged_) {
        const checks::CmyDrops& c = community_->Drops();
        const checks::CmyDrops& sv = community_server_->Drops();
        AddLog(1,
               common::FormatText("Cooperative network: %llu datagrams dropped so far (malformed %llu, wrong "
                                  "signature %llu, stale or repeated %llu)",
                                  static_cast<unsigned long long>(dropped),
                                  static_cast<unsigned long long>(c.malformed + sv.malformed),
                                  static_cast<unsigned long long>(c.forged + sv.forged),
                                  static_cast<unsigned long long>(c.stale + sv.stale)),
               kSrc, "CMorvaneCore::Save", "SYS", 0);
        community_dropped_logged_ = dropped;
    }
    AddLog(3, "Save DB O.K", kSrc, "CMorvaneCore::Save", "SYS", 0);
    AddLog(3, "End Automatic Save", kSrc, "CMorvaneCore::Save", "SYS", 0);
}

void CMorvaneCore::CountMetric(std::string_view name, std::string_view help, std::string_view label,
                               std::string_view label_value, double value) {
    metrics_.Counter(name, help, label).With(label_value).Add(value);
}

void CMorvaneCore::RegisterMetrics() {
    using common::metrics::Kind;
    sessions_total_ =
        &metrics_.Counter("morvane_sessions_total", "Client connections accepted by the listener.").With();
    sessions_by_action_ = &metrics_.Counter("morvane_sessions_by_action_total",
                                            "Sessions ended, by what became of them (delivered, tagged, refused, "
                                            "tempfail, greylisted, held, closed).",
                                            "action");
    refusals_ =
        &metrics_.Counter("morvane_admission_refusals_total",
                          "Connections refused before the greeting, by cause (dnsbl, embargo, session_limit, proxy: no "
                          "valid PROXY header from a balancer).",
                          "cause");
    for (const char* cause : {"dnsbl", "embargo", "session_limit", "proxy"}) refusals_->With(cause);
    session_seconds_ = &metrics_
                            .Histogram("morvane_session_duration_seconds", "Time from a client's connect to its end.",
                                       common::metrics::SecondsBuckets())
                            .With();
    script_event_seconds_ =
        &metrics_.Histogram("morvane_script_event_seconds", "Time the policy scripts take per event.",
                            common::metrics::SecondsBuckets(), "event");
    save_failures_ = &metrics_.Counter("morvane_save_failures_total", "Saves of tables and files that failed.").With();
    // Figures that live in the engines are read at scrape time; each read is one short lock
    // (a table's count) or none (atomics).
    metrics_.AddCollector([this](common::metrics::Writer& w) {
        w.Head("morvane_sessions_active", "Sessions busy with a client.", Kind::kGauge);
        w.Sample("morvane_sessions_active", static_cast<double>(sessions_open_.load(std::memory_order_relaxed)));
        const std::pair<const char*, const store::CDB_RAM*> tables[] = {
            {"dns_cache", &dns_->Cache()},   {"dnsbl_cache", &dnsbl_->Cache()},   {"greylist", &grey_->Table()},
            {"embargo", &inferno_->Table()}, {"auto_whitelist", &alwl_->Table()}, {"helo_forged", &helo_->Table()},
            {"spf_cache", &spf_->Table()},   {"spam_trap", &traps_->Table()}};
        w.Head("morvane_table_records", "Live records per table.", Kind::kGauge);
        for (const auto& [name, t] : tables) w.Sample("morvane_table_records", "table", name, t->GetCount());
        w.Head("morvane_table_last_save_timestamp_seconds",
               "When each table was last saved successfully (Unix time; 0 before the first save).", Kind::kGauge);
        for (const auto& [name, t] : tables)
            w.Sample("morvane_table_last_save_timestamp_seconds", "table", name, static_cast<double>(t->SavedAt()));
        w.Head("morvane_history_records", "Records in the message history.", Kind::kGauge);
        w.Sample("morvane_history_records", static_cast<double>(history_->Count()));
        const checks::CDns::Counters dns = dns_->GetCounters();
        w.Head("morvane_dns_cache_hits_total", "DNS lookups answered from the cache.", Kind::kCounter);
        w.Sample("morvane_dns_cache_hits_total", static_cast<double>(dns.cache_hits));
        w.Head("morvane_dns_queries_total", "DNS lookups sent to a name server.", Kind::kCounter);
        w.Sample("morvane_dns_queries_total", static_cast<double>(dns.queries));
        w.Head("morvane_dns_failures_total", "DNS lookups no name server answered.", Kind::kCounter);
        w.Sample("morvane_dns_failures_total", static_cast<double>(dns.failures));
        w.Head("morvane_dns_timeouts_total", "Waits for a name server that timed out.", Kind::kCounter);
        w.Sample("morvane_dns_timeouts_total", static_cast<double>(dns.timeouts));
        const checks::CRedis::Counters redis = redis_->GetCounters();
        w.Head("morvane_redis_up", "1 while the shared state on Redis is in use, 0 when off or backing off.",
               Kind::kGauge);
        w.Sample("morvane_redis_up", redis_->Up() ? 1 : 0);
        w.Head("morvane_redis_commands_total", "Commands sent to Redis.", Kind::kCounter);
        w.Sample("morvane_redis_commands_total", static_cast<double>(redis.commands));
        w.Head("morvane_redis_failures_total", "Redis calls that failed (each starts a back-off on the local tables).",
               Kind::kCounter);
        w.Sample("morvane_redis_failures_total", static_cast<double>(redis.failures));
    });
}

void CMorvaneCore::Drain() {
    if (draining_.exchange(true)) return;
    // Clients the listener already accepted are admitted as usual; then no more are.
    listener_->AcceptWaiting();
    for (const PendingConnection& p : listener_->TakePending())
        Admit(Admission{p.id, p.slot, p.slot ? p.slot->PeerAddressText() : std::string(), {}, false});
    if (listener_->Listening()) listener_->StopListen();
    NoteListening();
    AddLog(1,
           common::FormatText("Draining: no new connections; %zu sessions busy, %zu admissions waiting",
                              sessions_open_.load(), in_flight_.load() + waiting_.size()),
           kSrc, "CMorvaneCore::Drain", "SYS", 0);
}

bool CMorvaneCore::Drained() const {
    return Draining() && in_flight_.load() == 0 && waiting_.empty() && !sessions_->AnyBusy();
}

std::string CMorvaneCore::HealthProblem() {
    if (Draining())
        return common::FormatText("draining: %zu sessions still busy", sessions_open_.load(std::memory_order_relaxed));
    if (!listening_.load(std::memory_order_relaxed)) return "the SMTP listener is not accepting connections";
    common::MutexLock lock(health_mu_);
    if (!save_problem_.empty()) return save_problem_;
    // A session reached an MTA lately: no probe needed. Otherwise one connect to the first
    // back-end, at most every 10 seconds, so a scraper polling often never floods the MTA.
    static constexpr int64_t kAnsweredRecently = 10, kProbeEvery = 10;
    const int64_t now = Now();
    if (now - mta_answered_.load(std::memory_order_relaxed) <= kAnsweredRecently) return std::string();
    if (probe_at_ != 0 && now - probe_at_ < kProbeEvery) return probe_problem_;
    probe_at_ = now;
    CMtaList::Cursor cursor = mta_->Begin();
    const std::optional<MtaServer> server = mta_->Next(cursor);
    if (!server) {
        probe_problem_ = "no back-end MTA is configured";
    } else {
        CSocketComm probe;
        if (probe.Connect(server->host, std::to_string(server->port), std::string(), 1000)) {
            probe_problem_.clear();
            mta_answered_.store(now, std::memory_order_relaxed);
        } else {
            probe_problem_ =
                common::FormatText("the back-end MTA %s port %d does not answer", server->host.c_str(), server->port);
        }
    }
    return probe_problem_;
}

void CMorvaneCore::Stop() {
    if (stopped_) return;
    stopped_ = true;
    // Sessions first: they tell their clients "421" on the slots the listener would close.
    if (sessions_) sessions_->StopAll();
    if (listener_ && listener_->Listening()) listener_->StopListen();
    history_->Stop();  // writes what the sessions left
    StopWorkers();
    community_server_->Stop();
    // Threads are never killed here, so a held engine lock means a thread still runs in it.
    for (const store::CEngineLock* lock : {&dns_->Cache().Lock(), &dnsbl_->Cache().Lock(), &grey_->Table().Lock(),
                                           &spf_->Table().Lock(), &bayes_->Words().Lock()})
        if (lock->IsHeld())
            AddLog(1, "An engine is still in use by a thread that did not stop", kSrc, "CMorvaneCore::Stop", "SYS", 0);
    for (const char* line :
         {"Stop SENDER server", "Stop PROXY ENGINE", "Stop BAYES ENGINE", "Stop DNSBL server", "Stop DNS server"})
        AddLog(3, line, kSrc, "MorvaneAntispamkrn::core", "SYS", 0);
}

}  // namespace core
