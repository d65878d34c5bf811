#pragma once
// What a session leaves in the message history: it watches the commands the relay takes and the
// replies the client gets, and the policy's marks (tagged, greylisted, its score line, notes),
// and says at the end what happened. The relay answers one command at a time, so a reply
// belongs to the command of the phase it arrives in.
#include <cstdint>
#include <string>
#include <string_view>

#include "store/History.h"

namespace core {

class SessionTrace {
public:
    // The recipients of the transaction, as the client gave them.
    const std::string& Recipients() const { return recipients_; }
    const std::string& Reasons() const { return reasons_; }
    // Recipients and notes are cut here: a client sending thousands of RCPT lines or a script
    // noting in a loop never grows a record.
    static constexpr size_t kMaxText = 1024;

    void Start(int64_t wall_seconds, int64_t steady_ms);
    // The command being handled: "helo", "mail", "rcpt", "data" (MAIL starts a transaction).
    void Command(std::string_view phase);
    void Recipient(std::string_view address);
    void MessageBytes(size_t n) { size_ += static_cast<int64_t>(n); }
    // The client's message is complete: replies now answer it.
    void EndOfData() { phase_ = "end of data"; }
    // The start of the message, as the checks read it: its Message-Id.
    void MessageStart(std::string_view text) { message_id_ = MessageId(text); }
    // Text on its way to the client, whole replies or several.
    void Replies(std::string_view text);
    void Tagged() { tagged_ = true; }
    void Held() { held_ = true; }
    void Greylisted() { greylisted_ = true; }
    // A header line the policy added; the kernel's own score line gives the reasons.
    void HeaderAdded(std::string_view line);
    void Note(std::string_view text);

    // The record, with what the session knows of its client; empty action: "no mail".
    store::HistoryRecord Record(int64_t steady_ms) const;

    // The Message-Id field's value in a message header, "" without one.
    static std::string MessageId(std::string_view header);

private:
    std::string phase_ = "connect";
    int64_t started_ = 0, started_ms_ = 0;
    std::string recipients_, action_, step_, reply_, reasons_, message_id_, note_;
    int64_t size_ = 0, last_size_ = 0;
    int32_t messages_ = 0;
    bool tagged_ = false, greylisted_ = false, held_ = false;
    bool decided_ = false;  // the current transaction has its outcome
};

}  // namespace core
