#pragma once
// CKernelConfig: every setting of the kernel, read from "morvane.ini" into typed fields with a
// default for each, and written back complete.
//
// One object exists, made by the kernel's main thread. Who may read what:
// - the typed fields: the main thread only, which rewrites them at every reload (and engines'
//   constructors and reload routines, which run on it);
// - every other thread (sessions, cron runs, admin handlers, web children) reads a snapshot its
//   engine copied at the last reload (SessionSettings, AdminSettings, WebSettings,
//   CMorvaneCore::PublicIdentity), or the file image through the CFileINI getters, which lock;
// - scripts change the image (SetImageValue), never the fields.
// Load and Save exclude each other, so a cron or admin script saving the configuration never
// races the main loop's load.
#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/String.h"
#include "common/ThreadSafety.h"
#include "store/FileINI.h"

namespace config {

using common::String;
using StringList = std::vector<String>;

inline constexpr const char* kKernelVersion = "3.0.1";

// One problem of a configuration text, for `morvane --check-config` and the kernel's start.
struct ConfigProblem {
    int line = 0;       // from 1
    bool error = true;  // false: a warning
    std::string message;
};
// Every problem of `text` read as morvane.ini: unknown keys are warnings (scripts keep their own
// settings there); a value that does not parse as its key's type or leaves its range, a line
// that is not KEY=VALUE, a line outside any section and a broken section header are errors.
std::vector<ConfigProblem> CheckConfigText(std::string_view text);
// Why `value` cannot be stored for the key, or "": a value the kernel would not read as its
// key's type, or text that would not read back as written. Keys the kernel does not know
// take any one-line value.
std::string ConfigValueError(std::string_view section, std::string_view key, std::string_view value);
bool IsKnownKey(std::string_view section, std::string_view key);

class CKernelConfig : public store::CFileINI {
public:
    // `app_dir` stands in for an empty app_path when a base directory is needed.
    explicit CKernelConfig(std::string app_dir = std::string());

    void SetFile(const std::string& path) { file_ = path; }
    const std::string& File() const { return file_; }
    // Reads every key; a missing file or key gives its default. Always succeeds.
    void LoadConfig();
    // Writes every written key back (atomically); false when the file could not be written.
    bool SaveConfig();
    enum class WriteBack { kUnchanged, kWritten, kBeside, kFailed };
    // At stop: writes back what the kernel itself changed (admin or cron scripts, settings it
    // corrected) since it last read or wrote the file; nothing when it changed nothing, so an
    // operator's edit of the running kernel's file is never overwritten. When the file changed
    // on disk meanwhile, the operator's file stays and the kernel's version goes beside it, in
    // BesideFile() (kBeside).
    WriteBack WriteBackChanges();
    std::string BesideFile() const { return file_ + ".kernel"; }
    // The application's base directory: app_path, or the application directory.
    std::string BaseDir() const;
    // Sets every field to its default, as a load of an empty file would.
    void ApplyDefaults();

    // Scripts change the file image, not the settings in use: a key set or deleted here is
    // saved as set (SaveConfig does not write the old setting over it) and takes effect when
    // the settings are read again from the image (ReadImage, or the reload that follows).
    // "" when set, else why the value was refused (ConfigValueError) and nothing changed.
    std::string SetImageValue(std::string_view section, std::string_view key, std::string_view value);
    void DeleteImageValue(std::string_view section, std::string_view key);
    // Reads every setting again from the image, as LoadConfig does from the file.
    void ReadImage();

    // Set by a script thread that wants the image read into the settings: the main loop does it
    // (the settings are only ever rewritten there) and clears the flag when done.
    std::atomic<bool> image_read_requested{false};
    // Reload request, set by admin and cron scripts, read and cleared by the main loop only.
    std::atomic<bool> reload_pending{false};
    std::atomic<int> reload_mode{-1};

    // [CONFIG]
    String app_path;
    int loglevel = 0;
    String listen_ip;
    String listen_port;
    int n_max_listen = 20;
    // Event loops (threads) the sessions share; 0: one per core.
    int io_threads = 0;
    // Every client connection starts with a PROXY protocol header (v1 or v2) from a load
    // balancer on `proxy_from` (address list); anything else is dropped.
    bool proxy_protocol = false;
    StringList proxy_from;
    String smtp_server1, smtp_server2, smtp_server3, smtp_server4;
    int smtp_port1 = 225, smtp_port2 = 0, smtp_port3 = 0, smtp_port4 = 0;
    String trasp_1, trasp_2, trasp_3, trasp_4;
    int smtp_type = 1;
    String myippub, myname, myemail;
    float score_for_spam = 5.0f;
    float score_for_spam_max_hit = 20.0f;
    int socket_select_time = 300;
    int buffer_socket_size = 4096;
    String krnversion;
    int log_rot_type = 2;
    int log_rot_value = 1;
    String adapter_ip;
    // [DNS]
    StringList dns_nameservers;
    int dns_timeout_millisecond = 2000;
    int dns_delete_old_record_type = 60;
    int dns_delete_old_record_time = 30;
    // [DNSBL]
    StringList dnsbl_zones;
    StringList dnsbl_wip;
    int dnsbl_timeout_millisecond = 2100;
    int dnsbl_timeout_millisecond_sc = 500;
    int dnsbl_delete_old_record_type = 60;
    int dnsbl_delete_old_record_time = 30;
    int maxhit = 3;
    int maxreplies = 4;
    bool enable_dnsbl = true;
    bool reject_dnsbl = true;
    // [FIREWALL]
    StringList relayip;
    int max_session_ip = 3;
    // How clients are grouped for the session limit, the IP embargo and greylisting: the
    // prefix length that makes one client (the whole address: each address on its own).
    int client_prefix_ipv4 = 32;
    int client_prefix_ipv6 = 64;
    // [HISTORY]: the message history keeps the newest this many sessions.
    int history_max_records = 100000;
    // [QUARANTINE]: the held quarantine. The most a message held whole may weigh; how long a
    // held message is kept; whether the shipped policy holds spam instead of refusing it.
    int held_max_bytes = 10 * 1024 * 1024;
    int held_keep_days = 30;
    bool hold_spam = false;
    int error_max = 3;
    int cmd_noop = 3;
    int timeout_client = 60;
    // Seconds the MTA may take to answer the end of a message, and any other command.
    int mta_timeout_data = 600;
    int mta_timeout_cmd = 300;
    // [BAYES]
    float occorenze_per = 32.0f;
    float p_bayes_ham = -3.99f;
    float p_bayes_spam = 6.1f;
    int bayes_delete_mail_type = 3600;
    int bayes_delete_mail_time = 72;
    // The statistical filter: Robinson's strength and prior, the least distance from 0.5 a
    // token must have to count, how many count at most, the score cut-offs of its verdicts,
    // the messages of each class it must have learned before it gives one, and the age in days
    // at which tokens seen only once are forgotten.
    float bayes_strength = 4.0f;
    float bayes_prior = 0.5f;
    float bayes_min_dev = 0.2f;
    int bayes_max_tokens = 150;
    float bayes_spam_cutoff = 0.9f;
    float bayes_ham_cutoff = 0.2f;
    int bayes_min_learned = 50;
    int bayes_expire_days = 90;
    // The policy's autolearning (off unless bayes_autolearn is 1): a message whose score
    // without the filter is at least bayes_autolearn_spam is learned as spam, one whose score
    // is at most bayes_autolearn_ham as ham.
    int bayes_autolearn = 0;
    float bayes_autolearn_spam = 10.0f;
    float bayes_autolearn_ham = -2.0f;
    // [GREYLIST]
    int grey_delete_mail_type = 3600;
    int grey_delete_mail_time = 12;
    int grey_embargo_type = 60;
    int grey_embargo_time = 1;
    float grey_forged_score = 0.9f;
    StringList grey_wip;
    // [ALWL]
    int alwl_transito_type = 3600;
    int alwl_transito_time = 96;
    float alwl_score = -10.0f;
    // [HELO]
    float helo_rfc = 5.0f;
    float helo_ip = 2.5f;
    bool helo_forget_reject = true;
    float p_helo_forget = 10.0f;
    // [RFC] reply templates, each ending in CR LF once loaded
    String rfc421, rfc530, rfc550, rfc554, rfc451;
    // [COMMUNITY]
    int cmy_timeout = 400;
    float cmy_softfail = 2.5f;
    float cmy_fail = 5.0f;
    float cmy_hardfail = 10.0f;
    // The cooperative network: servers asked ("host:port"), the shared secret, this kernel's
    // name in its announcements (default myname), and the server side (off at port 0).
    StringList cmy_servers;
    String cmy_secret;
    String cmy_peer_name;
    String cmy_serve_ip;
    int cmy_serve_port = 0;
    int cmy_serve_softfail = 1, cmy_serve_fail = 2, cmy_serve_hardfail = 3;
    int cmy_serve_age_hours = 48;
    // [TLS] STARTTLS offered to clients with this certificate; towards the MTA "none", "may"
    // (when it offers STARTTLS) or "must" (the session is refused without it).
    bool tls_enable = false;
    String tls_cert_file;
    String tls_key_file;
    String tls_min_version;
    String tls_ciphers;
    String tls_mta;
    // [SPF]
    bool spf_enable = true;
    bool spf_reject_fail = true;
    float spf_score_pass = 0.0f;
    float spf_score_softfail = 4.9f;
    float spf_score_fail = 5.0f;
    int spf_cache_type = 86400;
    int spf_cache_time = 2;
    // Read and written for the files that hold it; SPF follows RFC 7208's fixed limits now.
    int spf_max_recursion = 30;
    // [PHISHING]
    float phishing_score = 10.0f;
    bool automatico = false;
    int tempo = 0;
    bool euristica = true;
    // [READMIN]
    bool admin_enable = false;
    // Loopback unless the operator opens it: the protocol's proof is a digest sent in clear.
    String admin_listen_ip;
    int admin_port = 33;
    int admin_max_listen = 20;
    String admin_key;
    String superuser;
    String password;
    int admin_socket_select_time = 300;
    int admin_buffer_socket_size = 4096;
    StringList ip_allow;
    // [CS_SCRIPT]
    bool script_enable = false;
    bool enable_cache_script = false;
    StringList cs_scripts;
    // [REDIS]: state shared by several kernels; an empty server keeps everything local.
    String redis_server;
    String redis_password;
    int redis_db = 0;
    String redis_prefix;
    int redis_timeout_ms = 50;
    bool redis_tls = false;
    int redis_backoff_seconds = 30;  // on the local tables after a failure
    // [METRICS]: the monitoring listener; empty for none.
    String metrics_listen;
    // [WEBGUI]
    String web_listen;
    String web_port;
    int web_maxconn = 20;
    int web_buffer_out = 1024;
    int web_time_keep_alive = 10;
    int web_max_select_socket_server = 600;
    int web_min_select_socket_child = 150;
    int web_num_server = 5;
    String web_path;
    // [HEADER_MSG]
    String x_subject;
    String x_morvane_spam;

private:
    // Keys computed at load when the file has none.
    String GeneratedAdminKey() const;

    void ReadFieldsLocked() REQUIRES(busy_);
    void FillMissingLocked() REQUIRES(busy_);
    static std::string PinKey(std::string_view section, std::string_view key);
    bool PinnedLocked(const char* section, const char* key, bool list) const REQUIRES(busy_);
    // The fields written into the entries, as the file would hold them (busy_ held).
    std::string RenderLocked() REQUIRES(busy_);
    // Remembers what was read or written: the rendered settings and the file's bytes.
    void MarkInSyncLocked() REQUIRES(busy_);
    // Writes the file; `rendered` is RenderLocked()'s text, just made.
    bool SaveLocked(std::string rendered) REQUIRES(busy_);

    common::Mutex busy_;  // load and save exclude each other
    std::string app_dir_;
    std::string file_;
    std::string baseline_ GUARDED_BY(busy_);          // RenderLocked() at the last load or save
    std::string on_disk_ GUARDED_BY(busy_);           // the file's bytes then
    std::set<std::string> pinned_ GUARDED_BY(busy_);  // image keys scripts set since the last read
};

}  // namespace config
