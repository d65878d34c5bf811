#include "common/IpAddress.h"

#include "common/ClientPrefix.h"

#include <gtest/gtest.h>

#include <string>

namespace common {
namespace {

std::string Canonical(std::string_view text) {
    auto a = IpAddress::Parse(text);
    return a ? a->ToString() : "<none>";
}

TEST(IpAddress, ParsesBothFamiliesIntoOneCanonicalText) {
    EXPECT_EQ(Canonical("192.0.2.1"), "192.0.2.1");
    EXPECT_EQ(Canonical("2001:DB8:0:0:0:0:2:1"), "2001:db8::2:1");
    EXPECT_EQ(Canonical("2001:db8:0000:1:1:1:1:1"), "2001:db8:0:1:1:1:1:1") << "one zero group is not shortened";
    EXPECT_EQ(Canonical("2001:0:0:1:0:0:0:1"), "2001:0:0:1::1") << "the longest run";
    EXPECT_EQ(Canonical("2001:db8:0:0:1:0:0:1"), "2001:db8::1:0:0:1") << "the first of equal runs";
    EXPECT_EQ(Canonical("[::1]"), "::1");
    EXPECT_EQ(Canonical("::ffff:192.0.2.7"), "192.0.2.7") << "a mapped IPv4 address is the IPv4 address";
    EXPECT_EQ(Canonical("::FFFF:c000:0207"), "192.0.2.7");
    EXPECT_TRUE(IpAddress::Parse("192.0.2.7")->IsV4());
    EXPECT_FALSE(IpAddress::Parse("::1")->IsV4());
    const std::string long_text(50, ':');
    for (const char* bad :
         {"", "1.2.3", "1.2.3.4.", "1.2.3.256", "1234.1.1.1", " 1.2.3.4", "1.2.3.4 ", "::1%eth0", "2001:db8::/32",
          "1::2::3", "12345::", "[1.2.3.4", "g::1", "::ffff:1.2.3", "a.b.c.d", long_text.c_str()})
        EXPECT_FALSE(IpAddress::Parse(bad)) << bad;
}

TEST(IpAddress, PrefixesAndReverseNames) {
    const IpAddress a = *IpAddress::Parse("2001:db8:1:2:aaaa::1"), b = *IpAddress::Parse("2001:db8:1:2:7fff::9");
    EXPECT_TRUE(a.SamePrefix(b, 64));
    EXPECT_FALSE(a.SamePrefix(b, 65));
    EXPECT_EQ(a.Masked(64).ToString(), "2001:db8:1:2::");
    EXPECT_EQ(a.Masked(0).ToString(), "::");
    EXPECT_EQ(a.Masked(999), a);
    const IpAddress v4 = *IpAddress::Parse("192.0.2.77");
    EXPECT_EQ(v4.Masked(24).ToString(), "192.0.2.0");
    EXPECT_EQ(v4.Masked(-5).ToString(), "0.0.0.0");
    EXPECT_FALSE(v4.SamePrefix(a, 0)) << "families never share a prefix";
    EXPECT_EQ(v4.ReverseName(), "77.2.0.192.in-addr.arpa");
    // RFC 3596's example.
    EXPECT_EQ(IpAddress::Parse("4321:0:1:2:3:4:567:89ab")->ReverseName(),
              "b.a.9.8.7.6.5.0.4.0.0.0.3.0.0.0.2.0.0.0.1.0.0.0.0.0.0.0.1.2.3.4.ip6.arpa");
}

TEST(ClientPrefixTest, GroupKeysOfBothFamilies) {
    const ClientPrefix defaults;
    EXPECT_EQ(defaults.Key("192.0.2.77"), "192.0.2.77") << "IPv4 clients stay one address each by default";
    EXPECT_EQ(defaults.Key("::ffff:192.0.2.77"), "192.0.2.77") << "a mapped client is the IPv4 client";
    EXPECT_EQ(defaults.Key("2001:DB8:1:2:aaaa::7"), "2001:db8:1:2::/64");
    EXPECT_EQ(defaults.Key("2001:db8:1:3::7"), "2001:db8:1:3::/64");
    EXPECT_EQ(defaults.Key("not an address"), "not an address");
    const ClientPrefix pools = ClientPrefix::Of(24, 128);
    EXPECT_EQ(pools.Key("192.0.2.77"), "192.0.2.0/24");
    EXPECT_EQ(pools.Key("2001:0db8::0001"), "2001:db8::1") << "a whole IPv6 address, in canonical text";
    // Out-of-range settings are clamped, never a key for the whole Internet.
    const ClientPrefix wild = ClientPrefix::Of(0, 300);
    EXPECT_EQ(wild.Key("192.0.2.77"), "192.0.0.0/8");
    EXPECT_EQ(wild.Key("2001:db8::1"), "2001:db8::1");
    const auto a = IpAddress::Parse("2001:db8:1:2::1"), b = IpAddress::Parse("2001:db8:1:2:ffff::1"),
               v4 = IpAddress::Parse("32.1.13.184");  // the same leading bytes, the other family
    EXPECT_TRUE(defaults.SameGroup(*a, *b));
    EXPECT_FALSE(defaults.SameGroup(*a, *v4));
    EXPECT_FALSE(ClientPrefix::Of(32, 128).SameGroup(*a, *b));
}

}  // namespace
}  // namespace common
