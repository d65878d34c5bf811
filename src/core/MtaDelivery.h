#pragma once
// Sending a held or quarantined message on to the MTA: the envelope comes from its record
// (the shipped policy stores "client-ip sender" and the recipients separated by blanks), the
// message from its file. A plain SMTP client with a time-out on every reply and a limit on
// every reply line, so a stuck or hostile MTA cannot hold a web child for long.
#include <string>
#include <string_view>
#include <vector>

namespace core {

struct Envelope {
    std::string sender;  // without angle brackets; "" for the null sender
    std::vector<std::string> recipients;
};

// The envelope of a quarantine record's data: text1 0x02 text2 0x02 subject.
Envelope EnvelopeOf(std::string_view record);

// "" when the MTA accepted the message for at least one recipient, else what went wrong.
std::string SendToMta(const std::string& host, int port, const std::string& helo, const Envelope& envelope,
                      std::string_view message, int timeout_ms = 30000);

// The message as the DATA phase carries it: CR LF line ends, leading dots doubled, ending
// with CR LF "." CR LF.
std::string DotStuffed(std::string_view message);

}  // namespace core
