#pragma once
// Fixed-width integers in bytes: little-endian for the system's files (DBK records, statistics
// files, rule records, the connection counter, domain properties) and big-endian for its network
// formats (the cooperative network's datagrams). Readers take a position the caller has already
// checked against the length.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace common {

inline void PutLe16(std::string& out, uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}

inline void PutLe32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

inline uint16_t GetLe16(std::string_view in, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(in[at]) | static_cast<uint8_t>(in[at + 1]) << 8);
}

inline uint32_t GetLe32(std::string_view in, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<uint8_t>(in[at + i])) << (8 * i);
    return v;
}

inline void PutLe64(std::string& out, uint64_t v) {
    PutLe32(out, static_cast<uint32_t>(v));
    PutLe32(out, static_cast<uint32_t>(v >> 32));
}

inline uint64_t GetLe64(std::string_view in, size_t at) {
    return GetLe32(in, at) | static_cast<uint64_t>(GetLe32(in, at + 4)) << 32;
}

// The low `bytes` bytes of `v`, most significant first.
inline void PutBe(std::string& out, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

inline uint64_t GetBe(std::string_view in, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | static_cast<uint8_t>(in[at + static_cast<size_t>(i)]);
    return v;
}

}  // namespace common
