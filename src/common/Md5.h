#pragma once
// MD5 digests as 32 lower-case hex digits: the key of composite records and the stored form of
// passwords. Md5 also streams, for digests of data that arrives in pieces. Not thread-safe per
// object; the free function may be called from any thread.
#include <cstdint>
#include <string>
#include <string_view>

namespace common {

class Md5 {
public:
    Md5() { Reset(); }
    void Reset();
    void Update(std::string_view data);
    // Finishes the digest and returns it as 32 lower-case hex digits; the object is reset.
    std::string HexDigest();

private:
    void Transform(const uint8_t block[64]);

    uint32_t state_[4];
    uint64_t bytes_ = 0;
    uint8_t buffer_[64];
};

std::string Md5Hex(std::string_view data);

}  // namespace common
