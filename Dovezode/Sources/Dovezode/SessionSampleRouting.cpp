// Samples to their files: the stream's screen, system audio and microphone, the
// capture sessions' microphone, camera and device, each through the segment's
// synchronisation and into its file, which its first sample starts.

#include "Dovezode/RecordingSession.h"

#include "Dovezode/OutputSettings.h"

#include <cmath>

namespace Dovezode {

using platform::MediaTime;
using platform::PlatformError;
using platform::SampleBufferRef;

namespace {

// The picture shown again from `time` on: a copy of the frame presented then.
SampleBufferRef shownAt(const SampleBufferRef& frame, const MediaTime& time) {
    if (platform::compare(frame->presentationTimeStamp(), time) == 0) return frame;
    return frame->copyWithTiming({{MediaTime::invalid(), time, MediaTime::invalid()}});
}

} // namespace

void RecordingSession::streamDidOutputSampleBuffer(platform::Stream&, const SampleBufferRef& sample,
                                                   platform::StreamOutputType type) {
    // The segment is read before the pause flag, so a pause that begins in between marks the sample stale;
    // a resume counts a new segment, so one read while paused stays stale too.
    Snapshot state = snapshot();
    if (!sample || !sample->isValid()) return;
    // Kept also while paused: the next segment begins with the picture on screen then.
    if (type == platform::StreamOutputType::screen) keepPicture(sample);
    if (isPaused_) return;
    switch (type) {
    case platform::StreamOutputType::microphone: handleAudio(microphone_, sample, SyncPipeline::mic, state); break;
    case platform::StreamOutputType::audio: handleAudio(systemAudio_, sample, SyncPipeline::sysAudio, state); break;
    case platform::StreamOutputType::screen: handleScreen(sample, state); break;
    }
}

void RecordingSession::streamDidStopWithError(platform::Stream&, const PlatformError& error) {
    recordError(Error::unknown(error));
}

void RecordingSession::captureOutputDidOutput(platform::CaptureOutput& output, const SampleBufferRef& sample) {
    Snapshot state = snapshot();
    if (isPaused_ || !sample) return;
    std::shared_ptr<platform::CaptureOutput> microphone, lumbra, webcam;
    {
        std::lock_guard guard(stateLock_);
        microphone = microphoneDataOutput_;
        lumbra = lumbraDataOutput_;
        webcam = webcamVideoDataOutput_;
    }
    if (output.kind() == platform::CaptureOutput::Kind::audioData) {
        if (&output == microphone.get()) {
            handleAudio(microphone_, sample, SyncPipeline::mic, state);
        } else if (&output == lumbra.get()) {
            // Device audio is written as delivered, never held back by the synchronisation.
            handleAudio(systemAudio_, sample, std::nullopt, state);
        }
    } else if (&output == webcam.get()) {
        handleWebcam(sample, state);
    } else {
        handleLumbraVideo(sample, state);
    }
}

void RecordingSession::handleAudio(OutputFile& file, const SampleBufferRef& delivered,
                                   std::optional<SyncPipeline> pipeline, const Snapshot& state) {
    // How old the sound is as it arrives, counted for every buffer, also those before the
    // segment: a source that delivers in blocks shows it with its first.
    if (platform_.captureClock && delivered->presentationTimeStamp().isNumeric())
        audioLateness_.note(platform::subtract(platform_.captureClock(), delivered->presentationTimeStamp()).seconds());
    SampleBufferRef sample = delivered;
    if (pipeline) {
        sample = sync_.applySyncOffset(delivered, *pipeline);
        if (!sample) return;
    }
    if (state.target == Target::audioOnly) startAudioStream(sample, state);
    auto guard = file.lockForSample([&] { return isStale(state); });
    if (!guard) return;
    if (file.writer && !file.running && !file.startFailed) file.startWriting(sessionStartFor(*sample));
    // Sound that ended by the file's start (it waited in the server's buffers) is not the
    // segment's: the writer would lay it at the start, a file the durations do not count.
    const MediaTime duration = sample->duration();
    if (file.running && duration.isNumeric() &&
        platform::compare(platform::add(sample->presentationTimeStamp(), duration), file.sessionStartPTS) <= 0) {
        return;
    }
    if (!file.appendIfReady(sample, state.endAt)) return reportWriterFailure(file);
    if (duration.isValid() && duration.value > 0) file.lastDuration = duration;
}

MediaTime RecordingSession::sessionStartFor(const platform::SampleBuffer& sample) const {
    // Every file of a segment starts at the segment's start, so that they line up
    // even where a source's samples reach us later than the others' (audio that
    // waited in a server's buffers). The writer leaves out what lies before it.
    MediaTime start = sync_.segmentStart();
    return start.isValid() ? start : sample.presentationTimeStamp();
}

void RecordingSession::handOffResume() {
    if (!isResuming_.exchange(false)) return;
    std::lock_guard guard(stateLock_);
    if (resumeHandOff_) {
        resumeHandOff_->set_value();
        resumeHandOff_.reset();
    }
}

void RecordingSession::handleScreen(const SampleBufferRef& delivered, const Snapshot& state) {
    SampleBufferRef sample = sync_.applySyncOffset(delivered, SyncPipeline::screen);
    if (!sample) return;
    handOffResume();
    auto guard = main_.lockForSample([&] { return isStale(state); });
    if (!guard) return;
    // Whatever this frame's status, the segment's video begins with the picture on screen
    // at its start: a screen that does not change sends no new picture.
    if (main_.writer && !main_.running && !openMainVideo(state)) return reportWriterFailure(main_);
    if (sample->frameStatus() == platform::FrameStatus::complete) {
        // A frame overtaken by a later one on the concurrent queue is not written: the
        // writer takes frames in presentation order only.
        if (!main_.lastPTS.isValid() || platform::compare(sample->presentationTimeStamp(), main_.lastPTS) > 0)
            main_.appendIfReady(sample, state.endAt);
    } else {
        repeatStillPicture(sample->presentationTimeStamp(), state);
    }
    reportWriterFailure(main_);
}

void RecordingSession::keepPicture(const SampleBufferRef& frame) {
    if (frame->frameStatus() != platform::FrameStatus::complete || !frame->pixels()) return;
    {
        std::lock_guard guard(pictureLock_);
        // Frames may be handled out of order on the concurrent queue: the newest stays.
        if (latestPicture_ &&
            platform::compare(latestPicture_->presentationTimeStamp(), frame->presentationTimeStamp()) >= 0) {
            return;
        }
        latestPicture_ = frame;
    }
    pictureArrived_.notify_all();
}

SampleBufferRef RecordingSession::latestPicture() const {
    std::lock_guard guard(pictureLock_);
    return latestPicture_;
}

// Needs main_.lock.
bool RecordingSession::openMainVideo(const Snapshot& state) {
    SampleBufferRef picture = latestPicture();
    if (!picture) return false;
    startVideoStream(picture, state);
    if (!main_.running) return false;
    main_.appendIfReady(shownAt(picture, main_.sessionStartPTS), state.endAt);
    return true;
}

// Needs main_.lock.
void RecordingSession::repeatStillPicture(const MediaTime& time, const Snapshot& state) {
    if (!main_.running || !main_.input || !main_.lastPTS.isValid() || !state.options) return;
    const auto* settings = std::get_if<platform::VideoSettings>(&main_.input->outputSettings());
    if (!settings || !settings->compressionProperties ||
        !settings->compressionProperties->maxKeyFrameIntervalDuration) {
        return;
    }
    // Repeated one frame interval before the key-frame interval runs out, so the next key
    // frame still comes in time.
    const MediaTime keyInterval = MediaTime::make(
        std::llround(*settings->compressionProperties->maxKeyFrameIntervalDuration * 1000), 1000);
    const MediaTime due =
        platform::add(main_.lastPTS, platform::subtract(keyInterval, frameIntervalOf(*state.options)));
    if (!time.isNumeric() || platform::compare(time, due) < 0) return;
    if (SampleBufferRef picture = latestPicture()) main_.appendIfReady(shownAt(picture, time), state.endAt);
}

void RecordingSession::handleWebcam(const SampleBufferRef& delivered, const Snapshot& state) {
    SampleBufferRef sample = sync_.applySyncOffset(delivered, SyncPipeline::webcam);
    if (!sample) return;
    auto guard = webcam_.lockForSample([&] { return isStale(state); });
    if (!guard) return;
    if (webcam_.writer && !webcam_.running) {
        startWebcamStream(sample, state);
        // The frame that started the segment was captured before it: shown from its start.
        if (webcam_.running && platform::compare(sample->presentationTimeStamp(), webcam_.sessionStartPTS) < 0) {
            if (!webcam_.appendIfReady(shownAt(sample, webcam_.sessionStartPTS), state.endAt))
                reportWriterFailure(webcam_);
            return;
        }
    }
    // Frames captured before the start that were still on their way are not written.
    if (webcam_.lastPTS.isValid() && platform::compare(sample->presentationTimeStamp(), webcam_.lastPTS) <= 0) return;
    if (!webcam_.appendIfReady(sample, state.endAt)) reportWriterFailure(webcam_);
}

void RecordingSession::handleLumbraVideo(const SampleBufferRef& sample, const Snapshot& state) {
    handOffResume();
    auto guard = main_.lockForSample([&] { return isStale(state); });
    if (!guard) return;
    if (main_.writer && !main_.running) startVideoStream(sample, state);
    if (main_.input && main_.input->isReadyForMoreMediaData()) {
        main_.input->append(sample);
        main_.lastPTS = sample->presentationTimeStamp();
    }
}

// Needs main_.lock.
void RecordingSession::startVideoStream(const SampleBufferRef& sample, const Snapshot& state) {
    if (state.target == Target::audioOnly) return;
    const auto& format = sample->formatDescription();
    if (!main_.writer || !state.options || !format || !format->dimensions || main_.startFailed) return;
    auto& writers = *platform_.assetWriters;
    auto settings =
        mainVideoSettings(writers, state.options->videoCodec, *format->dimensions, frameIntervalOf(*state.options));
    auto input = writers.makeInput(platform::MediaType::video, settings);
    main_.input = input;
    input->setExpectsMediaDataInRealTime(true);
    if (!main_.writer->canAddInput(input)) return;
    main_.writer->addInput(input);
    main_.startWriting(sessionStartFor(*sample));
}

// Needs webcam_.lock.
void RecordingSession::startWebcamStream(const SampleBufferRef& sample, const Snapshot& state) {
    const auto& format = sample->formatDescription();
    if (!webcam_.writer || !state.options || !format || !format->dimensions || webcam_.startFailed) return;
    auto settings = webcamVideoSettings(state.options->videoCodec, *format->dimensions);
    auto input = platform_.assetWriters->makeInput(platform::MediaType::video, settings);
    input->setExpectsMediaDataInRealTime(true);
    webcam_.input = input;
    if (!webcam_.writer->canAddInput(input)) return;
    webcam_.writer->addInput(input);
    webcam_.startWriting(sessionStartFor(*sample));
}

void RecordingSession::startAudioStream(const SampleBufferRef& sample, const Snapshot& state) {
    auto guard = main_.lockForSample([&] { return isStale(state); });
    if (!guard || !main_.writer || main_.running || main_.startFailed) return;
    if (!main_.startWriting(sessionStartFor(*sample))) reportWriterFailure(main_);
}

} // namespace Dovezode
