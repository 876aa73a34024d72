#pragma once
// First-timestamp synchronisation of one recording segment: every sample of a
// synchronised pipeline is held back (dropped) until each expected pipeline has
// delivered its first sample; then the segment starts, its wall-clock start time
// is taken and reported once.

#include "platform/media_time.h"
#include "platform/sample_buffer.h"

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace Dovezode {

enum class SyncPipeline { screen, mic, webcam, sysAudio };

struct SyncExpectations {
    bool screen = false;
    bool mic = false;
    bool webcam = false;
    bool sysAudio = false;
};

class SegmentSync {
public:
    // Called once per resolution with the start time in milliseconds since 1970,
    // on the delivering thread and with the synchronisation lock held: it must be
    // short and must not call back into this object or into the session.
    using ResolvedCallback = std::function<void(int64_t startMs)>;
    // Wall clock in milliseconds since 1970; replaceable for tests.
    using Clock = std::function<int64_t()>;
    // Now on the clock the samples are stamped with.
    using CaptureClock = std::function<platform::MediaTime()>;

    SegmentSync();

    void setOnSyncResolved(ResolvedCallback callback);
    void setClock(Clock clock);
    // Without a capture clock the segment has no common start time.
    void setCaptureClock(CaptureClock clock);
    void setExpectations(SyncExpectations expectations);

    // Records the pipeline's first timestamp if it has none and resolves the
    // segment when every expected pipeline has delivered.
    void registerFirstPTSIfNeeded(platform::MediaTime presentationTime, SyncPipeline pipeline);
    // Starts the segment now if it is still waiting, with what has arrived so far (a
    // recording paused or stopped before every pipeline delivered still reports that
    // it started, before it reports the pause or the stop).
    void resolveNow();
    // The sample to append, or null while the segment has not started.
    platform::SampleBufferRef applySyncOffset(const platform::SampleBufferRef& sample, SyncPipeline pipeline);
    // Back to waiting: first timestamps and offsets cleared. Expectations, the
    // callback and the last start time stay.
    void reset();

    bool isResolved() const;
    // The expected pipelines that have not delivered since the last reset.
    std::vector<SyncPipeline> waitingFor() const;
    std::optional<int64_t> recordingStartMs() const;
    // When the current segment started on the capture clock: the time zero of every
    // file of the segment, so that they line up. Invalid while waiting, or without a
    // capture clock.
    platform::MediaTime segmentStart() const;
    platform::MediaTime offset(SyncPipeline pipeline) const;

private:
    static constexpr size_t kPipelines = 4;

    bool isExpected(size_t pipeline) const;
    // Needs lock_.
    void resolveLocked();

    // Guards every field below.
    mutable std::mutex lock_;
    std::array<std::optional<platform::MediaTime>, kPipelines> firstPTS_;
    std::array<platform::MediaTime, kPipelines> offsets_;
    bool resolved_ = false;
    SyncExpectations expectations_;
    std::optional<int64_t> recordingStartMs_;
    platform::MediaTime segmentStart_ = platform::MediaTime::invalid();
    CaptureClock captureClock_;
    ResolvedCallback onSyncResolved_;
    Clock clock_;
};

// A copy of the sample with every timing entry moved earlier by `offset`; null
// when the offset's value is not positive, the sample has no format description,
// or the copy cannot be made.
platform::SampleBufferRef adjustTime(const platform::SampleBufferRef& sample, const platform::MediaTime& offset);

} // namespace Dovezode
