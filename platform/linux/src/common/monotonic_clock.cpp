#include "common/monotonic_clock.h"

#include <ctime>

namespace platform::linux_backend {

int64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * kNanosecondsTimescale + now.tv_nsec;
}

} // namespace platform::linux_backend
