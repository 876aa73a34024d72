#pragma once
// One output file of a recording segment: its writer and input, whether the
// writer has started, and the times its durations are measured from.
//
// `lock` serialises every step of the file (starting the writer, appending,
// finishing), so a writer is never started twice, never fed from two threads at
// once and never fed while it is being finished. `closing` is raised before a
// finish takes the lock, so the sample paths drop their samples instead of
// queueing behind the finish.

#include "platform/asset_writer.h"
#include "platform/media_time.h"
#include "platform/sample_buffer.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

namespace Dovezode {

struct OutputFile {
    std::mutex lock;
    std::atomic<bool> closing{false};

    // Guarded by `lock`.
    std::shared_ptr<platform::AssetWriter> writer;
    std::shared_ptr<platform::AssetWriterInput> input;
    bool running = false;
    // The writer refused to start: the file stays silent for the rest of the segment.
    bool startFailed = false;
    // The writer's failure has been reported: it is reported once.
    bool failureReported = false;
    platform::MediaTime sessionStartPTS = platform::MediaTime::invalid();
    platform::MediaTime lastPTS = platform::MediaTime::invalid();
    platform::MediaTime lastDuration = platform::MediaTime::zero();
    // Where the finished file ends (its writer's session end); invalid while it is open
    // or when it was finished without an end time.
    platform::MediaTime endPTS = platform::MediaTime::invalid();

    // Takes `lock` for a sample, unless the file is closing or `isStale()` says the
    // sample belongs to another segment (asked with the lock held, so a pause that
    // finished the file first is seen): then gives a lock that owns nothing, and the
    // sample is dropped instead of waiting behind the finish.
    template <class StalePredicate>
    std::unique_lock<std::mutex> lockForSample(StalePredicate&& isStale) {
        if (closing) return {};
        std::unique_lock guard(lock);
        if (closing || isStale()) return {};
        return guard;
    }

    // Needs `lock`. Appends when the file runs, its input takes more data and the
    // sample lies before `endAt` (when valid); false when the sample is dropped or
    // the writer refused it. Only what the file took counts for its duration.
    bool appendIfReady(const platform::SampleBufferRef& sample, const platform::MediaTime& endAt);
    // Needs `lock`. Starts writing at `time`; false (and startFailed) when the writer refuses.
    bool startWriting(const platform::MediaTime& time);
    // Needs `lock`. Ends the file at `end` (when valid and the writer is writing), marks
    // the input finished and waits for the file to be complete, when the writer is
    // writing or failed while writing.
    void finishWriting(const platform::MediaTime& end);
    // Needs `lock`. The writer's error, once, when it failed as it started or while writing.
    std::optional<platform::PlatformError> takeFailure();
    // Needs `lock`. Forgets the timing of the segment.
    void resetTiming();
    // Needs `lock`. A fresh file of a new segment (or none, with null writer and input).
    void replace(std::shared_ptr<platform::AssetWriter> newWriter, std::shared_ptr<platform::AssetWriterInput> newInput);
};

} // namespace Dovezode
