// A session fed arbitrary client bytes and MTA replies, interleaved: commands, data, replies
// and the script's rewrites must end, keep every buffer bounded, and never send the MTA a
// byte of message data before it accepted DATA.
//
// Input: records of [side byte][length byte][bytes]; side bit 0 = MTA, else client.
#include <cstdint>
#include <cstdlib>
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
int OnCommandData(int hold) {
    if (hold < 64) { k.DropBufferToMTA(); k.SendToClient("554 small\r\n"); }
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
    service::CKernelConfig config{""};
    std::unique_ptr<core::CMorvaneCore> core;
    std::shared_ptr<const core::SessionSettings> settings;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    static World world;
    core::CLauchAntispam session(*world.core, false);
    core::SessionProbe probe(session, world.settings);
    probe.Mta("220 fuzz\r\n");
    size_t at = 0;
    while (at + 2 <= size && !probe.Ended()) {
        const bool mta = data[at] & 1;
        const size_t n = std::min<size_t>(data[at + 1], size - at - 2);
        std::string_view bytes(reinterpret_cast<const char*>(data) + at + 2, n);
        at += 2 + n;
        if (mta)
            probe.Mta(bytes);
        else
            probe.Client(bytes);
        const size_t recv = probe.RecvSize();
        if (probe.Pending().size() > core::CLauchAntispam::kMaxLine + 2 * recv) std::abort();
        if (probe.Held().size() > core::CLauchAntispam::kHoldLimit + 2 * recv) std::abort();
    }
    return 0;
}
