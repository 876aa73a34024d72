#include "Dovezode/SegmentSync.h"

#include <chrono>

namespace Dovezode {

using platform::MediaTime;

namespace {

int64_t wallClockMs() {
    using namespace std::chrono;
    // Seconds as a double times 1000, truncated toward zero.
    double seconds = duration<double>(system_clock::now().time_since_epoch()).count();
    return static_cast<int64_t>(seconds * 1000.0);
}

} // namespace

SegmentSync::SegmentSync() : clock_(wallClockMs) { offsets_.fill(MediaTime::zero()); }

void SegmentSync::setOnSyncResolved(ResolvedCallback callback) {
    std::lock_guard guard(lock_);
    onSyncResolved_ = std::move(callback);
}

void SegmentSync::setClock(Clock clock) {
    std::lock_guard guard(lock_);
    clock_ = std::move(clock);
}

void SegmentSync::setCaptureClock(CaptureClock clock) {
    std::lock_guard guard(lock_);
    captureClock_ = std::move(clock);
}

void SegmentSync::setExpectations(SyncExpectations expectations) {
    std::lock_guard guard(lock_);
    expectations_ = expectations;
}

bool SegmentSync::isExpected(size_t pipeline) const {
    switch (static_cast<SyncPipeline>(pipeline)) {
    case SyncPipeline::screen: return expectations_.screen;
    case SyncPipeline::mic: return expectations_.mic;
    case SyncPipeline::webcam: return expectations_.webcam;
    case SyncPipeline::sysAudio: return expectations_.sysAudio;
    }
    return false;
}

void SegmentSync::registerFirstPTSIfNeeded(MediaTime presentationTime, SyncPipeline pipeline) {
    std::lock_guard guard(lock_);
    if (resolved_) return;
    auto& first = firstPTS_[static_cast<size_t>(pipeline)];
    if (!first) first = presentationTime;
    for (size_t p = 0; p < kPipelines; ++p) {
        if (isExpected(p) && !firstPTS_[p]) return;
    }
    resolveLocked();
}

void SegmentSync::resolveNow() {
    std::lock_guard guard(lock_);
    if (!resolved_) resolveLocked();
}

void SegmentSync::resolveLocked() {
    // The reference is the latest first timestamp; ties go to the earlier pipeline.
    std::optional<MediaTime> reference;
    for (const auto& candidate : firstPTS_) {
        if (candidate && (!reference || platform::compare(*reference, *candidate) < 0)) reference = candidate;
    }
    for (size_t p = 0; p < kPipelines; ++p) {
        if (firstPTS_[p] && reference) offsets_[p] = platform::subtract(*firstPTS_[p], *reference);
    }
    resolved_ = true;
    segmentStart_ = captureClock_ ? captureClock_() : MediaTime::invalid();
    recordingStartMs_ = clock_();
    if (onSyncResolved_) onSyncResolved_(*recordingStartMs_);
}

platform::SampleBufferRef SegmentSync::applySyncOffset(const platform::SampleBufferRef& sample,
                                                       SyncPipeline pipeline) {
    registerFirstPTSIfNeeded(sample->presentationTimeStamp(), pipeline);
    MediaTime pipelineOffset;
    {
        std::lock_guard guard(lock_);
        if (!resolved_) return nullptr;
        pipelineOffset = offsets_[static_cast<size_t>(pipeline)];
    }
    auto adjusted = adjustTime(sample, pipelineOffset);
    return adjusted ? adjusted : sample;
}

void SegmentSync::reset() {
    std::lock_guard guard(lock_);
    firstPTS_.fill(std::nullopt);
    offsets_.fill(MediaTime::zero());
    resolved_ = false;
    segmentStart_ = MediaTime::invalid();
}

std::vector<SyncPipeline> SegmentSync::waitingFor() const {
    std::lock_guard guard(lock_);
    std::vector<SyncPipeline> waiting;
    for (size_t p = 0; p < kPipelines; ++p) {
        if (isExpected(p) && !firstPTS_[p]) waiting.push_back(static_cast<SyncPipeline>(p));
    }
    return waiting;
}

bool SegmentSync::isResolved() const {
    std::lock_guard guard(lock_);
    return resolved_;
}

std::optional<int64_t> SegmentSync::recordingStartMs() const {
    std::lock_guard guard(lock_);
    return recordingStartMs_;
}

MediaTime SegmentSync::segmentStart() const {
    std::lock_guard guard(lock_);
    return segmentStart_;
}

MediaTime SegmentSync::offset(SyncPipeline pipeline) const {
    std::lock_guard guard(lock_);
    return offsets_[static_cast<size_t>(pipeline)];
}

platform::SampleBufferRef adjustTime(const platform::SampleBufferRef& sample, const MediaTime& offset) {
    if (!sample || !sample->formatDescription() || !offset.isValid() || offset.value <= 0) return nullptr;
    std::vector<platform::SampleTimingInfo> timing = sample->timingInfo();
    if (timing.empty()) return nullptr;
    for (auto& entry : timing) {
        entry.decodeTimeStamp = platform::subtract(entry.decodeTimeStamp, offset);
        entry.presentationTimeStamp = platform::subtract(entry.presentationTimeStamp, offset);
    }
    return sample->copyWithTiming(std::move(timing));
}

} // namespace Dovezode
