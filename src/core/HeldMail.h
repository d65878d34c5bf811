#pragma once
// CHeldMail: messages the policy held instead of delivering or refusing. The client was told
// 250; the MTA never got the message. Each is kept whole, byte for byte as the client sent it
// (unstuffed), in "ID.eml" with its envelope in "ID.env" (an INI file) under the folder, until an
// operator releases it (delivered once, through a new SMTP connection, with the original
// envelope), deletes it, or it expires.
//
// Any thread may call it; releases and deletions are serialized, so one message is never
// released twice, even by two operators at once.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/ThreadSafety.h"

namespace core {

struct HeldEnvelope {
    std::string sender;  // without angle brackets
    std::vector<std::string> recipients;
    std::string client_ip, helo, subject, reasons;
    int64_t time = 0;  // when held, seconds since 1970
    int64_t size = 0;
    std::string released;  // "" while held; else "TIME by USER"
};

struct HeldItem {
    std::string id;
    HeldEnvelope env;
};

class CHeldMail {
public:
    explicit CHeldMail(std::string dir);
    const std::string& Folder() const { return dir_; }

    // Keeps a message; its id, or "" when it could not be written (errno tells why).
    std::string Hold(std::string_view message, const HeldEnvelope& env);
    // Newest first; `search` (without regard to case) in the id, sender, recipients, subject,
    // client and reasons. `total` gets how many match.
    std::vector<HeldItem> List(std::string_view search, size_t start, size_t count, size_t* total) const;
    std::optional<HeldItem> Get(std::string_view id) const;
    // The message's bytes, "" when there is none.
    std::string Message(std::string_view id) const;
    // Delivers it to host:port and marks it released by `user`; "" on success, else why not
    // (no such message, released already, the MTA's refusal: it stays held then).
    std::string Release(std::string_view id, std::string_view user, const std::string& host, int port,
                        const std::string& helo);
    bool Delete(std::string_view id);
    // Deletes what was held more than `keep_days` days before `now`; how many.
    int Expire(int64_t now, int keep_days);

    // An id as Hold makes them: digits, lower-case hex and '-', at most 64 bytes.
    static bool ValidId(std::string_view id);

private:
    std::string Path(std::string_view id, const char* ext) const;
    std::optional<HeldEnvelope> ReadEnvelope(std::string_view id) const;
    bool WriteEnvelope(std::string_view id, const HeldEnvelope& env) const;
    std::vector<std::string> Ids() const;

    const std::string dir_;
    common::Mutex mu_;  // releases and deletions
};

}  // namespace core
