#include "config/KernelConfig.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string_view>
#include <variant>

#include "common/IpAddress.h"
#include "common/ListenAddresses.h"
#include "common/Md5.h"
#include "platform/KFile.h"

namespace config {

namespace {

using C = CKernelConfig;
using Field = std::variant<int C::*, bool C::*, float C::*, String C::*, StringList C::*>;

enum KeyFlags : int {
    kWritten = 1,
    kReply = 2,      // SMTP reply template: CR LF is added at load
    kFixedFour = 4,  // a list of exactly _0.._3 whose empty members are skipped
};

// What a value must look like beyond its type.
enum class Shape : uint8_t {
    kAny,
    kPort,           // a decimal port, 0 to 65535 (0: the system picks one)
    kIpAddress,      // an address literal of either family, as the listeners bind ("::": both)
    kIpAddressList,  // such addresses separated by blanks or commas, as a listener may take
    kEndpoint,       // "address:port" ("[v6]:port" for IPv6), or empty for none
};

struct KeyDef {
    const char* section;
    const char* key;  // for lists, the stem before "_%d"
    Field field;
    const char* def;  // for lists, entries separated by '\n'
    int flags;
    // Numbers: the range a value must fall in; strings: their shape.
    double lo = -2147483648.0, hi = 2147483647.0;
    Shape shape = Shape::kAny;
};

// The four default block lists with the weight a hit adds to the score.
constexpr const char* kDefaultZones =
    "bl.spamcop.net|1.450\n"
    "dnsbl.sorbs.net|1.450\n"
    "zen.spamhaus.org|4.850\n"
    "b.barracudacentral.org|4.500";
// A large provider whose outbound pool retries from different addresses: greylisting it by
// address only delays mail without stopping spam.
constexpr const char* kDefaultGreyException = "google.com||";
constexpr const char* kDefaultTrasp = "mail.example.com";

// Every key in load order; Save writes the kWritten ones in the same order.
const KeyDef kKeys[] = {
    {"CONFIG", "app_path", &C::app_path, "", 0},
    {"CONFIG", "loglevel", &C::loglevel, "0", kWritten, 0, 4},
    {"CONFIG", "listen_ip", &C::listen_ip, "0.0.0.0", kWritten, -2147483648.0, 2147483647.0, Shape::kIpAddressList},
    {"CONFIG", "listen_port", &C::listen_port, "25", kWritten, -2147483648.0, 2147483647.0, Shape::kPort},
    {"CONFIG", "n_max_listen", &C::n_max_listen, "20", kWritten, -2147483648.0, 100000},
    {"CONFIG", "io_threads", &C::io_threads, "0", kWritten, 0, 256},
    {"CONFIG", "proxy_protocol", &C::proxy_protocol, "0", kWritten},
    {"CONFIG", "proxy_from", &C::proxy_from, "", kWritten},
    {"CONFIG", "smtp_server1", &C::smtp_server1, "localhost", kWritten},
    {"CONFIG", "smtp_server2", &C::smtp_server2, "", kWritten},
    {"CONFIG", "smtp_server3", &C::smtp_server3, "", kWritten},
    {"CONFIG", "smtp_server4", &C::smtp_server4, "", kWritten},
    {"CONFIG", "smtp_port1", &C::smtp_port1, "225", kWritten, 0, 65535},
    {"CONFIG", "smtp_port2", &C::smtp_port2, "0", kWritten, 0, 65535},
    {"CONFIG", "smtp_port3", &C::smtp_port3, "0", kWritten, 0, 65535},
    {"CONFIG", "smtp_port4", &C::smtp_port4, "0", kWritten, 0, 65535},
    {"CONFIG", "trasp_1", &C::trasp_1, kDefaultTrasp, kWritten},
    {"CONFIG", "trasp_2", &C::trasp_2, "", kWritten},
    {"CONFIG", "trasp_3", &C::trasp_3, "", kWritten},
    {"CONFIG", "trasp_4", &C::trasp_4, "", kWritten},
    {"CONFIG", "smtp_type", &C::smtp_type, "1", kWritten, 1, 3},
    {"CONFIG", "myippub", &C::myippub, "", kWritten},
    {"CONFIG", "myname", &C::myname, "", kWritten},
    {"CONFIG", "myemail", &C::myemail, "", kWritten},
    {"CONFIG", "score_for_spam", &C::score_for_spam, "5.0", kWritten},
    {"CONFIG", "score_for_spam_max_hit", &C::score_for_spam_max_hit, "20.0", kWritten},
    {"CONFIG", "socket_select_time", &C::socket_select_time, "300", kWritten},
    {"CONFIG", "buffer_socket_size", &C::buffer_socket_size, "4096", kWritten},
    {"CONFIG", "krnversion", &C::krnversion, "", kWritten},
    {"CONFIG", "log_rot_type", &C::log_rot_type, "2", kWritten, 0, 5},
    {"CONFIG", "log_rot_value", &C::log_rot_value, "1", kWritten},
    {"DNS", "nameserver", &C::dns_nameservers, "127.0.0.1", kWritten | kFixedFour},
    {"DNS", "timeout_millisecond", &C::dns_timeout_millisecond, "2000", kWritten, 0, 600000},
    {"DNS", "delete_old_record_type", &C::dns_delete_old_record_type, "60", kWritten},
    {"DNS", "delete_old_record_time", &C::dns_delete_old_record_time, "30", kWritten},
    {"DNSBL", "nameserver", &C::dnsbl_zones, kDefaultZones, kWritten},
    {"DNSBL", "wip", &C::dnsbl_wip, "", kWritten},
    {"DNSBL", "timeout_millisecond", &C::dnsbl_timeout_millisecond, "2100", kWritten, 0, 600000},
    {"DNSBL", "timeout_millisecond_sc", &C::dnsbl_timeout_millisecond_sc, "500", kWritten, 0, 600000},
    {"DNSBL", "delete_old_record_type", &C::dnsbl_delete_old_record_type, "60", kWritten},
    {"DNSBL", "delete_old_record_time", &C::dnsbl_delete_old_record_time, "30", kWritten},
    {"DNSBL", "maxhit", &C::maxhit, "3", kWritten, 0, 1000},
    {"DNSBL", "maxreplies", &C::maxreplies, "4", kWritten, 0, 1000},
    {"DNSBL", "enable_dnsbl", &C::enable_dnsbl, "1", kWritten},
    {"DNSBL", "reject_dnsbl", &C::reject_dnsbl, "1", kWritten},
    {"FIREWALL", "relayip", &C::relayip, "", kWritten},
    {"FIREWALL", "max_session_ip", &C::max_session_ip, "3", kWritten, 0, 100000},
    {"FIREWALL", "client_prefix_ipv4", &C::client_prefix_ipv4, "32", kWritten, 8, 32},
    {"FIREWALL", "client_prefix_ipv6", &C::client_prefix_ipv6, "64", kWritten, 16, 128},
    {"HISTORY", "max_records", &C::history_max_records, "100000", kWritten, 100, 10000000},
    {"QUARANTINE", "max_bytes", &C::held_max_bytes, "10485760", kWritten, 32768, 104857600},
    {"QUARANTINE", "keep_days", &C::held_keep_days, "30", kWritten, 1, 3650},
    {"QUARANTINE", "hold_spam", &C::hold_spam, "0", kWritten},
    {"FIREWALL", "error_max", &C::error_max, "3", kWritten},
    {"FIREWALL", "cmd_noop", &C::cmd_noop, "3", kWritten},
    {"FIREWALL", "timeout_client", &C::timeout_client, "60", kWritten, 1, 86400},
    {"FIREWALL", "mta_timeout_data", &C::mta_timeout_data, "600", kWritten, 1, 86400},
    {"FIREWALL", "mta_timeout_cmd", &C::mta_timeout_cmd, "300", kWritten, 1, 86400},
    {"BAYES", "occorenze_per", &C::occorenze_per, "32.0", kWritten},
    {"BAYES", "p_bayes_ham", &C::p_bayes_ham, "-3.99", kWritten},
    {"BAYES", "p_bayes_spam", &C::p_bayes_spam, "6.1", kWritten},
    {"BAYES", "bayes_delete_mail_type", &C::bayes_delete_mail_type, "3600", kWritten},
    {"BAYES", "bayes_delete_mail_time", &C::bayes_delete_mail_time, "72", kWritten},
    {"BAYES", "bayes_strength", &C::bayes_strength, "4.0", kWritten, 0.01, 100},
    {"BAYES", "bayes_prior", &C::bayes_prior, "0.5", kWritten, 0.01, 0.99},
    {"BAYES", "bayes_min_dev", &C::bayes_min_dev, "0.2", kWritten, 0, 0.49},
    {"BAYES", "bayes_max_tokens", &C::bayes_max_tokens, "150", kWritten, 1, 4000},
    {"BAYES", "bayes_spam_cutoff", &C::bayes_spam_cutoff, "0.9", kWritten, 0, 1},
    {"BAYES", "bayes_ham_cutoff", &C::bayes_ham_cutoff, "0.2", kWritten, 0, 1},
    {"BAYES", "bayes_min_learned", &C::bayes_min_learned, "50", kWritten, 1, 1000000},
    {"BAYES", "bayes_expire_days", &C::bayes_expire_days, "90", kWritten, 1, 36500},
    {"BAYES", "bayes_autolearn", &C::bayes_autolearn, "0", kWritten, 0, 1},
    {"BAYES", "bayes_autolearn_spam", &C::bayes_autolearn_spam, "10.0", kWritten, -1000, 1000},
    {"BAYES", "bayes_autolearn_ham", &C::bayes_autolearn_ham, "-2.0", kWritten, -1000, 1000},
    {"GREYLIST", "grey_delete_mail_type", &C::grey_delete_mail_type, "3600", kWritten},
    {"GREYLIST", "grey_delete_mail_time", &C::grey_delete_mail_time, "12", kWritten},
    {"GREYLIST", "grey_embargo_type", &C::grey_embargo_type, "60", kWritten},
    {"GREYLIST", "grey_embargo_time", &C::grey_embargo_time, "1", kWritten},
    {"GREYLIST", "grey_forged_score", &C::grey_forged_score, "0.9", kWritten},
    {"GREYLIST", "wip", &C::grey_wip, kDefaultGreyException, kWritten},
    {"ALWL", "alwl_transito_type", &C::alwl_transito_type, "3600", kWritten},
    {"ALWL", "alwl_transito_time", &C::alwl_transito_time, "96", kWritten},
    {"ALWL", "alwl_score", &C::alwl_score, "-10.0", kWritten},
    {"HELO", "helo_rfc", &C::helo_rfc, "5.0", kWritten},
    {"HELO", "helo_ip", &C::helo_ip, "2.5", kWritten},
    {"HELO", "helo_forget_reject", &C::helo_forget_reject, "1", kWritten},
    {"HELO", "p_helo_forget", &C::p_helo_forget, "10.0", kWritten},
    {"RFC", "rfc421", &C::rfc421, "421 <%s> Service not available, closing transmission channel", kWritten | kReply},
    {"RFC", "rfc530", &C::rfc530, "530 Relaying not allowed", kWritten | kReply},
    {"RFC", "rfc550", &C::rfc550, "550 5.7.1 Message rejected by internal domain policy. %s", kWritten | kReply},
    {"RFC", "rfc554", &C::rfc554, "554 5.7.7 %s", kWritten | kReply},
    {"RFC", "rfc451", &C::rfc451, "451 4.7.1 GREY LIST try again later", kWritten | kReply},
    {"COMMUNITY", "cmy_timeout", &C::cmy_timeout, "400", kWritten, 0, 600000},
    {"COMMUNITY", "cmy_softfail", &C::cmy_softfail, "2.5", kWritten},
    {"COMMUNITY", "cmy_fail", &C::cmy_fail, "5.0", kWritten},
    {"COMMUNITY", "cmy_hardfail", &C::cmy_hardfail, "10.0", kWritten},
    {"COMMUNITY", "server", &C::cmy_servers, "", kWritten},
    {"COMMUNITY", "secret", &C::cmy_secret, "", kWritten},
    {"COMMUNITY", "peer_name", &C::cmy_peer_name, "", kWritten},
    {"COMMUNITY", "serve_ip", &C::cmy_serve_ip, "127.0.0.1", kWritten, -2147483648.0, 2147483647.0, Shape::kIpAddress},
    {"COMMUNITY", "serve_port", &C::cmy_serve_port, "0", kWritten, 0, 65535},
    {"COMMUNITY", "serve_softfail", &C::cmy_serve_softfail, "1", kWritten},
    {"COMMUNITY", "serve_fail", &C::cmy_serve_fail, "2", kWritten},
    {"COMMUNITY", "serve_hardfail", &C::cmy_serve_hardfail, "3", kWritten},
    {"COMMUNITY", "serve_age_hours", &C::cmy_serve_age_hours, "48", kWritten},
    {"SPF", "spf_enable", &C::spf_enable, "1", kWritten},
    {"SPF", "spf_reject_fail", &C::spf_reject_fail, "1", kWritten},
    {"SPF", "spf_score_pass", &C::spf_score_pass, "0.0", kWritten},
    {"SPF", "spf_score_softfail", &C::spf_score_softfail, "4.9", kWritten},
    {"SPF", "spf_score_fail", &C::spf_score_fail, "5.0", kWritten},
    {"SPF", "spf_cache_type", &C::spf_cache_type, "86400", kWritten},
    {"SPF", "spf_cache_time", &C::spf_cache_time, "2", kWritten},
    {"SPF", "spf_max_recursion", &C::spf_max_recursion, "30", kWritten, 1, 1000},
    {"CONFIG", "adapter_ip", &C::adapter_ip, "", kWritten},
    {"PHISHING", "phishing_score", &C::phishing_score, "10.0", kWritten},
    {"PHISHING", "automatico", &C::automatico, "0", kWritten},
    {"PHISHING", "tempo", &C::tempo, "0", kWritten},
    {"PHISHING", "euristica", &C::euristica, "1", kWritten},
    {"READMIN", "enable", &C::admin_enable, "0", kWritten},
    {"READMIN", "listen_ip", &C::admin_listen_ip, "127.0.0.1 ::1", kWritten, -2147483648.0, 2147483647.0,
     Shape::kIpAddressList},
    {"READMIN", "port", &C::admin_port, "33", kWritten, 0, 65535},
    {"READMIN", "max_listen", &C::admin_max_listen, "20", kWritten, -2147483648.0, 100000},
    {"READMIN", "key", &C::admin_key, "", kWritten},
    {"READMIN", "superuser", &C::superuser, "root", kWritten},
    {"READMIN", "password", &C::password, "", kWritten},
    {"READMIN", "socket_select_time", &C::admin_socket_select_time, "300", kWritten},
    {"READMIN", "buffer_socket_size", &C::admin_buffer_socket_size, "4096", kWritten},
    {"READMIN", "ip_allow", &C::ip_allow, "", kWritten},
    {"CS_SCRIPT", "enable", &C::script_enable, "0", kWritten},
    {"CS_SCRIPT", "enable_cache_script", &C::enable_cache_script, "0", kWritten},
    {"CS_SCRIPT", "cs", &C::cs_scripts, "1|core.cs", kWritten},
    {"WEBGUI", "listen", &C::web_listen, "127.0.0.1 ::1", kWritten, -2147483648.0, 2147483647.0, Shape::kIpAddressList},
    {"WEBGUI", "port", &C::web_port, "6969", kWritten, -2147483648.0, 2147483647.0, Shape::kPort},
    {"WEBGUI", "maxconn", &C::web_maxconn, "20", kWritten, -2147483648.0, 100000},
    {"WEBGUI", "buffer_out", &C::web_buffer_out, "1024", kWritten},
    {"WEBGUI", "time_keep_alive", &C::web_time_keep_alive, "10", kWritten, 0, 86400},
    {"WEBGUI", "max_select_socket_server", &C::web_max_select_socket_server, "600", kWritten},
    {"WEBGUI", "min_select_socket_child", &C::web_min_select_socket_child, "150", kWritten},
    {"WEBGUI", "num_server", &C::web_num_server, "5", kWritten, -2147483648.0, 64},
    {"WEBGUI", "path", &C::web_path, "", kWritten},
    {"REDIS", "server", &C::redis_server, "", kWritten},
    {"REDIS", "password", &C::redis_password, "", kWritten},
    {"REDIS", "db", &C::redis_db, "0", kWritten, 0, 100000},
    {"REDIS", "prefix", &C::redis_prefix, "morvane:", kWritten},
    {"REDIS", "timeout_ms", &C::redis_timeout_ms, "50", kWritten, 1, 60000},
    {"REDIS", "tls", &C::redis_tls, "0", kWritten},
    {"REDIS", "backoff_seconds", &C::redis_backoff_seconds, "30", kWritten, 1, 3600},
    {"METRICS", "listen", &C::metrics_listen, "127.0.0.1:9525", kWritten, -2147483648.0, 2147483647.0,
     Shape::kEndpoint},
    {"TLS", "enable", &C::tls_enable, "0", kWritten},
    {"TLS", "cert_file", &C::tls_cert_file, "", kWritten},
    {"TLS", "key_file", &C::tls_key_file, "", kWritten},
    {"TLS", "min_version", &C::tls_min_version, "TLSv1.2", kWritten},
    {"TLS", "ciphers", &C::tls_ciphers, "", kWritten},
    {"TLS", "mta_tls", &C::tls_mta, "none", kWritten},
    {"HEADER_MSG", "x_subject", &C::x_subject, "***SPAM***", kWritten},
    {"HEADER_MSG", "x_morvane_spam", &C::x_morvane_spam, "X-MORVANE-Spam: YES", kWritten},
};

StringList SplitDefault(std::string_view def) {
    StringList out;
    while (!def.empty()) {
        size_t nl = def.find('\n');
        out.emplace_back(def.substr(0, nl));
        if (nl == std::string_view::npos) break;
        def.remove_prefix(nl + 1);
    }
    return out;
}

std::string ListKey(const char* stem, int index) {
    return std::string(stem) + "_" + std::to_string(index);
}

std::string_view WithoutCrLf(std::string_view v) {
    if (v.size() >= 2 && v.substr(v.size() - 2) == "\r\n") v.remove_suffix(2);
    return v;
}

// Index of "stem_N" keys, or -1 for any other key.
int ListIndex(std::string_view key, std::string_view stem) {
    if (key.size() <= stem.size() + 1 || key.substr(0, stem.size()) != stem || key[stem.size()] != '_') return -1;
    std::string_view digits = key.substr(stem.size() + 1);
    int n = -1;
    auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    return (ec == std::errc() && p == digits.data() + digits.size()) ? n : -1;
}

// The table's entry for a key of the file ("nameserver_2" finds the list "nameserver"), or null.
const KeyDef* FindKey(std::string_view section, std::string_view key) {
    for (const KeyDef& k : kKeys) {
        if (section != k.section) continue;
        if (std::holds_alternative<StringList C::*>(k.field)) {
            if (ListIndex(key, k.key) >= 0) return &k;
        } else if (key == k.key) {
            return &k;
        }
    }
    return nullptr;
}

std::string_view Blanks(std::string_view v) {
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
    return v;
}

std::string RangeText(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

std::string CheckValue(const KeyDef& k, std::string_view raw) {
    const std::string_view v = Blanks(raw);
    auto in_range = [&](double x) -> std::string {
        if (x < k.lo || x > k.hi)
            return "\"" + std::string(v) + "\" is out of range (" + RangeText(k.lo) + " to " + RangeText(k.hi) + ")";
        return std::string();
    };
    return std::visit(
        [&](auto member) -> std::string {
            using T = std::remove_reference_t<decltype(std::declval<C&>().*member)>;
            if constexpr (std::is_same_v<T, int> || std::is_same_v<T, bool>) {
                long long x = 0;
                const char* b = v.data();
                if (!v.empty() && v.front() == '+') ++b;
                auto [end, ec] = std::from_chars(b, v.data() + v.size(), x);
                if (v.empty() || ec != std::errc() || end != v.data() + v.size())
                    return "\"" + std::string(v) + "\" is not a whole number";
                if constexpr (std::is_same_v<T, bool>) {
                    if (x != 0 && x != 1) return "\"" + std::string(v) + "\" is not 0 or 1";
                    return std::string();
                } else {
                    return in_range(static_cast<double>(x));
                }
            } else if constexpr (std::is_same_v<T, float>) {
                double x = 0;
                const char* b = v.data();
                if (!v.empty() && v.front() == '+') ++b;
                auto [end, ec] = std::from_chars(b, v.data() + v.size(), x);
                if (v.empty() || ec != std::errc() || end != v.data() + v.size())
                    return "\"" + std::string(v) + "\" is not a number";
                return in_range(x);
            } else if constexpr (std::is_same_v<T, String>) {
                if (k.shape == Shape::kPort) {
                    unsigned x = 0;
                    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), x);
                    if (v.empty() || ec != std::errc() || end != v.data() + v.size() || x > 65535)
                        return "\"" + std::string(v) + "\" is not a port (0 to 65535)";
                } else if (k.shape == Shape::kIpAddress && !v.empty()) {
                    if (!common::IpAddress::Parse(v) || v.front() == '[')
                        return "\"" + std::string(v) + "\" is not an IP address";
                } else if (k.shape == Shape::kEndpoint && !v.empty()) {
                    if (!common::ParseAddressPort(v))
                        return "\"" + std::string(v) + "\" is not an address and port (127.0.0.1:9525, [::1]:9525)";
                } else if (k.shape == Shape::kIpAddressList) {
                    for (const std::string& one : common::SplitListenAddresses(v))
                        if (!common::IpAddress::Parse(one) || one.front() == '[')
                            return "\"" + one + "\" is not an IP address";
                }
                return std::string();
            } else {
                return std::string();
            }
        },
        k.field);
}

}  // namespace

std::string ConfigValueError(std::string_view section, std::string_view key, std::string_view value) {
    const std::string why = store::CFileINI::WriteError(section, key, value);
    if (!why.empty()) return why;
    const KeyDef* k = FindKey(section, key);
    if (!k) return std::string();
    std::string bad = CheckValue(*k, value);
    return bad.empty() ? bad : "[" + std::string(section) + "] " + std::string(key) + ": " + bad;
}

bool IsKnownKey(std::string_view section, std::string_view key) {
    return FindKey(section, key) != nullptr || (section == "CONFIG" && key == "idconn");
}

std::vector<ConfigProblem> CheckConfigText(std::string_view text) {
    std::vector<ConfigProblem> out;
    using Kind = store::IniLine::Kind;
    bool broken_section = false;
    for (const store::IniLine& l : store::CFileINI::ParseLines(text)) {
        auto add = [&](bool error, std::string message) { out.push_back({l.number, error, std::move(message)}); };
        const std::string shown = l.text.size() > 80 ? l.text.substr(0, 80) + "..." : l.text;
        switch (l.kind) {
            case Kind::kComment: break;
            case Kind::kHeader: broken_section = false; break;
            case Kind::kBadHeader:
                broken_section = true;
                add(true, "\"" + shown +
                              "\" is not a section header \"[NAME]\": the lines up to the next header are ignored");
                break;
            case Kind::kOutside:
                // Under a broken header the header's own error says it.
                if (!broken_section) add(true, "\"" + shown + "\" is outside any section");
                break;
            case Kind::kNoEqual:
                add(true, l.text.find('\0') != std::string::npos ? "a line holds a NUL byte"
                                                                 : "\"" + shown + "\" is not KEY=VALUE");
                break;
            case Kind::kEntry: {
                const KeyDef* k = FindKey(l.section, l.key);
                if (!k) {
                    if (!IsKnownKey(l.section, l.key))
                        add(false, "unknown key \"" + l.key + "\" in [" + l.section + "] (scripts may read it)");
                    break;
                }
                std::string why = CheckValue(*k, l.value);
                if (!why.empty()) add(true, l.key + ": " + why);
                break;
            }
        }
    }
    return out;
}

CKernelConfig::CKernelConfig(std::string app_dir) : app_dir_(std::move(app_dir)) {
    ApplyDefaults();
}

std::string CKernelConfig::BaseDir() const {
    return app_path.IsEmpty() ? app_dir_ : std::string(app_path.View());
}

String CKernelConfig::GeneratedAdminKey() const {
    // Only the digest of these bytes is ever used, as a shared secret an operator copies to
    // the admin client; any process-wide generator will do.
    std::random_device rd;
    std::mt19937 gen(rd());
    std::string bytes(1024, '\0');
    for (char& b : bytes) b = static_cast<char>(gen() % 253 + 1);
    return String(common::Md5Hex(bytes));
}

void CKernelConfig::ApplyDefaults() {
    for (const KeyDef& k : kKeys) {
        std::visit(
            [&](auto member) {
                using T = std::remove_reference_t<decltype(this->*member)>;
                if constexpr (std::is_same_v<T, int>)
                    this->*member = std::atoi(k.def);
                else if constexpr (std::is_same_v<T, bool>)
                    this->*member = std::atoi(k.def) != 0;
                else if constexpr (std::is_same_v<T, float>)
                    this->*member = std::strtof(k.def, nullptr);
                else if constexpr (std::is_same_v<T, String>) {
                    this->*member = k.def;
                    if (k.flags & kReply) (this->*member).Append("\r\n");
                } else
                    this->*member = SplitDefault(k.def);
            },
            k.field);
    }
    web_path = String(BaseDir() + "/www/");
    password = String(common::Md5Hex("kelpo"));
}

void CKernelConfig::ReadFieldsLocked() {
    for (const KeyDef& k : kKeys) {
        std::visit(
            [&](auto member) {
                using T = std::remove_reference_t<decltype(this->*member)>;
                if constexpr (std::is_same_v<T, int>) {
                    this->*member = GetInt(k.section, k.key, std::atoi(k.def));
                } else if constexpr (std::is_same_v<T, bool>) {
                    this->*member = GetInt(k.section, k.key, std::atoi(k.def)) != 0;
                } else if constexpr (std::is_same_v<T, float>) {
                    this->*member = GetFloat(k.section, k.key, std::strtof(k.def, nullptr));
                } else if constexpr (std::is_same_v<T, String>) {
                    String v = GetString(k.section, k.key, k.def);
                    if (k.flags & kReply) v.Append("\r\n");
                    this->*member = std::move(v);
                } else {
                    StringList list;
                    int limit = (k.flags & kFixedFour) ? 4 : INT32_MAX;
                    for (int i = 0; i < limit; ++i) {
                        String v = GetString(k.section, ListKey(k.key, i), "");
                        if (v.IsEmpty()) {
                            if (k.flags & kFixedFour) continue;
                            break;
                        }
                        list.push_back(std::move(v));
                    }
                    if (list.empty()) list = SplitDefault(k.def);
                    this->*member = std::move(list);
                }
            },
            k.field);
    }
}

void CKernelConfig::FillMissingLocked() {
    if (web_path.IsEmpty()) web_path = String(BaseDir() + "/www/");
    if (admin_key.IsEmpty()) admin_key = GeneratedAdminKey();
    if (password.IsEmpty()) password = String(common::Md5Hex("kelpo"));
}

void CKernelConfig::LoadConfig() {
    common::MutexLock lock(busy_);
    Load(file_);  // a missing file leaves no entries: every key takes its default
    pinned_.clear();
    ReadFieldsLocked();
    // What the file says; the values chosen below for missing keys are the kernel's changes,
    // written back at stop.
    MarkInSyncLocked();
    FillMissingLocked();
}

std::string CKernelConfig::SetImageValue(std::string_view section, std::string_view key, std::string_view value) {
    std::string why = ConfigValueError(section, key, value);
    if (!why.empty()) return why;
    common::MutexLock lock(busy_);
    if (!WriteString(section, key, value)) return "the value cannot be written";
    pinned_.insert(PinKey(section, key));
    return std::string();
}

void CKernelConfig::DeleteImageValue(std::string_view section, std::string_view key) {
    common::MutexLock lock(busy_);
    DeleteKey(section, key);
    pinned_.insert(PinKey(section, key));
}

void CKernelConfig::ReadImage() {
    common::MutexLock lock(busy_);
    RenderLocked();  // the typed settings nobody overrode, so re-reading keeps them
    pinned_.clear();
    ReadFieldsLocked();
    FillMissingLocked();
}

std::string CKernelConfig::PinKey(std::string_view section, std::string_view key) {
    return std::string(section) + "\n" + std::string(key);
}

bool CKernelConfig::PinnedLocked(const char* section, const char* key, bool list) const {
    if (pinned_.empty()) return false;
    if (!list) return pinned_.count(PinKey(section, key)) > 0;
    const std::string prefix = PinKey(section, "");
    for (const std::string& p : pinned_)
        if (p.compare(0, prefix.size(), prefix) == 0 && ListIndex(std::string_view(p).substr(prefix.size()), key) >= 0)
            return true;
    return false;
}

std::string CKernelConfig::RenderLocked() {
    for (const KeyDef& k : kKeys) {
        if (!(k.flags & kWritten)) continue;
        // A key a script set in the image holds until the settings are read again from it.
        if (PinnedLocked(k.section, k.key, std::holds_alternative<StringList CKernelConfig::*>(k.field))) continue;
        // A value the kernel could not read stays as the operator wrote it (the kernel did not
        // start with it, or a reload refused it): writing the default over it would lose it.
        if (!std::holds_alternative<StringList CKernelConfig::*>(k.field) && KeyExists(k.section, k.key) &&
            !CheckValue(k, GetString(k.section, k.key, "").View()).empty())
            continue;
        std::visit(
            [&](auto member) {
                using T = std::remove_reference_t<decltype(this->*member)>;
                const T& v = this->*member;
                if constexpr (std::is_same_v<T, int>) {
                    WriteInt(k.section, k.key, v);
                } else if constexpr (std::is_same_v<T, bool>) {
                    WriteInt(k.section, k.key, v ? 1 : 0);
                } else if constexpr (std::is_same_v<T, float>) {
                    WriteFloat(k.section, k.key, v);
                } else if constexpr (std::is_same_v<T, String>) {
                    // The CR LF added at load is not part of the setting: written back it
                    // would leave a blank line after every template.
                    WriteString(k.section, k.key, (k.flags & kReply) ? WithoutCrLf(v.View()) : v.View());
                } else {
                    const int n = static_cast<int>(v.size());
                    for (int i = 0; i < n; ++i) WriteString(k.section, ListKey(k.key, i), v[i].View());
                    for (const auto& [key, value] : ToPairs(k.section)) {
                        if (ListIndex(key.View(), k.key) >= n) DeleteKey(k.section, key.View());
                    }
                }
            },
            k.field);
    }
    return Serialize();
}

void CKernelConfig::MarkInSyncLocked() {
    baseline_ = RenderLocked();
    on_disk_.clear();
    platform::ReadWholeFile(file_, on_disk_);
}

bool CKernelConfig::SaveLocked(std::string rendered) {
    if (file_.empty() || !platform::WriteFileAtomic(file_, rendered, platform::kPrivateFileMode)) return false;
    baseline_ = rendered;
    on_disk_ = std::move(rendered);
    return true;
}

bool CKernelConfig::SaveConfig() {
    common::MutexLock lock(busy_);
    return SaveLocked(RenderLocked());
}

CKernelConfig::WriteBack CKernelConfig::WriteBackChanges() {
    common::MutexLock lock(busy_);
    const std::string now = RenderLocked();
    if (now == baseline_) return WriteBack::kUnchanged;
    std::string disk;
    platform::ReadWholeFile(file_, disk);
    if (disk == on_disk_) return SaveLocked(now) ? WriteBack::kWritten : WriteBack::kFailed;
    return platform::WriteFileAtomic(BesideFile(), now, platform::kPrivateFileMode) ? WriteBack::kBeside
                                                                                    : WriteBack::kFailed;
}

}  // namespace config
