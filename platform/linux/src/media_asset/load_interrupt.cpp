#include "media_asset/load_interrupt.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform::linux_backend {
namespace {

// How long the calling thread has been ready to run but waiting for a processor,
// in nanoseconds (the second figure of its schedstat); -1 when not reported.
int64_t runQueueDelayNs() {
    int descriptor = ::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return -1;
    char text[128];
    ssize_t count;
    do count = ::read(descriptor, text, sizeof text - 1);
    while (count < 0 && errno == EINTR);
    ::close(descriptor);
    if (count <= 0) return -1;
    text[count] = '\0';
    char* end = nullptr;
    std::strtoll(text, &end, 10);  // time on a processor
    if (end == text) return -1;
    char* delayText = end;
    long long delay = std::strtoll(delayText, &end, 10);
    if (end == delayText || delay < 0) return -1;
    return delay;
}

} // namespace

LoadInterrupt::LoadInterrupt(Clock::duration budget)
    : budget_(budget), start_(Clock::now()), nextCheck_(start_ + budget), runDelayAtStartNs_(runQueueDelayNs()) {}

bool LoadInterrupt::late() {
    if (expired_) return true;
    auto now = Clock::now();
    if (now < nextCheck_) return false;
    auto own = now - start_ - excused_;
    if (runDelayAtStartNs_ >= 0) {
        int64_t delay = runQueueDelayNs();
        if (delay >= runDelayAtStartNs_) own -= std::chrono::nanoseconds(delay - runDelayAtStartNs_);
    }
    if (own >= budget_) {
        expired_ = true;
        return true;
    }
    // The own time grows at most as fast as the wall clock.
    nextCheck_ = now + (budget_ - own);
    return false;
}

int interruptWhenLate(void* opaque) { return static_cast<LoadInterrupt*>(opaque)->late() ? 1 : 0; }

} // namespace platform::linux_backend
