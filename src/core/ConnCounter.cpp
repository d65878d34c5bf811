#include "core/ConnCounter.h"

#include "common/Coding.h"
#include "platform/KFile.h"

namespace core {

int32_t ReadConnCounter(const std::string& path) {
    std::string bytes;
    if (!platform::ReadWholeFile(path, bytes) || bytes.size() < 4) return 0;
    const uint32_t v = common::GetLe32(bytes, 0);
    return v >= static_cast<uint32_t>(kConnIdWrap) ? 1 : static_cast<int32_t>(v);
}

bool WriteConnCounter(const std::string& path, int64_t value) {
    uint32_t v = (value >= kConnIdWrap || value < 0) ? 1u : static_cast<uint32_t>(value);
    std::string bytes;
    common::PutLe32(bytes, v);
    return platform::WriteFileAtomic(path, bytes);
}

}  // namespace core
