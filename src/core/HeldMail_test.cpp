#include "core/HeldMail.h"

#include <gtest/gtest.h>

#include "platform/KFile.h"
#include "platform/TestTempDir.h"

namespace core {
namespace {

HeldEnvelope Env(int64_t time, std::string sender, std::string subject) {
    HeldEnvelope e;
    e.time = time;
    e.sender = std::move(sender);
    e.recipients = {"a@rcpt.example", "b@rcpt.example"};
    e.client_ip = "192.0.2.7";
    e.subject = std::move(subject);
    e.reasons = "24.00 dnsbl(bl.example)";
    return e;
}

TEST(HeldMailTest, KeepsListsFindsAndDeletes) {
    platform::TestTempDir dir;
    CHeldMail held(dir.File("held"));
    const std::string message = "Subject: x\r\n\r\n.dot line\r\nbody\r\n";
    const std::string a = held.Hold(message, Env(1000, "s1@spam.example", "cheap\r\npills\0x"));
    const std::string b = held.Hold("Subject: y\r\n\r\nother\r\n", Env(2000, "s2@spam.example", "offer"));
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());
    EXPECT_TRUE(CHeldMail::ValidId(a));
    EXPECT_EQ(held.Message(a), message) << "kept byte for byte";
    size_t total = 0;
    auto all = held.List("", 0, 10, &total);
    ASSERT_EQ(total, 2u);
    EXPECT_EQ(all[0].id, b) << "newest first";
    EXPECT_EQ(all[1].env.recipients.size(), 2u);
    EXPECT_EQ(all[1].env.subject.find_first_of("\r\n"), std::string::npos) << "one line of the envelope file";
    EXPECT_EQ(held.List("S1@SPAM", 0, 10, &total).size(), 1u);
    EXPECT_EQ(held.List(b, 0, 10, &total).front().id, b) << "found by its id";
    EXPECT_EQ(held.List("dnsbl(bl.example)", 1, 10, &total).size(), 1u) << "paged";
    // Ids reach no file but their own.
    for (const char* bad : {"../held", "", "..", "a/b", "1000-ZZ", "x.eml"}) {
        EXPECT_FALSE(CHeldMail::ValidId(bad)) << bad;
        EXPECT_FALSE(held.Get(bad)) << bad;
        EXPECT_EQ(held.Message(bad), "") << bad;
        EXPECT_FALSE(held.Delete(bad)) << bad;
    }
    EXPECT_EQ(held.Release("0000-00", "op", "127.0.0.1", 9, "mx"), "no such held message");
    EXPECT_EQ(held.Expire(1000 + 86400 + 1, 1), 1) << "the older one expired";
    EXPECT_FALSE(held.Get(a));
    EXPECT_TRUE(held.Delete(b));
    EXPECT_FALSE(held.Delete(b));
    EXPECT_TRUE(held.List("", 0, 10, &total).empty());
}

TEST(HeldMailTest, AFailedReleaseKeepsItHeld) {
    platform::TestTempDir dir;
    CHeldMail held(dir.File("held"));
    const std::string id = held.Hold("Subject: x\r\n\r\nbody\r\n", Env(1000, "s@spam.example", "x"));
    // Port 9 on loopback: nobody answers there.
    const std::string error = held.Release(id, "op", "127.0.0.1", 9, "mx");
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(held.Get(id)->env.released, "") << "still held: " << error;
}

}  // namespace
}  // namespace core
