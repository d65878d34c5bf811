#pragma once
// Stored passwords: PBKDF2-HMAC-SHA256 with a random salt, written as
//     pbkdf2-sha256$ITERATIONS$SALT_HEX$HASH_HEX
// so the cost can rise later without breaking stored entries. Older files hold an unsalted MD5
// digest (32 hex digits); it is still accepted, and the caller stores the new form at the next
// successful check. Any thread may call these; nothing is logged.
#include <string>
#include <string_view>

namespace platform {

// Slow enough that a stolen file costs an attacker real time per guess, fast enough that a
// login does not hold a web worker long (about 0.18 s on one core of this machine).
inline constexpr int kPasswordIterations = 210000;

// The stored form of `password` with a fresh salt; "" when the system has no random source.
std::string HashPassword(std::string_view password, int iterations = kPasswordIterations);
// True when `password` matches `stored` (either form); `old_form` (when given) tells whether
// `stored` is the unsalted MD5 digest the caller should replace. A malformed entry never matches.
bool VerifyPassword(std::string_view password, std::string_view stored, bool* old_form = nullptr);

}  // namespace platform
