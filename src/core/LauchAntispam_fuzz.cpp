// A session fed arbitrary client bytes in front of a strict model MTA. Whatever the client
// sends, the bytes that reach the MTA must split into commands and messages exactly where the
// session split them: every command the MTA reads is one the session took (one at a time, each
// a clean CR LF line, never STARTTLS or BDAT), no message byte comes before the MTA's 354, every
// message ends where the session ended it and has only CR LF lines. The client never sees the
// extensions the relay cannot carry, and every buffer stays bounded.
//
// Input: records of [op byte][length byte][bytes]. op bit 0 clear: client bytes; set: the
// model MTA answers the oldest command it has not answered, in the variant the first byte
// picks, cut in two where op's upper bits say. An input whose first byte is 0xFF feeds raw MTA
// bytes instead (no model): the bounds still hold.
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "core/LauchAntispam.h"
#include "core/MorvaneCore.h"
#include "core/SessionProbe.h"
#include "platform/TestTempDir.h"

namespace {

constexpr const char* kScript = R"(CS_ANTISPAM_SCRIPT k = new CS_ANTISPAM_SCRIPT($_this);
int OnHelo(string h, string w) {
    k.InjectionExtensionMTA("250-X-FUZZ\r\n");
    k.DropExtensionMTA("250-PIPELINING\r");
    return 0;
}
int OnRcptTo(string a) {
    if (k.REeq(a, "^reject", 1)) { k.DropBufferToMTA(); k.SendToClient("550 no\r\n"); }
    return 0;
}
string from = "";
int OnMailFrom(string a) { from = a; return 0; }
int OnCommandData(int hold) {
    if (k.REeq(from, "^grey", 1)) { k.DropBufferToMTA(); k.SendToClient("451 later\r\n"); }
    return 0;
}
int OnDoneAntispamFilter() {
    k.ModifyHeaderSubject("[F]");
    k.WriteHeaderMessage("X-F: 1");
    if (k.REeq(k.GetEmailSubject(), "drop", 1)) { k.DropBufferToMTA(); k.SendToClient("554 dropped\r\n"); }
    return 0;
}
int OnReplyMTA(string r) { return k.REeq(r, "^421", 0); }
)";

struct World {
    World() {
        std::filesystem::create_directories(dir.Path() / "scripts");
        std::ofstream(dir.File("scripts/core.cs")) << kScript;
        config.listen_port = "";
        core = std::make_unique<core::CMorvaneCore>(config, dir.Path().string());
        auto s = std::make_shared<core::SessionSettings>();
        s->recv_size = 256;
        s->scripts = {common::String("1|core.cs")};
        s->script_dir = dir.File("scripts/");
        settings = s;
    }
    platform::TestTempDir dir;
    config::CKernelConfig config{""};
    std::unique_ptr<core::CMorvaneCore> core;
    std::shared_ptr<const core::SessionSettings> settings;
};

[[noreturn]] void Fault() {
    std::abort();
}

// A strict RFC 5321 server reading what the session sent it, segment by segment.
class ModelMta {
public:
    enum class Due { Command, Ehlo, Data, Message };

    void Read(char kind, const std::string& bytes) {
        if (kind == 'c') {
            // One whole command, when nothing is outstanding and no message is being read.
            if (in_data_ || !due_.empty()) Fault();
            if (bytes.size() < 2 || bytes.compare(bytes.size() - 2, 2, "\r\n") != 0) Fault();
            const std::string_view line(bytes.data(), bytes.size() - 2);
            if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) Fault();
            const std::string upper = Upper(line);
            if (upper.rfind("STARTTLS", 0) == 0 || upper.rfind("BDAT", 0) == 0) Fault();
            due_.push_back(upper.rfind("EHLO", 0) == 0   ? Due::Ehlo
                           : upper.rfind("DATA", 0) == 0 ? Due::Data
                                                         : Due::Command);
            return;
        }
        // Message data: only after 354, and the end only where the session's data ends.
        if (!in_data_) Fault();
        for (size_t i = 0; i < bytes.size(); ++i) {
            const char c = bytes[i];
            if (c == '\n' && (i == 0 ? last_ != '\r' : bytes[i - 1] != '\r')) Fault();
            if (last_ == '\r' && c != '\n') Fault();
            line_ += c;
            last_ = c;
            if (c != '\n') continue;
            if (line_ == ".\r\n") {
                if (i + 1 != bytes.size()) Fault();  // the MTA would read the rest as commands
                in_data_ = false;
                due_.push_back(Due::Message);
            }
            line_.clear();
        }
    }
    // The reply to the oldest command, in the variant `pick` chooses; empty when none is due.
    std::string Answer(uint8_t pick) {
        if (due_.empty()) return std::string();
        const Due d = due_.front();
        due_.pop_front();
        switch (d) {
            case Due::Ehlo:
                return pick & 1 ? "250-model\r\n250-STARTTLS\r\n250-PIPELINING\r\n250 CHUNKING\r\n"
                                : "250-model\r\n250-chunking\r\n250-BINARYMIME\r\n250 starttls\r\n";
            case Due::Data:
                if (pick & 1) return "554 no valid recipients\r\n";
                in_data_ = true;
                line_.clear();
                last_ = '\n';
                return "354 go ahead\r\n";
            case Due::Message: return pick & 1 ? "451 try later\r\n" : "250 queued\r\n";
            case Due::Command: break;
        }
        static const char* const kReplies[] = {"250 ok\r\n", "550 no such user\r\n", "500 what\r\n",
                                               "250-multi\r\n250 line\r\n", "421 closing\r\n"};
        return kReplies[pick % 5];
    }

private:
    static std::string Upper(std::string_view s) {
        std::string out(s);
        for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return out;
    }
    std::deque<Due> due_;
    bool in_data_ = false;
    std::string line_;
    char last_ = '\n';
};

void CheckBounds(const core::SessionProbe& probe) {
    const size_t recv = probe.RecvSize();
    if (probe.Pending().size() > core::CLauchAntispam::kMaxLine + 2 * recv) Fault();
    if (probe.Held().size() > core::CLauchAntispam::kHoldLimit + 4 * recv) Fault();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    static World world;
    core::CLauchAntispam session(*world.core, false);
    core::SessionProbe probe(session, world.settings);
    probe.Mta("220 model\r\n");
    const bool raw = size > 0 && data[0] == 0xFF;
    ModelMta mta;
    size_t read = 0;  // segments the model has read
    size_t at = raw ? 1 : 0;
    while (at + 2 <= size && !probe.Ended()) {
        const uint8_t op = data[at];
        const size_t n = std::min<size_t>(data[at + 1], size - at - 2);
        std::string_view bytes(reinterpret_cast<const char*>(data) + at + 2, n);
        at += 2 + n;
        if (!(op & 1)) {
            probe.Client(bytes);
        } else if (raw) {
            probe.Mta(bytes);
        } else {
            const std::string reply = mta.Answer(n > 0 ? static_cast<uint8_t>(bytes[0]) : 0);
            const size_t cut = std::min<size_t>(op >> 1, reply.size());
            if (!reply.empty()) {
                probe.Mta(std::string_view(reply).substr(0, cut));
                probe.Mta(std::string_view(reply).substr(cut));
            }
        }
        CheckBounds(probe);
        if (raw) continue;
        for (; read < probe.segments.size(); ++read) mta.Read(probe.segments[read].first, probe.segments[read].second);
        std::string seen = probe.to_client;
        for (char& c : seen) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (seen.find("STARTTLS") != std::string::npos || seen.find("CHUNKING") != std::string::npos) Fault();
    }
    return 0;
}
