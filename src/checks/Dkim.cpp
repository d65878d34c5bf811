#include "checks/Dkim.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "common/String.h"
#include "script/Codecs.h"

namespace checks::dkim {

namespace {

constexpr size_t kMaxSignatures = 10;

bool IsWsp(char c) {
    return c == ' ' || c == '\t';
}
bool IsFws(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
bool IsAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

using common::AsciiEqualNoCase;

std::string_view TrimFws(std::string_view s) {
    while (!s.empty() && IsFws(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsFws(s.back())) s.remove_suffix(1);
    return s;
}

// A base64 value with folding white space in it: the bytes, or false when it holds anything else.
bool DecodeBase64(std::string_view text, std::string* out) {
    std::string clean;
    for (char c : text) {
        if (IsFws(c)) continue;
        if (!(IsAlpha(c) || IsDigit(c) || c == '+' || c == '/' || c == '=')) return false;
        clean += c;
    }
    *out = script::codec::Decode64(clean);
    return true;
}

bool ParseNumber(std::string_view text, int64_t* out) {
    if (text.empty() || text.size() > 18 || !std::all_of(text.begin(), text.end(), IsDigit)) return false;
    int64_t v = 0;
    for (char c : text) v = v * 10 + (c - '0');
    *out = v;
    return true;
}

// "a:b:c" with white space around the parts, lower-cased.
std::vector<std::string> ColonList(std::string_view text) {
    std::vector<std::string> out;
    size_t at = 0;
    for (;;) {
        const size_t colon = text.find(':', at);
        const std::string_view part = TrimFws(text.substr(at, colon == std::string_view::npos ? colon : colon - at));
        out.push_back(common::AsciiLowered(part));
        if (colon == std::string_view::npos) break;
        at = colon + 1;
    }
    return out;
}

const Tag* Find(const std::vector<Tag>& tags, std::string_view name) {
    for (const Tag& t : tags)
        if (t.name == name) return &t;
    return nullptr;
}

// The DKIM-Signature field with the value of its b= tag emptied (RFC 6376 3.7).
std::string WithoutSignatureValue(std::string_view field) {
    std::string out;
    size_t at = field.find(':');
    if (at == std::string_view::npos) return std::string(field);
    ++at;
    out.append(field.substr(0, at));
    while (at < field.size()) {
        size_t i = at;
        while (i < field.size() && IsFws(field[i])) ++i;
        size_t name_end = i;
        while (name_end < field.size() &&
               (IsAlpha(field[name_end]) || IsDigit(field[name_end]) || field[name_end] == '_'))
            ++name_end;
        size_t semi = field.find(';', at);
        if (semi == std::string_view::npos) semi = field.size();
        if (field.substr(i, name_end - i) == "b") {
            const size_t eq = field.find('=', name_end);
            if (eq != std::string_view::npos && eq < semi) {
                out.append(field.substr(at, eq + 1 - at));
                out.append(field.substr(semi, semi < field.size() ? 1 : 0));
                at = semi + 1;
                continue;
            }
        }
        out.append(field.substr(at, std::min(semi + 1, field.size()) - at));
        at = semi + 1;
    }
    return out;
}

struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

// SHA-256 fetched once: OpenSSL 3 looks an implicit EVP_sha256() up in its providers on every
// use, which costs more than hashing a short text.
const EVP_MD* Sha256Md() {
    static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return md;
}

std::string Sha256(std::string_view data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out, &len, Sha256Md(), nullptr);
    return std::string(reinterpret_cast<const char*>(out), len);
}

// Public keys read from their records, kept: reading a DER key costs more than verifying with
// it, and the same few signers sign most mail. An EVP_PKEY is safe to verify with from many
// threads at once.
std::shared_ptr<EVP_PKEY> ReadPublicKey(const std::string& der, bool ed25519) {
    // Never destroyed: freeing keys after OpenSSL's own clean-up at exit would be unsafe.
    static std::mutex* const mu = new std::mutex;
    static auto* const cache = new std::map<std::string, std::shared_ptr<EVP_PKEY>>;
    const std::string cache_key = (ed25519 ? "e" : "r") + der;
    {
        std::lock_guard<std::mutex> lock(*mu);
        auto it = cache->find(cache_key);
        if (it != cache->end()) return it->second;
    }
    EVP_PKEY* key = nullptr;
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    if (ed25519) {
        if (der.size() == 32) key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, p, der.size());
    } else {
        key = d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size()));
        if (!key) {  // some publish the bare RSAPublicKey
            p = reinterpret_cast<const unsigned char*>(der.data());
            key = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(der.size()));
        }
    }
    if (!key) return nullptr;
    std::shared_ptr<EVP_PKEY> shared(key, EVP_PKEY_free);
    std::lock_guard<std::mutex> lock(*mu);
    if (cache->size() >= 256) cache->clear();  // a crude bound: signers are few, keys change rarely
    cache->emplace(cache_key, shared);
    return shared;
}

}  // namespace

std::vector<std::string_view> HeaderFields(std::string_view message, size_t* body_at) {
    std::vector<std::string_view> fields;
    size_t at = 0;
    *body_at = message.size();
    while (at < message.size()) {
        size_t end = message.find('\n', at);
        if (end == std::string_view::npos) end = message.size();
        std::string_view line = message.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) {
            *body_at = std::min(end + 1, message.size());
            break;
        }
        if (IsWsp(line.front()) && !fields.empty()) {
            // A continuation: the field grows to the end of this line.
            const char* begin = fields.back().data();
            fields.back() = std::string_view(begin, static_cast<size_t>(line.data() + line.size() - begin));
        } else {
            fields.push_back(line);
        }
        at = end + 1;
    }
    return fields;
}

std::string_view FieldName(std::string_view field) {
    const size_t colon = field.find(':');
    std::string_view name = field.substr(0, colon == std::string_view::npos ? 0 : colon);
    while (!name.empty() && IsWsp(name.back())) name.remove_suffix(1);
    return name;
}

bool ParseTagList(std::string_view text, std::vector<Tag>* tags, std::string* why) {
    tags->clear();
    size_t i = 0;
    const size_t n = text.size();
    for (;;) {
        while (i < n && IsFws(text[i])) ++i;
        if (i >= n) return true;
        const size_t name_at = i;
        if (!IsAlpha(text[i])) {
            *why = "a tag name must start with a letter";
            return false;
        }
        while (i < n && (IsAlpha(text[i]) || IsDigit(text[i]) || text[i] == '_')) ++i;
        Tag tag;
        tag.name = std::string(text.substr(name_at, i - name_at));
        while (i < n && IsFws(text[i])) ++i;
        if (i >= n || text[i] != '=') {
            *why = "tag " + tag.name + " has no \"=\"";
            return false;
        }
        ++i;
        const size_t value_at = i;
        while (i < n && text[i] != ';') {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            if (!IsFws(text[i]) && (c < 0x21 || c > 0x7e)) {
                *why = "tag " + tag.name + " holds a byte no tag value may hold";
                return false;
            }
            ++i;
        }
        tag.value = std::string(TrimFws(text.substr(value_at, i - value_at)));
        if (Find(*tags, tag.name)) {
            *why = "tag " + tag.name + " twice";
            return false;
        }
        tags->push_back(std::move(tag));
        if (i < n) ++i;  // ';'
    }
}

bool ParseSignature(std::string_view value, Signature* sig, std::string* why) {
    std::vector<Tag> tags;
    if (!ParseTagList(value, &tags, why)) return false;
    for (const char* required : {"v", "a", "b", "bh", "d", "h", "s"})
        if (!Find(tags, required)) {
            *why = std::string("no ") + required + "= tag";
            return false;
        }
    *sig = Signature{};
    if (Find(tags, "v")->value != "1") {
        *why = "version " + Find(tags, "v")->value + " (not 1)";
        return false;
    }
    const std::string a = common::AsciiLowered(Find(tags, "a")->value);
    if (a == "rsa-sha256") {
        sig->algorithm = Algorithm::kRsaSha256;
    } else if (a == "rsa-sha1") {
        sig->algorithm = Algorithm::kRsaSha1;
    } else if (a == "ed25519-sha256") {
        sig->algorithm = Algorithm::kEd25519Sha256;
    } else {
        *why = "unknown algorithm " + a;
        return false;
    }
    if (!DecodeBase64(Find(tags, "b")->value, &sig->signature) || sig->signature.empty()) {
        *why = "b= is not base64";
        return false;
    }
    if (!DecodeBase64(Find(tags, "bh")->value, &sig->body_hash) || sig->body_hash.empty()) {
        *why = "bh= is not base64";
        return false;
    }
    if (const Tag* c = Find(tags, "c")) {
        const std::string v = common::AsciiLowered(c->value);
        const size_t slash = v.find('/');
        const std::string head = v.substr(0, slash), body = slash == std::string::npos ? "simple" : v.substr(slash + 1);
        for (const auto& [text, canon] : {std::pair{head, &sig->header_canon}, std::pair{body, &sig->body_canon}}) {
            if (text == "simple") {
                *canon = Canon::kSimple;
            } else if (text == "relaxed") {
                *canon = Canon::kRelaxed;
            } else {
                *why = "unknown canonicalization " + v;
                return false;
            }
        }
    }
    sig->domain = common::AsciiLowered(Find(tags, "d")->value);
    sig->selector = Find(tags, "s")->value;
    if (sig->domain.empty() || sig->selector.empty()) {
        *why = "an empty d= or s=";
        return false;
    }
    sig->headers = ColonList(Find(tags, "h")->value);
    if (std::find(sig->headers.begin(), sig->headers.end(), "from") == sig->headers.end()) {
        *why = "h= does not sign From";
        return false;
    }
    sig->identity = Find(tags, "i") ? Find(tags, "i")->value : "@" + sig->domain;
    const size_t at = sig->identity.rfind('@');
    const std::string i_domain = at == std::string::npos ? "" : common::AsciiLowered(sig->identity.substr(at + 1));
    if (at == std::string::npos ||
        (i_domain != sig->domain &&
         !(i_domain.size() > sig->domain.size() &&
           i_domain.compare(i_domain.size() - sig->domain.size() - 1, std::string::npos, "." + sig->domain) == 0))) {
        *why = "i= is not in the domain of d=";
        return false;
    }
    if (const Tag* l = Find(tags, "l"); l && !ParseNumber(l->value, &sig->length)) {
        *why = "l= is not a number";
        return false;
    }
    if (const Tag* q = Find(tags, "q")) {
        const std::vector<std::string> methods = ColonList(q->value);
        if (std::find(methods.begin(), methods.end(), "dns/txt") == methods.end()) {
            *why = "no query method this verifier knows (q=" + q->value + ")";
            return false;
        }
    }
    if (const Tag* t = Find(tags, "t"); t && !ParseNumber(t->value, &sig->timestamp)) {
        *why = "t= is not a number";
        return false;
    }
    if (const Tag* x = Find(tags, "x"); x && !ParseNumber(x->value, &sig->expires)) {
        *why = "x= is not a number";
        return false;
    }
    if (sig->expires >= 0 && sig->timestamp >= 0 && sig->expires < sig->timestamp) {
        *why = "x= is before t=";
        return false;
    }
    return true;
}

bool ParseKey(std::string_view text, Key* key, std::string* why) {
    std::vector<Tag> tags;
    if (!ParseTagList(text, &tags, why)) return false;
    *key = Key{};
    if (const Tag* v = Find(tags, "v"); v && v->value != "DKIM1") {
        *why = "key record version " + v->value;
        return false;
    }
    const Tag* p = Find(tags, "p");
    if (!p) {
        *why = "key record without p=";
        return false;
    }
    if (!DecodeBase64(p->value, &key->public_key)) {
        *why = "p= is not base64";
        return false;
    }
    if (const Tag* k = Find(tags, "k")) key->type = common::AsciiLowered(k->value);
    if (const Tag* h = Find(tags, "h")) key->hashes = ColonList(h->value);
    if (const Tag* s = Find(tags, "s")) {
        const std::vector<std::string> services = ColonList(s->value);
        if (std::find(services.begin(), services.end(), "*") == services.end() &&
            std::find(services.begin(), services.end(), "email") == services.end()) {
            *why = "key not for mail (s=" + s->value + ")";
            return false;
        }
    }
    if (const Tag* t = Find(tags, "t"))
        for (const std::string& flag : ColonList(t->value)) {
            key->testing = key->testing || flag == "y";
            key->strict = key->strict || flag == "s";
        }
    return true;
}

std::string RelaxedHeader(std::string_view field) {
    const size_t colon = field.find(':');
    if (colon == std::string_view::npos) return common::AsciiLowered(field);
    std::string out = common::AsciiLowered(FieldName(field));
    out += ':';
    bool space = false, started = false;  // white space before the value's first byte goes
    for (char c : field.substr(colon + 1)) {
        if (c == '\r' || c == '\n') continue;  // unfolded
        if (IsWsp(c)) {
            space = true;
            continue;
        }
        if (space && started) out += ' ';
        space = false;
        started = true;
        out += c;
    }
    return out;
}

namespace {

// Sixteen bytes at a time where the machine has SSE2 (every x86-64): the body is the bulk of
// what a verification reads, and relaxed canonicalisation looks at every byte of it.
#if defined(__SSE2__)
struct WspMasks {
    unsigned spaces, tabs;
};
inline WspMasks Masks16(const char* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return {static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')))),
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))))};
}
#endif

// Relaxed canonicalisation leaves the line as it is: no tab, no two spaces in a row, no space
// at its end (its start was checked already).
bool RelaxedUnchanged(std::string_view line) {
    if (line.back() == ' ') return false;
    const char* p = line.data();
    const size_t n = line.size();
    size_t i = 0;
    unsigned carry = 0;  // the byte before was a space
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16) {
        const WspMasks m = Masks16(p + i);
        if (m.tabs || (m.spaces & ((m.spaces << 1) | carry))) return false;
        carry = m.spaces >> 15;
    }
#endif
    for (; i < n; ++i) {
        if (p[i] == '\t') return false;
        const unsigned space = p[i] == ' ';
        if (space & carry) return false;
        carry = space;
    }
    return true;
}

}  // namespace

void BodyCanonicalizer::EmitLine(std::string_view line, std::string* out) {
    if (canon_ == Canon::kRelaxed) {
        size_t i = 0;
        while (i < line.size() && IsWsp(line[i])) ++i;
        if (i == line.size()) {  // blank: it counts only if text follows
            ++empty_lines_;
            return;
        }
        for (; empty_lines_ > 0; --empty_lines_) out->append("\r\n");
        any_line_ = true;
        if (i == 0 && RelaxedUnchanged(line)) {  // most lines of most mail
            out->append(line);
            out->append("\r\n");
            return;
        }
        // A run of white space becomes one space, written only when text follows it, so none
        // is left at the line's end.
        const size_t base = out->size();
        out->resize(base + line.size() + 2);
        char* w = out->data() + base;
        bool space = i > 0;
        for (; i < line.size(); ++i) {
            const char c = line[i];
            if (IsWsp(c)) {
                space = true;
                continue;
            }
            if (space) *w++ = ' ';
            space = false;
            *w++ = c;
        }
        *w++ = '\r';
        *w++ = '\n';
        out->resize(static_cast<size_t>(w - out->data()));
        return;
    }
    if (line.empty()) {
        ++empty_lines_;
        return;
    }
    for (; empty_lines_ > 0; --empty_lines_) out->append("\r\n");
    out->append(line);
    out->append("\r\n");
    any_line_ = true;
}

void BodyCanonicalizer::Add(std::string_view chunk, std::string* out) {
    out->reserve(out->size() + chunk.size() + 2);
    size_t at = 0;
    while (at < chunk.size()) {
        const size_t nl = chunk.find('\n', at);
        if (nl == std::string_view::npos) {
            line_.append(chunk.substr(at));  // the rest of the line comes with the next chunk
            return;
        }
        std::string_view line = chunk.substr(at, nl - at);
        if (!line_.empty()) {
            line_.append(line);
            line = line_;
        }
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        EmitLine(line, out);
        line_.clear();
        at = nl + 1;
    }
}

void BodyCanonicalizer::Finish(std::string* out) {
    if (!line_.empty()) EmitLine(line_, out);  // a last line without its CR LF gains one
    line_.clear();
    empty_lines_ = 0;
    // An empty body is one CR LF under simple, nothing under relaxed (RFC 6376 errata 1384).
    if (!any_line_ && canon_ == Canon::kSimple) out->append("\r\n");
}

std::string CanonicalBody(std::string_view body, Canon canon) {
    std::string out;
    BodyCanonicalizer c(canon);
    c.Add(body, &out);
    c.Finish(&out);
    return out;
}

std::string Sha256ForBench(std::string_view data) {
    return Sha256(data);
}

const char* ResultName(int result) {
    static const char* const kNames[] = {"pass", "fail", "neutral", "policy", "temperror", "permerror"};
    return result >= 0 && result <= 5 ? kNames[result] : "";
}

std::vector<Verdict> Verify(std::string_view message, const KeyLookup& lookup, int64_t now, bool held_all) {
    size_t body_at = 0;
    const std::vector<std::string_view> fields = HeaderFields(message, &body_at);
    const std::string_view body = message.substr(body_at);
    std::vector<Verdict> out;
    std::string canonical[2];  // by body canonicalisation, made once
    bool made[2] = {false, false};
    for (std::string_view field : fields) {
        if (!AsciiEqualNoCase(FieldName(field), "dkim-signature")) continue;
        if (out.size() >= kMaxSignatures) break;
        Verdict v;
        const auto done = [&out, &v](int result, std::string reason) {
            v.result = result;
            v.reason = std::move(reason);
            out.push_back(std::move(v));
        };
        Signature sig;
        std::string why;
        if (!ParseSignature(field.substr(field.find(':') + 1), &sig, &why)) {
            done(kDkimPermError, why);
            continue;
        }
        v.domain = sig.domain;
        v.selector = sig.selector;
        if (sig.algorithm == Algorithm::kRsaSha1) {
            done(kDkimPolicy, "rsa-sha1 is not accepted (RFC 8301)");
            continue;
        }
        if (sig.expires >= 0 && now > sig.expires) {
            done(kDkimPermError, "signature expired");
            continue;
        }
        // The body first: no DNS question for a body that does not match.
        const size_t k = sig.body_canon == Canon::kRelaxed ? 1 : 0;
        if (!made[k]) {
            if (held_all) {
                canonical[k] = CanonicalBody(body, sig.body_canon);
            } else {
                BodyCanonicalizer c(sig.body_canon);  // what is known of a cut body
                c.Add(body, &canonical[k]);
            }
            made[k] = true;
        }
        std::string_view hashed = canonical[k];
        if (sig.length >= 0) {
            if (static_cast<uint64_t>(sig.length) > hashed.size()) {
                done(held_all ? kDkimFail : kDkimTempError,
                     held_all ? "l= is longer than the body" : "the body was cut at the hold limit before l=");
                continue;
            }
            hashed = hashed.substr(0, static_cast<size_t>(sig.length));
        } else if (!held_all) {
            done(kDkimTempError, "the body was cut at the hold limit and the signature covers all of it");
            continue;
        }
        if (Sha256(hashed) != sig.body_hash) {
            done(kDkimFail, "body hash mismatch");
            continue;
        }
        std::string txt;
        const int found = lookup(sig.selector + "._domainkey." + sig.domain, &txt);
        if (found == 2) {
            done(kDkimTempError, "key lookup failed");
            continue;
        }
        Key key;
        if (found != 0) {
            done(kDkimPermError, "no key record");
            continue;
        }
        if (!ParseKey(txt, &key, &why)) {
            done(kDkimPermError, why);
            continue;
        }
        if (key.public_key.empty()) {
            done(kDkimPermError, "key revoked");
            continue;
        }
        const bool ed = sig.algorithm == Algorithm::kEd25519Sha256;
        if (key.type != (ed ? "ed25519" : "rsa")) {
            done(kDkimPermError, "key type " + key.type + " does not fit the algorithm");
            continue;
        }
        if (!key.hashes.empty() && std::find(key.hashes.begin(), key.hashes.end(), "sha256") == key.hashes.end()) {
            done(kDkimPermError, "the key does not allow sha256");
            continue;
        }
        if (key.strict && common::AsciiLowered(sig.identity.substr(sig.identity.rfind('@') + 1)) != sig.domain) {
            done(kDkimPermError, "the key asks i= to be d= exactly");
            continue;
        }
        // The signed header fields, each the last not yet used of its name, then the signature
        // field itself without its b= value and without a final CR LF.
        std::string data;
        std::vector<char> used(fields.size(), 0);
        for (const std::string& name : sig.headers) {
            for (size_t j = fields.size(); j-- > 0;) {
                if (used[j] || !AsciiEqualNoCase(FieldName(fields[j]), name)) continue;
                used[j] = 1;
                data += sig.header_canon == Canon::kRelaxed ? RelaxedHeader(fields[j]) : std::string(fields[j]);
                data += "\r\n";
                break;
            }
        }
        const std::string self = WithoutSignatureValue(field);
        data += sig.header_canon == Canon::kRelaxed ? RelaxedHeader(self) : self;

        const std::shared_ptr<EVP_PKEY> pkey = ReadPublicKey(key.public_key, ed);
        if (!pkey || EVP_PKEY_id(pkey.get()) != (ed ? EVP_PKEY_ED25519 : EVP_PKEY_RSA)) {
            done(kDkimPermError, "the key cannot be read");
            continue;
        }
        if (!ed && (EVP_PKEY_bits(pkey.get()) < 1024 || EVP_PKEY_bits(pkey.get()) > 4096)) {
            done(kDkimPolicy, "an RSA key of " + std::to_string(EVP_PKEY_bits(pkey.get())) + " bits");
            continue;
        }
        std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
        const auto* signature = reinterpret_cast<const unsigned char*>(sig.signature.data());
        bool good = false;
        if (ed) {
            // RFC 8463: Ed25519 signs the SHA-256 hash of the data.
            const std::string hash = Sha256(data);
            good = ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) == 1 &&
                   EVP_DigestVerify(ctx.get(), signature, sig.signature.size(),
                                    reinterpret_cast<const unsigned char*>(hash.data()), hash.size()) == 1;
        } else {
            good = ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, Sha256Md(), nullptr, pkey.get()) == 1 &&
                   EVP_DigestVerifyUpdate(ctx.get(), data.data(), data.size()) == 1 &&
                   EVP_DigestVerifyFinal(ctx.get(), signature, sig.signature.size()) == 1;
        }
        if (!good) {
            done(kDkimFail, "signature does not verify");
            continue;
        }
        v.result = kDkimPass;
        out.push_back(std::move(v));
    }
    return out;
}

}  // namespace checks::dkim
