#include "common/Md5.h"

#include <algorithm>
#include <cstring>

namespace common {

namespace {

constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
uint32_t Rotl(uint32_t x, int c) {
    return (x << c) | (x >> (32 - c));
}

}  // namespace

void Md5::Reset() {
    state_[0] = 0x67452301;
    state_[1] = 0xefcdab89;
    state_[2] = 0x98badcfe;
    state_[3] = 0x10325476;
    bytes_ = 0;
}

// Every step written out with its constants: the loop form, with its branch per step and its
// rotation read from a table, ran at a third of this speed, and the Bayes filter digests every
// block of a message's attachments.
#define MORVANE_MD5_STEP(F, a, b, c, d, x, t, s) \
    a += F(b, c, d) + (x) + (t);                 \
    a = Rotl(a, s) + (b)

void Md5::Transform(const uint8_t block[64]) {
    uint32_t m[16];
    for (int i = 0; i < 16; ++i)
        m[i] = uint32_t(block[i * 4]) | uint32_t(block[i * 4 + 1]) << 8 | uint32_t(block[i * 4 + 2]) << 16 |
               uint32_t(block[i * 4 + 3]) << 24;
    auto F = [](uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); };
    auto G = [](uint32_t x, uint32_t y, uint32_t z) { return y ^ (z & (x ^ y)); };
    auto H = [](uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; };
    auto I = [](uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); };
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    const uint32_t* k = kSine;
    for (int i = 0; i < 16; i += 4) {
        MORVANE_MD5_STEP(F, a, b, c, d, m[i], k[i], 7);
        MORVANE_MD5_STEP(F, d, a, b, c, m[i + 1], k[i + 1], 12);
        MORVANE_MD5_STEP(F, c, d, a, b, m[i + 2], k[i + 2], 17);
        MORVANE_MD5_STEP(F, b, c, d, a, m[i + 3], k[i + 3], 22);
    }
    for (int i = 16; i < 32; i += 4) {
        MORVANE_MD5_STEP(G, a, b, c, d, m[(5 * i + 1) % 16], k[i], 5);
        MORVANE_MD5_STEP(G, d, a, b, c, m[(5 * i + 6) % 16], k[i + 1], 9);
        MORVANE_MD5_STEP(G, c, d, a, b, m[(5 * i + 11) % 16], k[i + 2], 14);
        MORVANE_MD5_STEP(G, b, c, d, a, m[(5 * i + 16) % 16], k[i + 3], 20);
    }
    for (int i = 32; i < 48; i += 4) {
        MORVANE_MD5_STEP(H, a, b, c, d, m[(3 * i + 5) % 16], k[i], 4);
        MORVANE_MD5_STEP(H, d, a, b, c, m[(3 * i + 8) % 16], k[i + 1], 11);
        MORVANE_MD5_STEP(H, c, d, a, b, m[(3 * i + 11) % 16], k[i + 2], 16);
        MORVANE_MD5_STEP(H, b, c, d, a, m[(3 * i + 14) % 16], k[i + 3], 23);
    }
    for (int i = 48; i < 64; i += 4) {
        MORVANE_MD5_STEP(I, a, b, c, d, m[(7 * i) % 16], k[i], 6);
        MORVANE_MD5_STEP(I, d, a, b, c, m[(7 * i + 7) % 16], k[i + 1], 10);
        MORVANE_MD5_STEP(I, c, d, a, b, m[(7 * i + 14) % 16], k[i + 2], 15);
        MORVANE_MD5_STEP(I, b, c, d, a, m[(7 * i + 21) % 16], k[i + 3], 21);
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

#undef MORVANE_MD5_STEP

void Md5::Update(std::string_view data) {
    size_t have = bytes_ % 64;
    bytes_ += data.size();
    const uint8_t* p = reinterpret_cast<const uint8_t*>(data.data());
    size_t n = data.size();
    if (have) {
        size_t take = std::min(n, 64 - have);
        memcpy(buffer_ + have, p, take);
        p += take;
        n -= take;
        if (have + take < 64) return;
        Transform(buffer_);
    }
    for (; n >= 64; p += 64, n -= 64) Transform(p);
    if (n) memcpy(buffer_, p, n);
}

std::string Md5::HexDigest() {
    uint64_t bits = bytes_ * 8;
    static const uint8_t kPad[64] = {0x80};
    size_t have = bytes_ % 64;
    size_t pad = have < 56 ? 56 - have : 120 - have;
    Update(std::string_view(reinterpret_cast<const char*>(kPad), pad));
    uint8_t len[8];
    for (int i = 0; i < 8; ++i) len[i] = static_cast<uint8_t>(bits >> (8 * i));
    Update(std::string_view(reinterpret_cast<const char*>(len), 8));
    static const char kHex[] = "0123456789abcdef";
    std::string out(32, '0');
    for (int i = 0; i < 16; ++i) {
        uint8_t byte = static_cast<uint8_t>(state_[i / 4] >> (8 * (i % 4)));
        out[2 * i] = kHex[byte >> 4];
        out[2 * i + 1] = kHex[byte & 15];
    }
    Reset();
    return out;
}

std::string Md5Hex(std::string_view data) {
    Md5 md5;
    md5.Update(data);
    return md5.HexDigest();
}

}  // namespace common
