#pragma once
// CPhishingDB: recognises messages that pretend to come from a protected domain (a bank, a
// payment service) without coming from it. The list of protected domains and four lists of
// patterns live in the INI file db/phishing.db:
//   VERIFY_TXT   does the message name the domain at all (on the raw message)?
//   VERIFY_HTML  an html anchor about the domain; its capture (the link) goes to FAKE_HTML
//   FAKE_HTML    is that captured link a fake for the domain?
//   FAKE_TXT     signs of a fake in the raw message (when no anchor matched) and in each link
// "#D#" in a pattern stands for the domain (its dots escaped when the record says so).
//
// A message that names a domain is judged on: its html anchors; its text; then its sender (mail
// from the domain itself that passed SPF is genuine) and its links: the first link that does not
// lead to the domain, or that looks like a fake of it, makes it phishing. Links are found by
// "http:" and "https:" in any case, in the order they occur.
//
// Updates come from a list service ([SETTING] URL; empty: no updates, no traffic): an answer is
// used only when it is a complete, well-formed list with a greater "firm", and the local file is
// replaced atomically.
//
// Checks from many sessions run in parallel (a shared lock); changes and updates wait for them.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/Regex.h"
#include "common/ThreadSafety.h"
#include "mail/ParseMail.h"
#include "script/CS_Array.h"
#include "store/FileINI.h"

namespace checks {

struct PhishPattern {
    std::string pattern;
    int32_t options = 0;
    int32_t escape = 0;   // 1: dots of the domain escaped where "#D#" stands
    int32_t capture = 0;  // VERIFY_HTML: the group whose text goes to FAKE_HTML
};

class CPhishingDB {
public:
    enum List { kVerifyTxt = 0, kVerifyHtml = 1, kFakeHtml = 2, kFakeTxt = 3 };
    static constexpr const char* kListNames[4] = {"VERIFY_TXT", "VERIFY_HTML", "FAKE_HTML", "FAKE_TXT"};
    static constexpr const char* kAgent = "Morvane Antispam HTTPClient";
    static constexpr int kUpdateTimeoutMs = 2000;

    explicit CPhishingDB(std::string file_path);
    CPhishingDB(const CPhishingDB&) = delete;
    CPhishingDB& operator=(const CPhishingDB&) = delete;

    // Empties every list, reads the file and fills the lists and the service URL. False when the
    // file cannot be read (the lists stay empty: every check answers 0).
    bool Load();
    // The lists from `text` as if it were the file (tests, fuzz targets); the file is not read.
    void LoadText(std::string_view text);
    // Writes the domain list into the file image and saves the file (atomically).
    bool SaveDomains();
    // 0 when listed already (exact), else appended and saved: 1.
    int32_t AddDomain(std::string_view domain);
    bool UpdateDomain(std::string_view old_domain, std::string_view new_domain);
    bool DeleteDomain(std::string_view domain);
    // out is emptied, then out["D%d"] = domain.
    void View(script::CS_Array* out);
    std::string Date();
    std::string Url();
    std::vector<std::string> Domains();
    std::vector<PhishPattern> Patterns(List list);

    // Downloads the list from the service and merges it: 1 when it replaced the local one, 0 when
    // there is no URL, no usable answer (`why` says), or nothing newer.
    int32_t UpdateFromService(std::string* why = nullptr);
    // 1 when the message is phishing; `fake_domain` gets the imitated domain (empty for 0).
    // `sender_flag` is the session's SPF result (0 pass), `sender` its MAIL FROM address.
    int32_t Check(const mail::CParseMail& mail, std::string* fake_domain, int32_t sender_flag, std::string_view sender);

    void SetAdapter(const std::string& address);
    void SetSenderCheck(bool on);

    // The pieces, for tests and the fuzz targets.
    // "i" adds 1, "m" 2, "s" 4, "x" 8; other letters nothing.
    static int32_t OptionLetters(std::string_view letters);
    // The first record of `list` that matches `text` for `domain` (empty: "#D#" left as it is):
    // true, with its capture number and the match.
    static bool MatchList(const std::vector<PhishPattern>& list, std::string_view text, std::string_view domain,
                          int32_t* capture, common::RegexMatch* match);
    // The pattern with every "#D#" replaced by the domain, dots escaped when `escape`.
    static std::string WithDomain(std::string_view pattern, std::string_view domain, bool escape);
    // True when `ini` is a whole list as the service sends it: "firm" above 0, a DOMAIN section
    // and the four pattern sections with every entry their counts promise.
    static bool IsCompleteList(const store::CFileINI& ini, std::string* why);

private:
    // One domain's patterns, compiled once per load: checks look up nothing and build no text.
    struct DomainPatterns {
        common::RegexHandle link;  // the domain, dots escaped, caseless
        std::vector<common::RegexHandle> lists[4];
    };
    // The first record of `list` that matches, with its capture number and match.
    bool Match(const DomainPatterns& d, List list, std::string_view text, int32_t* capture,
               common::RegexMatch* match) const REQUIRES_SHARED(mu_);
    void ReadLocked() REQUIRES(mu_);
    void CompileLocked() REQUIRES(mu_);
    bool SaveDomainsLocked() REQUIRES(mu_);
    int32_t CheckLinks(std::string_view text, const DomainPatterns& d) REQUIRES_SHARED(mu_);

    mutable common::SharedMutex mu_;
    const std::string path_;
    store::CFileINI ini_;
    std::vector<std::string> domains_ GUARDED_BY(mu_);
    std::vector<PhishPattern> lists_[4] GUARDED_BY(mu_);
    std::vector<DomainPatterns> compiled_ GUARDED_BY(mu_);  // one per domain, in list order
    std::string url_ GUARDED_BY(mu_);
    std::string adapter_ GUARDED_BY(mu_);
    bool sender_check_ GUARDED_BY(mu_) = true;
};

}  // namespace checks
