#include "classes/IoClasses.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "platform/Paths.h"
#include "platform/TestTempDir.h"
#include "script/Imports.h"
#include "script/Interpreter.h"

namespace classes {
namespace {

struct Outcome {
    int result = 0;
    std::string diag;
};

// Runs main() of a script that imports the I/O classes; its checks number their failures.
Outcome Run(const std::string& body) {
    static bool registered = [] {
        RegisterIoImportables();
        return true;
    }();
    (void)registered;
    script::Interpreter in;
    Outcome r;
    auto text = in.PreprocessText(
        "#import(class, CS_Buffer)\n#import(class, CS_File)\n#import(class, CS_MemoryFile)\n"
        "#import(class, CS_FileSystem)\n#import(class, CS_Socket)\n#import(class, HashArray)\n" +
            body,
        "test.cs");
    if (!text) {
        r.diag = in.CollectDiagnostics();
        r.result = -1000;
        return r;
    }
    script::RegisterImports(in);
    if (!in.LoadByRam(*text) || (r.result = in.Run("main"), in.HasError())) {
        r.diag = in.CollectDiagnostics();
        r.result = -1000;
    }
    return r;
}

void ExpectZero(const std::string& body) {
    Outcome r = Run(body);
    EXPECT_EQ(r.result, 0) << r.diag;
}

class IoClassesTest : public ::testing::Test {
protected:
    void SetUp() override { platform::SetAppDir(dir_.Path().string()); }
    platform::TestTempDir dir_;
};

TEST_F(IoClassesTest, FileOpenFlagsReadWriteSeek) {
    dir_.Write("old.txt", "0123456789");
    ExpectZero(R"cs(int main() {
        CS_File f = new CS_File();
        if (f.Open("x.txt", 16384)) return 1;              // text mode refused
        if (f.Open("missing.txt", 0)) return 2;             // no create bit: must exist
        if (f.Open("x.txt", 3)) return 3;                   // access 3 refused
        if (!f.Open("old.txt", 4097)) return 4;             // create or truncate, write
        f.Write("abc", 100);                                // count beyond the text: its length
        f.Close();
        if (!f.Open("old.txt", 12289)) return 5;            // open or create, no truncation
        f.Seek(0, 2);
        f.Write("def", 3);
        f.Close();
        CS_Buffer b = new CS_Buffer();
        if (!f.Open("old.txt", 0)) return 6;
        if (f.Read(b) != -1) return 7;                      // capacity below 3
        b.Allocate(4);                                      // capacity 5: reads 3 at a time
        if (f.Read(b) != 3 || b.ToString() != "abc") return 8;
        if (f.Seek(1, 0) != 1 || f.Seek(1, 1) != 2 || f.Seek(0, 2) != 6 || f.Seek(0, 3) != 0) return 9;
        if (f.Read(b) != 0) return 10;                      // at the end
        f.Seek(0, 0);
        b.Allocate(1024);
        if (f.Read(b) != 6 || b.GetLen() != 6 || b.GetAt(5) != 'f' || b.GetAt(99) != 0) return 11;
        return 0; })cs");
    EXPECT_EQ(dir_.Read("old.txt"), "abcdef");
}

TEST_F(IoClassesTest, CopiesOfBuffersAreBoundedByTheirSize) {
    ExpectZero(R"cs(int main() {
        CS_Buffer b = new CS_Buffer();
        b.Write("hello", 5);
        CS_File f = new CS_File();
        f.Open("out.bin", 4097);
        f.WriteB(b.GetPointer(), 100000);                   // never beyond the 5 bytes
        f.Close();
        CS_MemoryFile m = new CS_MemoryFile(1024);
        m.Write("x", 1);
        m.WriteB(b, 3);
        if (m.GetLength() != 4 || m.ToString() != "xhel") return 1;
        CS_Buffer r = new CS_Buffer();
        r.Allocate(2);
        if (m.Read(r) != 0) return 2;                       // the position is at the end
        return 0; })cs");
    EXPECT_EQ(dir_.Read("out.bin"), "hello");
}

TEST_F(IoClassesTest, MemoryFileGrowsInSteps) {
    CS_MemoryFile m(1024);
    std::string block(3000, 'a');
    m.Write(block.c_str(), 3000);
    EXPECT_EQ(m.Capacity(), 3072);
    EXPECT_EQ(m.GetLength(), 3000);
    CS_MemoryFile odd(0);
    odd.Write("abc", 3);
    EXPECT_EQ(odd.Capacity(), 1024) << "grow step 0 becomes 1024";
    common::String b;
    b.Reserve(10);
    EXPECT_EQ(m.Read(&b), 0) << "written up to the end: nothing after the position";
    m.Close();
    EXPECT_EQ(m.GetLength(), 0);
    EXPECT_EQ(m.Capacity(), 0);
}

TEST_F(IoClassesTest, FileSystem) {
    dir_.Write("a/one.txt", "1");
    dir_.Write("a/two.xml", "22");
    dir_.Write("keep.txt", "keep");
    ExpectZero(R"cs(int main() {
        CS_FileSystem fs = new CS_FileSystem();
        HashArray h = new HashArray();
        if (fs.FileExists("a") || !fs.DirExists("a") || fs.DirExists("a/one.txt") || !fs.FileExists("a/one.txt")) return 1;
        if (fs.ReadDir("a", h) != 1 || h.GetRecordCount() != 4 || h.GetS("two.xml") != "two.xml" || h.GetS("..") != "..") return 2;
        if (fs.ReadDir("a/*.xml", h) != 1 || h.GetRecordCount() != 1) return 3;
        if (fs.ReadDir("nowhere", h) != 0) return 4;
        if (fs.CopyFile("a/two.xml", "keep.txt", 0) != 0) return 5;   // no overwrite
        if (fs.CopyFile("a/two.xml", "copy.xml") != 1 || fs.FileSize("copy.xml") != 2) return 6;
        if (fs.CopyFile("copy.xml", "copy.xml") != 1 || fs.FileSize("copy.xml") != 2) return 7;  // onto itself
        if (fs.UnLink("copy.xml") != 1 || fs.UnLink("copy.xml") != 0) return 8;
        if (fs.Exec("exit 3") != 3 || fs.Exec("true") != 0) return 9;
        if (fs.Exec("/nonexistent/program") != 127) return 10;
        if (fs.AppPath() == "") return 11;
        if (fs.CreateDir("x/y/z") != 1 || fs.DirExists("x/y/z") != 1) return 12;
        if (fs.MoveFile("keep.txt", "a/one.txt") != 0) return 13;      // no overwrite
        if (fs.MoveFile("a/one.txt", "x/y/z/one.txt") != 1 || fs.FileExists("a/one.txt")) return 14;
        if (fs.Exec("echo out > x/said.txt; exit 0") != 0 || fs.FileSize("x/said.txt") != 4) return 15;
        CS_File f = new CS_File();
        if (f.Open("x/y", 0)) return 16;                                // a directory is not a file
        return 0; })cs");
    EXPECT_EQ(dir_.Read("keep.txt"), "keep");
}

// A loopback echo server for the socket class: TCP and UDP on ephemeral ports.
class Echo {
public:
    Echo() {
        tcp_ = ::socket(AF_INET, SOCK_STREAM, 0);
        udp_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(tcp_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(tcp_, 4);
        ::getsockname(tcp_, reinterpret_cast<sockaddr*>(&a), &len);
        tcp_port = ntohs(a.sin_port);
        a.sin_port = 0;
        ::bind(udp_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(udp_, reinterpret_cast<sockaddr*>(&a), &len);
        udp_port = ntohs(a.sin_port);
        tcp_thread_ = std::thread([this] {
            int c = ::accept(tcp_, nullptr, nullptr);
            char buf[256];
            ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n > 0) ::send(c, buf, static_cast<size_t>(n), 0);
            ::close(c);
        });
        udp_thread_ = std::thread([this] {
            char buf[256];
            sockaddr_in from{};
            socklen_t fl = sizeof from;
            ssize_t n = ::recvfrom(udp_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
            if (n > 0) ::sendto(udp_, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), fl);
        });
    }
    ~Echo() {
        ::shutdown(tcp_, SHUT_RDWR);
        ::shutdown(udp_, SHUT_RDWR);
        tcp_thread_.join();
        udp_thread_.join();
        ::close(tcp_);
        ::close(udp_);
    }
    int tcp_port = 0, udp_port = 0;

private:
    int tcp_, udp_;
    std::thread tcp_thread_, udp_thread_;
};

TEST_F(IoClassesTest, SocketsEchoOverTcpAndUdp) {
    Echo echo;
    std::string script = R"cs(int main() {
        CS_Buffer b = new CS_Buffer();
        b.Allocate(64);
        CS_Socket t = new CS_Socket(0);
        if (t.IsOpen() != 0 || t.Send("x", 1, 100) != -1) return 1;
        if (t.ConnectTo("127.0.0.1", TCP) != 1 || t.IsOpen() != 1) return 2;
        if (t.Send("hello", 9, 1000) != 0) return 3;        // longer than the text
        if (t.Send("hello", 5, 1000) != 5) return 4;
        if (t.Riceve(b, 2000) != 5 || b.ToString() != "hello") return 5;
        t.Close();
        CS_Socket u = new CS_Socket(1);
        if (u.IsOpen() != 1) return 6;
        u.ConnectTo("127.0.0.1", UDP);
        CS_Buffer d = new CS_Buffer();
        d.Write("ping", 4);
        if (u.SendB(d, 400, 1000) != 4) return 7;           // only the buffer's 4 bytes
        if (u.Riceve(b, 2000) != 4 || b.ToString() != "ping") return 8;
        return 0; }
        )cs";
    ExpectZero("string TCP = \"" + std::to_string(echo.tcp_port) + "\";\nstring UDP = \"" +
               std::to_string(echo.udp_port) + "\";\n" + script);
}

}  // namespace
}  // namespace classes
