#include "checks/Bayes.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <unordered_set>

#include "checks/ScriptClasses.h"
#include "common/Clock.h"
#include "common/LineEnds.h"
#include "common/Md5.h"
#include "common/String.h"
#include "platform/KFile.h"
#include "platform/Paths.h"

namespace checks {

namespace {

constexpr const char* kIndexFiles[4] = {"db/eq_spam.db", "db/eq_ham.db", "db/eq_neutral.db", "db/eq_learn.db"};
constexpr const char* kFolders[4] = {"quarantine/spam", "quarantine/ham", "quarantine/neutral", "quarantine/learn"};

// Blanks off both ends, then every line feed out: what is left of one piece of text.
std::string CleanPiece(std::string_view piece) {
    size_t b = piece.find_first_not_of(' ');
    if (b == std::string_view::npos) return std::string();
    size_t e = piece.find_last_not_of(' ');
    piece = piece.substr(b, e - b + 1);
    std::string out;
    out.reserve(piece.size());
    for (char c : piece)
        if (c != '\n') out += c;
    return out;
}

// From and To lose their angle brackets and quotes before they are cut.
std::string WithoutAddressMarks(const std::string& field) {
    std::string out;
    out.reserve(field.size() + 1);
    for (char c : field)
        if (c != '<' && c != '>' && c != '"') out += c;
    return out;
}

bool IsTextType(const std::string& type) {
    return type == "text/plain" || type == "text/html";
}

}  // namespace

std::string AsSessionSees(std::string_view message) {
    return common::CrLfLines(message, kAnalysedBytes);
}

bool LoadMessageFile(const std::string& path, mail::CParseMail& mail) {
    mail.Reset();
    platform::CKFile f;
    if (!platform::IsRegularFile(path) || !f.Open(path, platform::kFileRead)) return false;
    std::string raw(kAnalysedBytes, '\0');
    int64_t n = f.Read(raw.data(), raw.size());
    if (n <= 0) return false;
    raw.resize(static_cast<size_t>(n));
    mail.AddStreaming(AsSessionSees(raw));
    mail.Parse();
    return true;
}

void CBayesWord::TextRule(std::string_view text, std::vector<std::string>& out) {
    // Only pieces closed by a blank count: the stretch after the last blank is left out.
    size_t taken = 0, start = 0;
    for (size_t blank = text.find(' '); blank != std::string_view::npos && taken < kMaxTextTokens;
         start = blank + 1, blank = text.find(' ', start)) {
        std::string piece = CleanPiece(text.substr(start, blank - start));
        if (piece.size() < 4 || piece.size() > CBayes::kMaxTokenBytes) continue;
        out.push_back(piece.size() <= 32 ? std::move(piece) : common::Md5Hex(piece));
        ++taken;
    }
}

void CBayesWord::BlockRule(std::string_view text, std::vector<std::string>& out) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = start;
        for (size_t lines = 0; lines < kLinesPerBlock && end < text.size(); ++lines) {
            size_t lf = text.find('\n', end);
            end = lf == std::string_view::npos ? text.size() : lf + 1;
        }
        out.push_back(common::Md5Hex(text.substr(start, end - start)));
        start = end;
    }
}

void CBayesWord::RawSamples(std::string_view raw, std::vector<std::string>& out) {
    size_t taken = 0;
    for (size_t at = 0; at < raw.size() && taken < kMaxRawSamples; at += 8) {
        std::string piece = CleanPiece(raw.substr(at, 7));
        if (piece.size() != 7) continue;
        out.push_back(std::move(piece));
        ++taken;
    }
}

bool CBayesWord::Tokenize(const mail::CParseMail& mail) {
    tokens.clear();
    if (mail.Raw().empty()) return false;
    TextRule(mail.Subject() + " ", tokens);
    TextRule(WithoutAddressMarks(mail.From()) + " ", tokens);
    TextRule(WithoutAddressMarks(mail.To()) + " ", tokens);
    TextRule(mail.MessageIdDomain() + " ", tokens);
    if (IsTextType(mail.ContentType())) {
        TextRule(mail.Body(), tokens);
    } else if (mail.Parts().empty()) {
        BlockRule(mail.Body(), tokens);
    } else {
        for (const mail::MailPart& p : mail.Parts()) {
            if (IsTextType(p.content_type)) {
                TextRule(p.body, tokens);
                continue;
            }
            tokens.push_back(common::Md5Hex(p.body));
            BlockRule(p.body, tokens);
        }
    }
    RawSamples(mail.Raw(), tokens);
    return true;
}

CBayes::CBayes() : CBayes(platform::AppDir()) {}

CBayes::CBayes(std::string app_dir, store::CDB_RAM::TimeSource now) : app_dir_(std::move(app_dir)) {
    if (now) {
        words_.SetTimeSource(now);
        for (store::CDB_RAM& t : index_) t.SetTimeSource(now);
    }
}

CBayes::~CBayes() {
    (void)Save();  // a failure is reported (store::ReportSaveFailure)
}

void CBayes::Load() {
    platform::MakeDirs(app_dir_ + "/db");
    for (int kind = 1; kind <= 4; ++kind) platform::MakeDirs(Folder(kind));
    if (words_.Open(app_dir_ + "/db/bayeswords.db")) words_.Load();
    for (int i = 0; i < 4; ++i)
        if (index_[i].Open(app_dir_ + "/" + kIndexFiles[i])) index_[i].Load();
}

void CBayes::SetMinOccurrences(float percent) {
    if (!(percent >= 1.0f)) percent = 0.0f;  // NaN too
    if (percent > 99.0f) percent = 99.0f;
    threshold_.store(1.0f - percent / 100.0f);
}

void CBayes::SetQuarantineAge(uint32_t unit, uint32_t amount) {
    age_unit_.store(unit);
    age_amount_.store(amount);
    for (store::CDB_RAM& t : index_) t.SetAge(unit, amount);
}

int16_t CBayes::Weight(std::string_view data) {
    if (data.size() >= 2)
        return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint8_t>(data[0]) |
                                                          (static_cast<uint16_t>(static_cast<uint8_t>(data[1])) << 8)));
    return data.empty() ? 0 : static_cast<int16_t>(static_cast<uint8_t>(data[0]));
}

std::string CBayes::WeightData(int16_t weight) {
    uint16_t u = static_cast<uint16_t>(weight);
    return std::string{static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
}

const char* CBayes::CodeName(int code) {
    switch (code) {
        case kBayesSpam: return "SPAM";
        case kBayesHam: return "HAM";
        case kBayesNeutral: return "NEUTRAL";
        case kBayesLearn: return "LEARN";
        default: return "";
    }
}

const char* CBayes::StatisticName(int kind) {
    switch (kind) {
        case kBayesSpam: return "f11_bayes_spam";
        case kBayesHam: return "f11_bayes_ham";
        case kBayesNeutral: return "f11_bayes_neutral";
        case kBayesLearn: return "f11_bayes_tolearn";
        default: return "";
    }
}

int CBayes::Classify(const std::vector<std::string>& tokens, BayesDetail* detail) {
    if (tokens.empty()) return kBayesNeutral;
    float ham = 0, spam = 0, unknown = 0;
    std::string data;
    auto line = [](std::vector<std::string>& to, int weight, const std::string& token) {
        char head[32];
        std::snprintf(head, sizeof head, "SCORE %d : ", weight);
        to.push_back(head + token);
    };
    for (const std::string& t : tokens) {
        if (!words_.GetData(t, &data)) {
            unknown += 1;
            if (detail) line(detail->unknown_lines, 0, t);
            continue;
        }
        int w = Weight(data);
        if (w < 0) {
            ham += static_cast<float>(std::min(-w, 2));
            if (detail) line(detail->ham_lines, w, t);
        } else {
            spam += static_cast<float>(std::min(w, 2));
            if (detail) line(detail->spam_lines, w, t);
        }
    }
    const float total = ham + spam + unknown;
    const float spam_share = spam > 0 && total > 0 ? spam / total : 0.0f;
    const float ham_share = ham > 0 && total > 0 ? ham / total : 0.0f;
    const float unknown_share = unknown / static_cast<float>(tokens.size());
    const float threshold = threshold_.load();
    if (detail) {
        detail->ham_share = ham_share;
        detail->spam_share = spam_share;
        detail->unknown_share = unknown_share;
        detail->total = total;
        detail->threshold = threshold;
    }
    if (unknown_share > threshold) return kBayesLearn;
    const float d = spam_share - ham_share;
    return d > 0 ? kBayesSpam : d < 0 ? kBayesHam : kBayesNeutral;
}

int CBayes::Learn(const std::vector<std::string>& tokens, int kind) {
    const int step = kind == kBayesHam ? -1 : 1;
    int added = 0;
    for (const std::string& t : tokens) {
        if (t.empty() || t.size() > kMaxTokenBytes) continue;
        int r = words_.Upsert(t, [step](const std::string* data) {
            if (!data) return WeightData(static_cast<int16_t>(step));
            int w = std::clamp(Weight(*data) + step, -static_cast<int>(kMaxWeight), static_cast<int>(kMaxWeight));
            return WeightData(static_cast<int16_t>(w));
        });
        if (r == 1) ++added;
    }
    if (!tokens.empty()) words_changed_.store(true);
    return added;
}

int CBayes::DeleteNeutral(bool force_save) {
    int n = words_.DeleteIf([](const store::DbRecord& r) { return Weight(r.data) == 0; });
    if (n > 0 || force_save) {
        if (words_.Save()) words_changed_.store(false);
    }
    return n;
}

std::string CBayes::Folder(int kind) const {
    return kind >= 1 && kind <= 4 ? app_dir_ + "/" + kFolders[kind - 1] : std::string();
}

store::CDB_RAM* CBayes::Index(int kind) {
    return kind >= 1 && kind <= 4 ? &index_[kind - 1] : nullptr;
}

bool CBayes::Quarantine(const mail::CParseMail& mail, std::string_view text1, std::string_view text2, int kind,
                        CStatitiche_Day* stats, std::string_view message) {
    store::CDB_RAM* table = Index(kind);
    if (!table || mail.Raw().empty()) return false;
    const std::string id = common::Md5Hex(mail.Raw());
    if (table->Find(id) >= 0) return true;
    std::string t1(text1), t2(text2), subject = mail.Subject();
    auto size = [&] { return t1.size() + 1 + t2.size() + 1 + subject.size(); };
    if (size() > kMaxRecordData) {
        subject.resize(std::min(subject.size(), kCutText));
        if (t1.size() + 1 + t2.size() > kMaxRecordData) t2.resize(std::min(t2.size(), kCutText));
        // Still too long only through text1: cut it too, or the record is refused and the file
        // written below would never be found and deleted by the hygiene.
        if (size() > kMaxRecordData) t1.resize(std::min(t1.size(), kCutText));
    }
    if (!table->Insert(id, t1 + '\x02' + t2 + '\x02' + subject, true)) return false;
    // The record stays when the file cannot be written: the hygiene then finds no file to delete.
    if (!platform::WriteFileAtomic(Folder(kind) + "/" + id + ".eml", message.empty() ? mail.Raw() : message))
        return false;
    if (stats) stats->AddItem(StatisticName(kind), 11, 0, 1.0f, 1);
    return true;
}

int CBayes::QuarantineHygiene() {
    int deleted = 0;
    for (int kind = 1; kind <= 4; ++kind) {
        store::CDB_RAM& table = index_[kind - 1];
        const uint32_t unit = age_unit_.load(), amount = age_amount_.load();
        if (unit == 0 && amount == 0) continue;  // no age: quarantine kept
        const int32_t cut = table.AgeLimit(1, unit, amount);
        std::vector<std::string> expired;
        table.ForEach([&](const store::DbRecord& r) {
            if (!r.deleted && r.timestamp <= cut) expired.push_back(r.key);
        });
        if (expired.empty()) continue;
        // Files go first and records after, and only those whose files were reached: a record
        // never outlives its file's deletion attempt, and no file is left without its record.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kHygieneSeconds);
        std::unordered_set<std::string> done;
        for (const std::string& id : expired) {
            if (std::chrono::steady_clock::now() >= until) break;
            std::remove((Folder(kind) + "/" + id + ".eml").c_str());
            done.insert(id);
        }
        int n = table.DeleteIf([&](const store::DbRecord& r) { return r.timestamp <= cut && done.count(r.key) > 0; });
        if (n > 0) (void)table.Save();  // a failure is reported; the next hygiene pass saves again
        deleted += n;
    }
    return deleted;
}

bool CBayes::Save(bool all) {
    bool ok = true;
    for (store::CDB_RAM& t : index_)
        if (t.IsOpened()) ok = t.Save() && ok;
    if (words_.IsOpened() && (all || words_changed_.exchange(false))) {
        if (!words_.Save()) {
            words_changed_.store(true);
            ok = false;
        }
    }
    return ok;
}

int32_t CBayes::IsSpam(CBayesWord* tokens, script::CS_Array* details) {
    if (!tokens || !details) return kBayesNeutral;
    BayesDetail d;
    int code = Classify(tokens->tokens, &d);
    auto put = [details](const char* prefix, const std::vector<std::string>& lines) {
        for (size_t i = 0; i < lines.size(); ++i) details->Set(prefix + std::to_string(i), lines[i]);
    };
    put("s_", d.spam_lines);
    put("h_", d.ham_lines);
    put("n_", d.unknown_lines);
    return code;
}

void CBayes::PopolateDB(CBayesWord* tokens, int32_t kind) {
    if (tokens) Learn(tokens->tokens, kind);
}

bool CBayes::AddQuarantine(mail::CS_ParseMail* mail, const char* text1, const char* text2, int32_t kind,
                           CS_Statistic* statistics) {
    if (!mail) return false;
    return Quarantine(*mail, text1 ? text1 : "", text2 ? text2 : "", kind, statistics ? &statistics->Stats() : nullptr);
}

store::CDB_RAM* CBayes::GetDBRam(const char* name) {
    const std::string n = common::AsciiUppered(name ? name : "");
    if (n == "SPAM") return Index(kBayesSpam);
    if (n == "HAM") return Index(kBayesHam);
    if (n == "NEUTRAL") return Index(kBayesNeutral);
    if (n == "LEARN") return Index(kBayesLearn);
    return nullptr;
}

int32_t CBayes::GetWordsCount(const char* kind) {
    std::string k = common::AsciiUppered(kind ? kind : "");
    int64_t ham = 0, spam = 0, neutral = 0;
    words_.ForEach([&](const store::DbRecord& r) {
        if (r.deleted) return;
        int w = Weight(r.data);
        if (w < 0)
            ham -= w;
        else if (w > 0)
            spam += w;
        else
            ++neutral;
    });
    int64_t v = k == "HAM" ? ham : k == "SPAM" ? spam : k == "NEUTRAL" ? neutral : 0;
    return static_cast<int32_t>(std::min<int64_t>(v, INT32_MAX));
}

}  // namespace checks
