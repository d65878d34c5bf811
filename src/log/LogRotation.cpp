#include "log/LogRotation.h"

namespace logging {

void CLogRotation::Set(int type, int value, int64_t now) {
    if (value == 0) value = 1;
    int64_t unit = 0;
    switch (type) {
        case 1: unit = 3600; break;
        case 2: unit = 86400; break;
        case 3: unit = 604800; break;
        case 4: unit = 2678400; break;
        case 5: size_mb_ = value; break;
        default: return;
    }
    type_ = type;
    if (type == 5) return;
    period_ = unit * value;
    last_slot_ = now / period_;
}

bool CLogRotation::Check(int64_t now, int64_t log_size) {
    if (type_ == 5) return log_size >= (static_cast<int64_t>(size_mb_) << 20);
    if (period_ <= 0) return false;
    int64_t slot = now / period_;
    bool rotate = last_slot_ >= 1 && slot != last_slot_;
    last_slot_ = slot;
    return rotate;
}

}  // namespace logging
