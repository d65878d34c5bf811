#include "checks/Dkim.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace checks::dkim {
namespace {

TEST(DkimTags, ReadsListsAndRefusesMalformedOnes) {
    std::vector<Tag> tags;
    std::string why;
    ASSERT_TRUE(ParseTagList(" v=1; a = rsa-sha256 ;\r\n\tb=ab cd\r\n ef; x=;", &tags, &why)) << why;
    ASSERT_EQ(tags.size(), 4u);
    EXPECT_EQ(tags[1].name, "a");
    EXPECT_EQ(tags[1].value, "rsa-sha256");
    EXPECT_EQ(tags[2].value, "ab cd\r\n ef");  // folding inside a value is kept, the ends trimmed
    EXPECT_EQ(tags[3].value, "");
    EXPECT_TRUE(ParseTagList("", &tags, &why));
    for (const char* bad : {"v=1; v=2", "a", "=x", "1a=x", "a=b\x01"}) {
        EXPECT_FALSE(ParseTagList(bad, &tags, &why)) << bad;
        EXPECT_FALSE(why.empty());
    }
}

TEST(DkimTags, SignaturesNeedTheirTagsAndSayWhatIsWrong) {
    const std::string good = "v=1; a=rsa-sha256; d=Example.org; s=sel; h=From:To; bh=YWJj; b=ZGVm";
    Signature sig;
    std::string why;
    ASSERT_TRUE(ParseSignature(good, &sig, &why)) << why;
    EXPECT_EQ(sig.domain, "example.org");
    EXPECT_EQ(sig.headers, std::vector<std::string>({"from", "to"}));
    EXPECT_EQ(sig.identity, "@example.org");
    EXPECT_EQ(sig.header_canon, Canon::kSimple);
    EXPECT_EQ(sig.body_hash, "abc");
    ASSERT_TRUE(ParseSignature(good + "; c=relaxed; i=a@mail.example.org; l=10", &sig, &why)) << why;
    EXPECT_EQ(sig.header_canon, Canon::kRelaxed);
    EXPECT_EQ(sig.body_canon, Canon::kSimple);
    EXPECT_EQ(sig.length, 10);
    const std::pair<std::string, std::string> cases[] = {
        {"v=1; a=rsa-sha256; d=example.org; s=sel; h=To; bh=YWJj; b=ZGVm", "From"},
        {good + "; i=a@example.net", "i="},
        {good + "; t=20; x=10", "x="},
        {"v=1; a=rsa-md5; d=example.org; s=sel; h=From; bh=YWJj; b=ZGVm", "algorithm"},
        {"v=2; a=rsa-sha256; d=example.org; s=sel; h=From; bh=YWJj; b=ZGVm", "version"},
        {"v=1; a=rsa-sha256; d=example.org; h=From; bh=YWJj; b=ZGVm", "s="},
        {good + "; c=fancy", "canonicalization"},
        {good + "; l=ten", "l="},
    };
    for (const auto& [value, word] : cases) {
        EXPECT_FALSE(ParseSignature(value, &sig, &why)) << value;
        EXPECT_NE(why.find(word), std::string::npos) << why;
    }
    Key key;
    ASSERT_TRUE(ParseKey("v=DKIM1; k=ed25519; t=y:s; p=YWJj", &key, &why)) << why;
    EXPECT_EQ(key.type, "ed25519");
    EXPECT_TRUE(key.testing && key.strict);
    EXPECT_TRUE(ParseKey("v=DKIM1; p=", &key, &why));
    EXPECT_TRUE(key.public_key.empty());  // revoked
    EXPECT_FALSE(ParseKey("v=DKIM2; p=YWJj", &key, &why));
    EXPECT_FALSE(ParseKey("k=rsa", &key, &why));
    EXPECT_FALSE(ParseKey("p=YWJj; s=other", &key, &why));
}

TEST(DkimCanon, TheRfcExamplesAndEmptyBodies) {
    // RFC 6376 3.4.5.
    EXPECT_EQ(RelaxedHeader("A: X"), "a:X");
    EXPECT_EQ(RelaxedHeader("B : Y\t\r\n\tZ  "), "b:Y Z");
    EXPECT_EQ(RelaxedHeader("DKIM-Signature: h=from : to"), "dkim-signature:h=from : to");
    const std::string body = " C \r\nD \t E\r\n\r\n\r\n";
    EXPECT_EQ(CanonicalBody(body, Canon::kRelaxed), " C\r\nD E\r\n");
    EXPECT_EQ(CanonicalBody(body, Canon::kSimple), " C \r\nD \t E\r\n");
    EXPECT_EQ(CanonicalBody("", Canon::kSimple), "\r\n");
    EXPECT_EQ(CanonicalBody("\r\n\r\n", Canon::kSimple), "\r\n");
    EXPECT_EQ(CanonicalBody("", Canon::kRelaxed), "");
    EXPECT_EQ(CanonicalBody(" \t\r\n", Canon::kRelaxed), "");
    EXPECT_EQ(CanonicalBody("no line end", Canon::kSimple), "no line end\r\n");
}

TEST(DkimCanon, ChunksGiveWhatTheWholeGives) {
    const std::string body = "a  b \r\n\r\n c\t\r\n\r\n\r\nend \r\n\r\n";
    for (Canon canon : {Canon::kSimple, Canon::kRelaxed}) {
        const std::string whole = CanonicalBody(body, canon);
        for (size_t cut = 0; cut <= body.size(); ++cut) {
            BodyCanonicalizer c(canon);
            std::string out;
            c.Add(std::string_view(body).substr(0, cut), &out);
            c.Add(std::string_view(body).substr(cut), &out);
            c.Finish(&out);
            EXPECT_EQ(out, whole) << "cut at " << cut;
        }
    }
}

TEST(DkimVerify, ResultsWithoutCryptography) {
    const KeyLookup none = [](const std::string&, std::string*) { return 1; };
    const std::string head =
        "From: a@example.org\r\nDKIM-Signature: v=1; a=rsa-sha256; d=example.org; s=s; "
        "h=from; bh=";
    // The body hash is checked before any key is asked for.
    auto v = Verify(head + "YWJj; b=ZGVm\r\n\r\nbody\r\n", none, 0);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].result, kDkimFail);
    EXPECT_EQ(v[0].reason, "body hash mismatch");
    EXPECT_EQ(v[0].domain, "example.org");
    // The hash of "body\r\n" under simple canonicalisation, then no key.
    const std::string bh = "Ck5SoRNWUpSR4X0COv7R5ub2pUTtl6xz4dTFz++ji4M=";
    v = Verify(head + bh + "; b=ZGVm\r\n\r\nbody\r\n", none, 0);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].result, kDkimPermError);
    EXPECT_EQ(v[0].reason, "no key record");
    // A body cut at the hold limit cannot be verified unless l= ends within it.
    v = Verify(head + bh + "; b=ZGVm\r\n\r\nbody\r\n", none, 0, false);
    EXPECT_EQ(v[0].result, kDkimTempError);
    EXPECT_TRUE(Verify("From: a@example.org\r\n\r\nx\r\n", none, 0).empty());
    EXPECT_EQ(Verify(head + "%%%; b=ZGVm\r\n\r\nx", none, 0)[0].result, kDkimPermError);
}

}  // namespace
}  // namespace checks::dkim
