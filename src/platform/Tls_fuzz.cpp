// A TLS server end fed arbitrary bytes where the client's handshake belongs: no crash, no hang
// past the time-out, and whatever a completed session yields is read to its end.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/SocketComm.h"
#include "platform/Tls.h"
#include "platform/TlsTestCert.h"

namespace {

std::shared_ptr<platform::TlsContext> Context() {
    static std::shared_ptr<platform::TlsContext> ctx = [] {
        const std::string dir =
            std::filesystem::temp_directory_path() / ("morvane_tls_fuzz_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        platform::WriteTestCertificate(dir + "/cert.pem", dir + "/key.pem");
        auto made = platform::TlsContext::Server(dir + "/cert.pem", dir + "/key.pem", "TLSv1.2", "", nullptr);
        std::filesystem::remove_all(dir);
        if (!made) std::abort();
        return made;
    }();
    return ctx;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 60000) return 0;  // within one socket buffer: the writer never waits
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
    platform::CSocketComm server;
    server.Attach(fds[0]);
    if (size > 0 && ::write(fds[1], data, size) < 0) {
        ::close(fds[1]);
        return 0;
    }
    ::shutdown(fds[1], SHUT_WR);
    if (server.StartTls(Context(), 20, nullptr)) {
        char buf[4096];
        while (server.Recv(buf, sizeof buf, 20) > 0) {
        }
    }
    ::close(fds[1]);
    return 0;
}
