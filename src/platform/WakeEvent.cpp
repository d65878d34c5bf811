#include "platform/WakeEvent.h"

namespace platform {

CWakeEvent& KernelWake() {
    static CWakeEvent wake;
    return wake;
}

}  // namespace platform
