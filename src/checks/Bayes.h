#pragma once
// CBayes: the word-weight classifier and its quarantine. A message is cut into tokens
// (CBayesWord::Tokenize); each token of the word table carries a signed 16-bit weight, raised
// by every spam it was learned from and lowered by every ham. The capped weights of a
// message's known tokens decide SPAM, HAM or NEUTRAL; too many unknown tokens ask for LEARN.
//
// Quarantined messages are ".eml" files under quarantine/{spam,ham,neutral,learn}/, named by
// the MD5 of the raw text and indexed in one table per kind, so the core's hygiene can delete
// both once they are older than the configured age.
//
// Weights saturate at +/-32767: a word learned from more spam than that stays a spam word.
//
// Any thread may classify, learn and quarantine at once: every table guards itself, and a
// weight change is one read-modify-write under the table's lock. Nothing here logs.
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "checks/Statistics.h"
#include "mail/ScriptParseMail.h"
#include "script/CS_Array.h"
#include "store/DB_RAM.h"

namespace checks {

class CS_Statistic;

enum BayesCode : int32_t {
    kBayesSpam = 1,
    kBayesHam = 2,
    kBayesNeutral = 3,
    kBayesLearn = 4,
};

using mail::kAnalysedBytes;
// A message as a session holds it: every line ends in CRLF (a bare LF gains its CR, as SMTP
// delivers it), cut to kAnalysedBytes. Tokens of learned files then match tokens of live mail.
std::string AsSessionSees(std::string_view message);
// Resets `mail`, loads the file as AsSessionSees and parses it; false when the file cannot be
// read or is empty.
bool LoadMessageFile(const std::string& path, mail::CParseMail& mail);

// The token list of one message; the script class CS_BayesWord.
class CBayesWord {
public:
    static constexpr size_t kMaxTextTokens = 100;
    static constexpr size_t kMaxRawSamples = 100;
    static constexpr size_t kLinesPerBlock = 16;

    // Replaces the tokens with those of `mail`; false (tokens emptied) when the raw text is
    // empty.
    bool Tokenize(const mail::CParseMail& mail);
    // The script's Elaborate: false without a mail.
    bool Elaborate(mail::CS_ParseMail* mail) { return mail ? Tokenize(*mail) : (tokens.clear(), false); }

    // The three cutting rules, appending to `out`.
    static void TextRule(std::string_view text, std::vector<std::string>& out);
    static void BlockRule(std::string_view text, std::vector<std::string>& out);
    static void RawSamples(std::string_view raw, std::vector<std::string>& out);

    std::vector<std::string> tokens;
};

// What IsSpam saw, for operators and scripts.
struct BayesDetail {
    float ham_share = 0, spam_share = 0, unknown_share = 0;
    float total = 0;
    float threshold = 0;
    std::vector<std::string> ham_lines, spam_lines, unknown_lines;  // "SCORE %d : %s"
};

class CBayes {
public:
    static constexpr int16_t kMaxWeight = 32767;
    static constexpr size_t kMaxTokenBytes = 255;
    static constexpr size_t kMaxRecordData = 32768;
    static constexpr size_t kCutText = 250;
    static constexpr int kHygieneSeconds = 10;

    // Tables under `app_dir` ("db/..."), quarantine folders under `app_dir`/quarantine. Nothing
    // is opened until Load. The script class's objects use the process's application directory.
    CBayes();
    explicit CBayes(std::string app_dir, store::CDB_RAM::TimeSource now = nullptr);
    // Saves what changed: a script's own object may be dropped without a save of its own.
    ~CBayes();
    CBayes(const CBayes&) = delete;
    CBayes& operator=(const CBayes&) = delete;

    // Opens and loads the word table and the four index tables (each only when its Open
    // succeeds) and makes the quarantine folders.
    void Load();

    // percent below 1 counts as 0, above 99 as 99; the LEARN threshold becomes 1 - percent/100.
    void SetMinOccurrences(float percent);
    float Threshold() const { return threshold_.load(); }
    // The expiry of the four quarantine tables.
    void SetQuarantineAge(uint32_t unit, uint32_t amount);

    int Classify(const std::vector<std::string>& tokens, BayesDetail* detail = nullptr);
    // kind 2 learns ham, any other kind spam. Returns how many words were new.
    int Learn(const std::vector<std::string>& tokens, int kind);
    // Deletes every word of weight 0; saves the word table when one was deleted or `force_save`.
    // Returns how many were deleted.
    int DeleteNeutral(bool force_save);
    // False without a raw text, for a kind outside 1..4, or when the record or the file could not
    // be stored. A message already in the kind's table is left as it is (true). Counts the kind's
    // statistic when `stats` is given. The file holds `message` (the message as the client meant
    // it: a session passes its data without the SMTP dot-stuffing and final "." line), or the
    // mail's raw text when `message` is empty.
    bool Quarantine(const mail::CParseMail& mail, std::string_view text1, std::string_view text2, int kind,
                    CStatitiche_Day* stats, std::string_view message = {});
    // Deletes the quarantined files older than the age, and their records; at most
    // kHygieneSeconds per kind. Records whose files were not reached stay for the next run.
    // Returns the number of records deleted.
    int QuarantineHygiene();
    // Saves the four index tables, and the word table when words changed since its last save
    // (or `all`). False when a save failed.
    [[nodiscard]] bool Save(bool all = false);

    store::CDB_RAM& Words() { return words_; }
    // 1..4: that kind's index table; anything else nullptr.
    store::CDB_RAM* Index(int kind);
    // "quarantine/spam" ... under the application directory.
    std::string Folder(int kind) const;
    const std::string& AppDir() const { return app_dir_; }

    // The script class CS_Bayes.
    void ScriptLoad() { Load(); }
    int32_t IsSpam(CBayesWord* tokens, script::CS_Array* details);
    void PopolateDB(CBayesWord* tokens, int32_t kind);
    void RemoveNeutral(int32_t force_save) { DeleteNeutral(force_save == 1); }
    bool AddQuarantine(mail::CS_ParseMail* mail, const char* text1, const char* text2, int32_t kind,
                       CS_Statistic* statistics);
    store::CDB_RAM* GetDBRam(const char* name);
    int32_t GetWordsCount(const char* kind);

    // Weight of a stored record's data; data shorter than two bytes reads as its first byte or 0.
    static int16_t Weight(std::string_view data);
    static std::string WeightData(int16_t weight);
    // 1 "SPAM", 2 "HAM", 3 "NEUTRAL", 4 "LEARN"; "" otherwise.
    static const char* CodeName(int code);
    // The statistic a quarantine of `kind` counts.
    static const char* StatisticName(int kind);

private:
    std::string app_dir_;
    store::CDB_RAM words_;
    store::CDB_RAM index_[4];  // spam, ham, neutral, learn
    std::atomic<float> threshold_{0.68f};
    std::atomic<bool> words_changed_{false};
    std::atomic<uint32_t> age_unit_{0}, age_amount_{0};
};

}  // namespace checks
