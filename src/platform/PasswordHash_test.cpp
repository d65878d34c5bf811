#include "platform/PasswordHash.h"

#include <gtest/gtest.h>

#include "common/Md5.h"

namespace platform {
namespace {

TEST(PasswordHashTest, SaltedEntriesMatchOnlyTheirPassword) {
    const std::string a = HashPassword("correct horse", 1000);
    const std::string b = HashPassword("correct horse", 1000);
    ASSERT_EQ(a.rfind("pbkdf2-sha256$1000$", 0), 0u) << a;
    EXPECT_NE(a, b) << "each entry has its own salt";
    bool old_form = true;
    EXPECT_TRUE(VerifyPassword("correct horse", a, &old_form));
    EXPECT_FALSE(old_form);
    EXPECT_TRUE(VerifyPassword("correct horse", b));
    EXPECT_FALSE(VerifyPassword("correct horsE", a));
    EXPECT_FALSE(VerifyPassword("", a));
    EXPECT_EQ(HashPassword("x").rfind("pbkdf2-sha256$" + std::to_string(kPasswordIterations) + "$", 0), 0u);
}

TEST(PasswordHashTest, OldDigestsAreAcceptedAndMarkedForReplacement) {
    bool old_form = false;
    EXPECT_TRUE(VerifyPassword("demo-password", common::Md5Hex("demo-password"), &old_form));
    EXPECT_TRUE(old_form);
    std::string upper = common::Md5Hex("demo-password");
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(VerifyPassword("demo-password", upper));
    EXPECT_FALSE(VerifyPassword("other", common::Md5Hex("demo-password"), &old_form));
}

TEST(PasswordHashTest, MalformedEntriesNeverMatch) {
    const std::string good = HashPassword("pw", 10);
    const std::string salt_and_hash = good.substr(good.find('$', 15));
    for (const std::string& bad :
         {std::string(), std::string("pw"), std::string("pbkdf2-sha256$"), "pbkdf2-sha256$0" + salt_and_hash,
          "pbkdf2-sha256$-5" + salt_and_hash, "pbkdf2-sha256$99999999999" + salt_and_hash,
          "pbkdf2-sha256$x" + salt_and_hash, good.substr(0, good.size() - 2), good + "00",
          "pbkdf2-sha256$10$$" + good.substr(good.rfind('$') + 1), std::string(32, 'g')})
        EXPECT_FALSE(VerifyPassword("pw", bad)) << bad;
}

}  // namespace
}  // namespace platform
