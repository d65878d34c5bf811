#include "platform/PasswordHash.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <charconv>
#include <vector>

#include "common/Md5.h"

namespace platform {

namespace {

constexpr std::string_view kScheme = "pbkdf2-sha256$";
constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;
// An entry asking for more is not ours: checking it would let a forged file stall logins.
constexpr int kMaxIterations = 10000000;

std::string Hex(const unsigned char* p, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        out.push_back(digits[p[i] >> 4]);
        out.push_back(digits[p[i] & 15]);
    }
    return out;
}

bool Unhex(std::string_view text, std::vector<unsigned char>* out) {
    if (text.size() % 2 != 0) return false;
    out->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned v = 0;
        auto [end, ec] = std::from_chars(text.data() + i, text.data() + i + 2, v, 16);
        if (ec != std::errc() || end != text.data() + i + 2) return false;
        out->push_back(static_cast<unsigned char>(v));
    }
    return true;
}

bool Derive(std::string_view password, const std::vector<unsigned char>& salt, int iterations, unsigned char* out) {
    return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                             static_cast<int>(salt.size()), iterations, EVP_sha256(), static_cast<int>(kHashBytes),
                             out) == 1;
}

bool IsMd5Digest(std::string_view s) {
    if (s.size() != 32) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

bool SameBytes(const void* a, const void* b, size_t n) {
    return CRYPTO_memcmp(a, b, n) == 0;
}

}  // namespace

std::string HashPassword(std::string_view password, int iterations) {
    std::vector<unsigned char> salt(kSaltBytes);
    if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) return std::string();
    unsigned char hash[kHashBytes];
    if (!Derive(password, salt, iterations, hash)) return std::string();
    return std::string(kScheme) + std::to_string(iterations) + "$" + Hex(salt.data(), salt.size()) + "$" +
           Hex(hash, sizeof hash);
}

bool VerifyPassword(std::string_view password, std::string_view stored, bool* old_form) {
    if (old_form) *old_form = false;
    if (IsMd5Digest(stored)) {
        if (old_form) *old_form = true;
        std::string mine = common::Md5Hex(password);
        std::string theirs(stored);
        for (char& c : theirs)
            if (c >= 'A' && c <= 'F') c = static_cast<char>(c + 32);
        return SameBytes(mine.data(), theirs.data(), mine.size());
    }
    if (stored.substr(0, kScheme.size()) != kScheme) return false;
    stored.remove_prefix(kScheme.size());
    const size_t d1 = stored.find('$');
    if (d1 == std::string_view::npos) return false;
    const size_t d2 = stored.find('$', d1 + 1);
    if (d2 == std::string_view::npos) return false;
    int iterations = 0;
    auto [end, ec] = std::from_chars(stored.data(), stored.data() + d1, iterations);
    if (ec != std::errc() || end != stored.data() + d1 || iterations < 1 || iterations > kMaxIterations) return false;
    std::vector<unsigned char> salt, want;
    if (!Unhex(stored.substr(d1 + 1, d2 - d1 - 1), &salt) || salt.empty()) return false;
    if (!Unhex(stored.substr(d2 + 1), &want) || want.size() != kHashBytes) return false;
    unsigned char got[kHashBytes];
    if (!Derive(password, salt, iterations, got)) return false;
    return SameBytes(got, want.data(), kHashBytes);
}

}  // namespace platform
