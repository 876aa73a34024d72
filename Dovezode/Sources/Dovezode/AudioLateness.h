#pragma once
// How late a recording's audio reaches its files: the longest time seen from the start
// of a buffer's sound to its arrival. Most sources hand their audio over within tens
// of milliseconds; one that hands it over in blocks (seconds of it at once) is as late
// as its blocks are long. A segment's end waits that long for the audio that covers it.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>

namespace Dovezode {

class AudioLateness {
public:
    // A buffer whose sound began `seconds` ago has arrived; from any delivering thread.
    void note(double seconds) {
        const int64_t late = int64_t(seconds * 1000.0);
        int64_t longest = longestMs_.load();
        while (late > longest && !longestMs_.compare_exchange_weak(longest, late)) {
        }
    }

    // How long a segment's end waits for its audio: the longest lateness seen and a margin
    // for a busy machine, at least kLeastEndWait (what a stop always waited for the audio
    // the server still held), at most kMostEndWait (so that a source that stopped
    // delivering holds a pause or stop back only so long).
    std::chrono::milliseconds endWait() const {
        return std::clamp(std::chrono::milliseconds(longestMs_.load()) + kEndWaitMargin, kLeastEndWait, kMostEndWait);
    }

    static constexpr std::chrono::milliseconds kEndWaitMargin{150};
    static constexpr std::chrono::milliseconds kLeastEndWait{250};
    static constexpr std::chrono::milliseconds kMostEndWait{3000};

private:
    std::atomic<int64_t> longestMs_{0};
};

} // namespace Dovezode
