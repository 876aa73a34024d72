#include "pulse/pulse_logging.h"

#include <cstdlib>
#include <mutex>

namespace platform::linux_backend {

void keepLibpulseOffStandardError() {
    static std::once_flag once;
    // libpulse reads these once, at its first log line. The system log needs no descriptor
    // of ours up front (a process out of them still logs nothing to standard error).
    std::call_once(once, [] {
        if (!std::getenv("PULSE_LOG_FILE") && !std::getenv("PULSE_LOG_JOURNAL")) setenv("PULSE_LOG_SYSLOG", "1", 0);
    });
}

} // namespace platform::linux_backend
