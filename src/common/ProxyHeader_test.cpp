#include "common/ProxyHeader.h"

#include <gtest/gtest.h>

#include <string>

namespace common {
namespace {

using State = ProxyHeader::State;

std::string V2(uint8_t ver_cmd, uint8_t fam, const std::string& body) {
    std::string h("\r\n\r\n\0\r\nQUIT\n", 12);
    h += static_cast<char>(ver_cmd);
    h += static_cast<char>(fam);
    h += static_cast<char>(body.size() >> 8);
    h += static_cast<char>(body.size() & 0xFF);
    return h + body;
}

TEST(ProxyHeaderTest, VersionOneLines) {
    const std::string line = "PROXY TCP4 192.0.2.7 198.51.100.1 56324 25\r\n";
    ProxyHeader h = ParseProxyHeader(line + "EHLO x\r\n");
    ASSERT_EQ(h.state, State::kDone);
    EXPECT_EQ(h.length, line.size()) << "the client's bytes after it are not the header's";
    EXPECT_FALSE(h.local);
    EXPECT_EQ(h.source.ToString(), "192.0.2.7");
    EXPECT_EQ(h.source_port, 56324);
    h = ParseProxyHeader("PROXY TCP6 2001:db8::7 2001:db8::1 65535 25\r\n");
    ASSERT_EQ(h.state, State::kDone);
    EXPECT_EQ(h.source.ToString(), "2001:db8::7");
    h = ParseProxyHeader("PROXY TCP6 ::ffff:192.0.2.9 ::1 1 25\r\n");
    ASSERT_EQ(h.state, State::kDone);
    EXPECT_EQ(h.source.ToString(), "192.0.2.9") << "a mapped address is the IPv4 client";
    EXPECT_TRUE(ParseProxyHeader("PROXY UNKNOWN\r\n").local);
    EXPECT_TRUE(ParseProxyHeader("PROXY UNKNOWN ffff::1 ffff::2 1 2\r\n").local);
    // Cut anywhere: more is needed, never a verdict.
    for (size_t n = 0; n < line.size(); ++n)
        EXPECT_EQ(ParseProxyHeader(line.substr(0, n)).state, State::kNeedMore) << n;
}

TEST(ProxyHeaderTest, VersionOneRefusals) {
    for (const char* bad : {
             "PROXY TCP4 192.0.2.7 198.51.100.1 56324 25\n",      // a bare LF
             "PROXY TCP4 2001:db8::7 198.51.100.1 56324 25\r\n",  // the wrong family
             "PROXY TCP6 192.0.2.7 198.51.100.1 56324 25\r\n",    // the wrong family
             "PROXY TCP4 192.0.2.7 198.51.100.1 65536 25\r\n",    // port out of range
             "PROXY TCP4 192.0.2.7 198.51.100.1 0080 25\r\n",     // leading zero
             "PROXY TCP4 192.0.2.7 198.51.100.1 80\r\n",          // a field missing
             "PROXY TCP4 192.0.2.7 198.51.100.1 80 25 x\r\n",     // one too many
             "PROXY TCP4  192.0.2.7 198.51.100.1 80 25\r\n",      // two blanks
             "PROXY UDP4 192.0.2.7 198.51.100.1 80 25\r\n",       // not TCP
             "PROXY TCP4 [192.0.2.7] 198.51.100.1 80 25\r\n",     // brackets
             "proxy TCP4 192.0.2.7 198.51.100.1 80 25\r\n",       // case
             "EHLO client.example\r\n",                           // no header at all
         })
        EXPECT_EQ(ParseProxyHeader(bad).state, State::kInvalid) << bad;
    // A line that never ends within the limit.
    EXPECT_EQ(ParseProxyHeader("PROXY UNKNOWN " + std::string(100, 'a')).state, State::kInvalid);
    EXPECT_EQ(ParseProxyHeader("PROXY UNKNOWN " + std::string(100, 'a') + "\r\n").state, State::kInvalid);
}

TEST(ProxyHeaderTest, VersionTwoBlocks) {
    const std::string v4 = V2(0x21, 0x11, std::string("\xC0\x00\x02\x07\xC6\x33\x64\x01\xDC\x04\x00\x19", 12));
    ProxyHeader h = ParseProxyHeader(v4 + "EHLO");
    ASSERT_EQ(h.state, State::kDone);
    EXPECT_EQ(h.length, v4.size());
    EXPECT_EQ(h.source.ToString(), "192.0.2.7");
    EXPECT_EQ(h.source_port, 0xDC04);
    std::string a6(36, '\0');
    a6[0] = '\x20', a6[1] = '\x01', a6[2] = '\x0d', a6[3] = '\xb8', a6[15] = '\x07', a6[33] = '\x19';
    // TLVs after the addresses (here a 5-byte one) belong to the header and are skipped.
    const std::string v6 = V2(0x21, 0x21, a6 + std::string("\x04\x00\x02xy", 5));
    h = ParseProxyHeader(v6);
    ASSERT_EQ(h.state, State::kDone);
    EXPECT_EQ(h.length, v6.size());
    EXPECT_EQ(h.source.ToString(), "2001:db8::7");
    EXPECT_TRUE(ParseProxyHeader(V2(0x20, 0x00, "")).local) << "LOCAL: the balancer's own check";
    EXPECT_TRUE(ParseProxyHeader(V2(0x21, 0x31, std::string(216, 'u'))).local) << "unix sockets";
    for (size_t n = 0; n < v4.size(); ++n) EXPECT_EQ(ParseProxyHeader(v4.substr(0, n)).state, State::kNeedMore) << n;

    EXPECT_EQ(ParseProxyHeader(V2(0x11, 0x11, std::string(12, '\0'))).state, State::kInvalid) << "version 1 bits";
    EXPECT_EQ(ParseProxyHeader(V2(0x22, 0x11, std::string(12, '\0'))).state, State::kInvalid) << "command 2";
    EXPECT_EQ(ParseProxyHeader(V2(0x21, 0x11, std::string(11, '\0'))).state, State::kInvalid) << "short INET";
    EXPECT_EQ(ParseProxyHeader(V2(0x21, 0x21, std::string(35, '\0'))).state, State::kInvalid) << "short INET6";
    EXPECT_EQ(ParseProxyHeader(V2(0x21, 0x41, std::string(12, '\0'))).state, State::kInvalid) << "family 4";
    EXPECT_EQ(ParseProxyHeader(V2(0x21, 0x11, std::string(kMaxProxyHeader, '\0'))).state, State::kInvalid)
        << "over the size limit";
}

}  // namespace
}  // namespace common
