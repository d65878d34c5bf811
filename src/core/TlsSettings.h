#pragma once
// CTlsSettings: the [TLS] section made into the contexts sessions use. A reload (SIGHUP)
// reads the certificate and key again; when they are bad the contexts in use stay, so a
// botched certificate renewal never turns STARTTLS off under running mail.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Tls.h"

namespace config {
class CKernelConfig;
}

namespace core {

enum class MtaTls { kNone, kMay, kMust };

// What a session reads; copied into its settings at each reload.
struct TlsSnapshot {
    // STARTTLS is offered to clients when set.
    std::shared_ptr<const platform::TlsContext> server;
    // For STARTTLS towards the MTA; set when `mta` is not kNone.
    std::shared_ptr<const platform::TlsContext> client;
    MtaTls mta = MtaTls::kNone;
};

class CTlsSettings {
public:
    using LogLines = std::vector<std::pair<int, std::string>>;
    // Reads [TLS]; what an operator should know goes to `log` as (level, text).
    void Reload(const config::CKernelConfig& c, LogLines* log);
    const TlsSnapshot& Current() const { return current_; }

    // "none", "may", "must" in any case; nullopt-like kNone with `known` false otherwise.
    static MtaTls ParseMtaTls(const std::string& text, bool* known);

private:
    TlsSnapshot current_;
    // The files the server context was made from, for the log line when they fail.
    std::string cert_file_;
};

}  // namespace core
