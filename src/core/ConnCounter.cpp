#include "core/ConnCounter.h"

#include "platform/KFile.h"

namespace core {

int32_t ReadConnCounter(const std::string& path) {
    std::string bytes;
    if (!platform::ReadWholeFile(path, bytes) || bytes.size() < 4) return 0;
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[static_cast<size_t>(i)]);
    return v >= static_cast<uint32_t>(kConnIdWrap) ? 1 : static_cast<int32_t>(v);
}

bool WriteConnCounter(const std::string& path, int64_t value) {
    uint32_t v = (value >= kConnIdWrap || value < 0) ? 1u : static_cast<uint32_t>(value);
    char bytes[4];
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return platform::WriteFileAtomic(path, std::string_view(bytes, 4));
}

}  // namespace core
