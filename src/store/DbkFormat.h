#pragma once
// The DBK table file, shared by its reader and its writer. All integers are 32-bit
// little-endian.
//
//   offset 0   6 bytes  magic "DBK2.0" (readers also accept "DBK1.0"), no terminator
//   offset 6   4 bytes  record count N (signed)
//   offset 10  N records back to back:
//                4 timestamp (seconds since 1970), 4 key length L, 4 data length D,
//                L key bytes, D data bytes (no terminators)
//
// Records are written in ascending bucket order and, inside a bucket, in insertion order.
// There is no checksum and no trailer.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace store::dbk {

inline constexpr std::string_view kMagicV1 = "DBK1.0";
inline constexpr std::string_view kMagicV2 = "DBK2.0";
inline constexpr size_t kMagicSize = 6;
inline constexpr size_t kHeaderSize = 10;
inline constexpr size_t kRecordHeaderSize = 12;
// Key and data lengths lie in 1..kMaxField.
inline constexpr int32_t kMaxField = 32768;
// A count outside 0..kMaxCount in a header is read as 0.
inline constexpr int32_t kMaxCount = 2147483646;

// Version of a header's magic: 1, 2, or 0 for anything else.
int MagicVersion(std::string_view bytes);

// Takes a little-endian i32 off the front of `in`; nullopt when fewer than 4 bytes remain.
std::optional<int32_t> ConsumeI32(std::string_view& in);
void AppendI32(std::string& out, int32_t v);

struct RecordView {
    int32_t timestamp;
    std::string_view key;  // as stored: may hold zero bytes
    std::string_view data;
};

// Takes one record off the front of `in`. nullopt when a length is outside 1..kMaxField or the
// record is cut short; `in` is then left where the record began.
std::optional<RecordView> ConsumeRecord(std::string_view& in);

}  // namespace store::dbk
