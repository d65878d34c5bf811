#include "core/MtaDelivery.h"

#include "common/String.h"
#include "platform/SocketComm.h"

namespace core {

namespace {

constexpr size_t kMaxReplyBytes = 65536;
constexpr size_t kMaxRecipients = 1000;

std::string Bare(std::string_view address) {
    while (!address.empty() && (address.front() == '<' || address.front() == ' ')) address.remove_prefix(1);
    while (!address.empty() && (address.back() == '>' || address.back() == ' ')) address.remove_suffix(1);
    // A line break would end the command early and start one of the record's choosing.
    if (address.find_first_of("\r\n") != std::string_view::npos) return {};
    return std::string(address);
}

// Reads one whole reply (continuation lines "NNN-"); its code, 0 on time-out or a broken one.
int ReadReply(platform::CSocketComm& s, std::string* pending, int timeout_ms, std::string* text) {
    char buf[4096];
    for (;;) {
        // A complete reply is a run of lines whose last has a blank after the code.
        size_t start = 0;
        for (;;) {
            size_t end = pending->find("\r\n", start);
            if (end == std::string::npos) break;
            std::string_view line(pending->data() + start, end - start);
            if (line.size() < 3) return 0;
            if (line.size() == 3 || line[3] == ' ') {
                *text = pending->substr(0, end);
                int code = std::atoi(std::string(line.substr(0, 3)).c_str());
                pending->erase(0, end + 2);
                return code;
            }
            start = end + 2;
        }
        if (pending->size() > kMaxReplyBytes) return 0;
        int n = s.Recv(buf, sizeof buf, timeout_ms);
        if (n <= 0) return 0;
        pending->append(buf, static_cast<size_t>(n));
    }
}

}  // namespace

Envelope EnvelopeOf(std::string_view record) {
    Envelope e;
    size_t a = record.find('\x02');
    std::string_view text1 = record.substr(0, a);
    std::string_view text2;
    if (a != std::string_view::npos) {
        size_t b = record.find('\x02', a + 1);
        text2 = record.substr(a + 1, b == std::string_view::npos ? std::string_view::npos : b - a - 1);
    }
    // text1: "client-ip sender"; a lone word is the sender.
    size_t sp = text1.find(' ');
    e.sender = Bare(sp == std::string_view::npos ? text1 : text1.substr(sp + 1));
    for (std::string_view r : common::SplitNonEmpty(text2, ' ')) {
        std::string bare = Bare(r);
        if (!bare.empty() && e.recipients.size() < kMaxRecipients) e.recipients.push_back(bare);
    }
    return e;
}

std::string DotStuffed(std::string_view message) {
    std::string out;
    out.reserve(message.size() + message.size() / 64 + 8);
    bool line_start = true;
    for (size_t i = 0; i < message.size(); ++i) {
        char c = message[i];
        if (line_start && c == '.') out += '.';
        if (c == '\n' && (i == 0 || message[i - 1] != '\r')) out += '\r';
        out += c;
        line_start = c == '\n';
    }
    if (!out.empty() && !line_start) out += "\r\n";
    out += ".\r\n";
    return out;
}

std::string SendToMta(const std::string& host, int port, const std::string& helo, const Envelope& envelope,
                      std::string_view message, int timeout_ms) {
    platform::CSocketComm s;
    if (!s.Connect(host, std::to_string(port), "", timeout_ms))
        return "cannot connect to the MTA " + host + ":" + std::to_string(port);
    std::string pending, reply;
    auto step = [&](const std::string& command, int expect_class) -> bool {
        if (!command.empty() && s.Send(command, timeout_ms) <= 0) {
            reply = "the MTA closed the connection";
            return false;
        }
        int code = ReadReply(s, &pending, timeout_ms, &reply);
        if (code == 0) reply = "no answer from the MTA";
        return code / 100 == expect_class;
    };
    auto fail = [&](const char* what) {
        std::string r = reply.substr(0, 200);
        s.Send("QUIT\r\n", 1000);
        return std::string(what) + ": " + r;
    };
    if (!step("", 2)) return fail("greeting");
    if (!step("HELO " + (helo.empty() ? std::string("localhost") : helo) + "\r\n", 2)) return fail("HELO");
    if (!step("MAIL FROM:<" + envelope.sender + ">\r\n", 2)) return fail("MAIL FROM");
    size_t accepted = 0;
    for (const std::string& r : envelope.recipients)
        if (step("RCPT TO:<" + r + ">\r\n", 2)) ++accepted;
    if (accepted == 0) return fail("RCPT TO");
    if (!step("DATA\r\n", 3)) return fail("DATA");
    if (!step(DotStuffed(message), 2)) return fail("message");
    s.Send("QUIT\r\n", 1000);
    return {};
}

}  // namespace core
