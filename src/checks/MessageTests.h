#pragma once
// The structural tests: cheap facts about a message's header, MIME structure, HTML and links
// that spam shows far more often than ham (a Date far from when the mail was received, a
// Message-Id without a host, a display name that holds another address, HTML with hidden text,
// a link whose visible text names another host...). Each is named; the table kMessageTests
// lists them with what they mean. They carry no score of their own: rules of type "test"
// give each one its points (morvane-rules), so the operator's rule set decides what they are
// worth.
//
// Pure functions of the message: any thread, no state.
#include <bitset>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace checks {

struct MessageTestInfo {
    const char* name;
    const char* meaning;
};

extern const MessageTestInfo kMessageTests[];
extern const size_t kMessageTestCount;

inline constexpr size_t kMaxMessageTests = 64;
using MessageTestSet = std::bitset<kMaxMessageTests>;

// The index of a test by name, or -1.
int MessageTestIndex(std::string_view name);

// Runs every test on `message` (header and body, as a session holds it, its first
// kAnalysedBytes). `now` (seconds since 1970) judges the Date when the message has no Received
// field to judge it by; 0 leaves those tests to the Received dates alone.
MessageTestSet RunMessageTests(std::string_view message, int64_t now = 0);
// The names of the tests in `set`, in table order, separated by blanks.
std::string MessageTestNames(const MessageTestSet& set);

// One message walked once: its header fields and its MIME parts, decoded. The tests, the
// decoded text and the links, which rules of several types ask of the same message, all read
// this one walk. It refers to `message`, which must outlive it.
class CMessageParts {
public:
    explicit CMessageParts(std::string_view message);
    ~CMessageParts();
    CMessageParts(const CMessageParts&) = delete;
    CMessageParts& operator=(const CMessageParts&) = delete;

    // As RunMessageTests, DecodedText and MessageUrls below.
    MessageTestSet Tests(int64_t now = 0) const;
    std::string DecodedText() const;
    std::vector<std::string> Urls() const;

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

// What rules of type text and uri look at: the decoded text of every text part (quoted-printable
// and base64 undone, HTML as text), parts separated by a blank line; and every link of the
// message (HTML href/src targets and URLs written in text), at most 200.
std::string DecodedText(std::string_view message);
std::vector<std::string> MessageUrls(std::string_view message);

// An RFC 5322 date ("Thu, 22 Aug 2002 13:17:22 +0100", day name and seconds optional, obsolete
// zone names accepted) as seconds since 1970; false when it is none.
bool ParseMailDate(std::string_view text, int64_t* seconds);

}  // namespace checks
