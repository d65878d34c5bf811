#pragma once
// The persisted connection counter "countconn.dat": exactly 4 bytes, a little-endian 32-bit
// integer, so connection ids keep counting across restarts. Pure file helpers; the listener
// owns the counter and its lock.
#include <cstdint>
#include <string>

namespace core {

inline constexpr int32_t kConnIdWrap = 0x7FFFFFFF;

// 0 for a missing or short file; 1 for a stored value of 0x7FFFFFFF or more.
int32_t ReadConnCounter(const std::string& path);
// Stores 1 instead of a value of 0x7FFFFFFF or more. Atomic; false when the write failed.
bool WriteConnCounter(const std::string& path, int64_t value);

}  // namespace core
