#include "Dovezode/RecordingSession.h"

#include "Dovezode/Durations.h"
#include "Dovezode/OutputSettings.h"
#include "Dovezode/WebcamPreviewWindow.h"

#include "platform/activity.h"
#include "platform/platform.h"
#include "platform/queues.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace Dovezode {

using platform::MediaTime;
using platform::PlatformError;
using platform::SampleBufferRef;

namespace {

platform::Platform& system() { return platform::installed(); }

// The extension a file name is checked by. A path holding a NUL character names
// no file the system can make (its name would end at the NUL): it has no
// acceptable extension, so every file kind refuses it.
std::string extensionOf(const std::filesystem::path& path) {
    if (path.native().find('\0') != std::string::npos) return {};
    std::string extension = path.extension().string();
    return extension.empty() ? extension : extension.substr(1);
}

// Decimal text of a display or window number, as target identifiers name them.
std::string decimal(uint32_t number) { return std::to_string(number); }

int64_t truncated(double value) { return static_cast<int64_t>(std::trunc(value)); }

std::vector<platform::CaptureDeviceType> microphoneTypes() {
    using T = platform::CaptureDeviceType;
    if (system().capabilities.newerCaptureDeviceTypes) return {T::microphone, T::external};
    return {T::builtInMicrophone, T::externalUnknown};
}

std::vector<platform::CaptureDeviceType> externalTypes() {
    using T = platform::CaptureDeviceType;
    if (system().capabilities.newerCaptureDeviceTypes) return {T::external};
    return {T::externalUnknown};
}

std::vector<platform::CaptureDeviceType> cameraTypes() {
    using T = platform::CaptureDeviceType;
    if (system().capabilities.newerCaptureDeviceTypes) return {T::builtInWideAngleCamera, T::external, T::continuityCamera};
    return {T::builtInWideAngleCamera, T::externalUnknown};
}

std::optional<platform::CaptureDevice> findDevice(const std::vector<platform::CaptureDeviceType>& types,
                                                  std::optional<platform::MediaType> mediaType,
                                                  const std::string& uniqueID) {
    for (auto& device : system().captureDevices->discover(types, mediaType)) {
        if (device.uniqueID == uniqueID) return device;
    }
    return std::nullopt;
}

const char* presetOf(WebcamResolution resolution) {
    switch (resolution) {
    case WebcamResolution::hd720p: return platform::session_preset::hd1280x720;
    case WebcamResolution::hd1080p: return platform::session_preset::hd1920x1080;
    case WebcamResolution::uhd4K: return platform::session_preset::uhd3840x2160;
    }
    return platform::session_preset::high;
}

// An audio writer for an .m4a file with one real-time input.
void makeAudioFile(OutputFile& file, const std::filesystem::path& destination, const platform::AudioSettings& settings,
                   const char* inputName) {
    std::string extension = extensionOf(destination);
    if (extension != "m4a") throw Error::unsupportedFileExtension(extension, true);
    auto& writers = *system().assetWriters;
    auto writer = writers.makeWriter(destination.string(), platform::FileType::appleM4A);
    auto input = writers.makeInput(platform::MediaType::audio, settings);
    {
        std::lock_guard guard(file.lock);
        file.replace(writer, input);
    }
    input->setExpectsMediaDataInRealTime(true);
    if (!writer->canAddInput(input)) throw Error::couldNotStartStream(Error::couldNotAddInput(inputName));
    writer->addInput(input);
}

void storeWriter(OutputFile& file, std::shared_ptr<platform::AssetWriter> writer) {
    std::lock_guard guard(file.lock);
    file.replace(std::move(writer), nullptr);
}

// Appends when the file runs, its input takes more data and the sample lies before
// the recording's end (when one is set); false when the sample is dropped or the
// writer refused it. Only what the file took counts for its duration.
bool appendIfReady(OutputFile& file, const SampleBufferRef& sample, const MediaTime& endAt) {
    if (!file.running || !file.input || !file.input->isReadyForMoreMediaData()) return false;
    if (endAt.isValid() && platform::compare(sample->presentationTimeStamp(), endAt) >= 0) return false;
    if (!file.input->append(sample)) return false;
    file.lastPTS = sample->presentationTimeStamp();
    return true;
}

// How long a resume waits for its segment to start: every source of a segment
// delivers within a few frame intervals, so a source still silent after this
// will not deliver (a device that stopped, a stream without that source).
constexpr std::chrono::seconds kSegmentStartLimit{4};

PlatformError segmentDidNotStart(const std::vector<SyncPipeline>& silent) {
    std::string sources;
    for (size_t i = 0; i < silent.size(); ++i) {
        if (i > 0) sources += i + 1 == silent.size() ? " and " : ", ";
        switch (silent[i]) {
        case SyncPipeline::screen: sources += "the screen"; break;
        case SyncPipeline::mic: sources += "the microphone"; break;
        case SyncPipeline::webcam: sources += "the camera"; break;
        case SyncPipeline::sysAudio: sources += "the system audio"; break;
        }
    }
    if (sources.empty()) sources = "the screen";
    return PlatformError(platform::kCaptureErrorDomain, platform::kCaptureErrorDeviceNotConnected,
                         "Nothing came from " + sources + " within " + std::to_string(kSegmentStartLimit.count()) +
                             " seconds.");
}

// The picture shown again from `time` on: a copy of the frame presented then.
SampleBufferRef shownAt(const SampleBufferRef& frame, const MediaTime& time) {
    if (platform::compare(frame->presentationTimeStamp(), time) == 0) return frame;
    return frame->copyWithTiming({{MediaTime::invalid(), time, MediaTime::invalid()}});
}

// The stream's time between frames.
MediaTime frameIntervalOf(const RecordingOptions& options) {
    return MediaTime::make(1, static_cast<int32_t>(options.framesPerSecond()));
}

} // namespace

std::shared_ptr<platform::AssetWriter> getAssetWriter(const std::filesystem::path& destination, Target target,
                                                      VideoCodec videoCodec, bool isAudioOnly) {
    std::string extension = extensionOf(destination);
    platform::FileType type;
    if (target == Target::audioOnly || isAudioOnly) {
        if (extension != "m4a") throw Error::unsupportedFileExtension(extension, true);
        type = platform::FileType::appleM4A;
    } else if (extension == "mp4") {
        type = platform::FileType::mpeg4;
    } else if (extension == "mov") {
        type = platform::FileType::quickTimeMovie;
    } else if (extension == "m4v") {
        type = platform::FileType::appleM4V;
    } else {
        throw Error::unsupportedFileExtension(extension, false);
    }
    if ((extension == "mp4" || extension == "m4v") &&
        (videoCodec == VideoCodec::proRes422 || videoCodec == VideoCodec::proRes4444)) {
        throw Error::invalidFileExtension(extension, std::string(videoCodec.caseName()));
    }
    return system().assetWriters->makeWriter(destination.string(), type);
}

std::shared_ptr<RecordingSession> RecordingSession::make() {
    return std::shared_ptr<RecordingSession>(new RecordingSession());
}

RecordingSession::~RecordingSession() = default;

void RecordingSession::setOnError(ErrorCallback callback) {
    std::lock_guard guard(stateLock_);
    onError_ = std::move(callback);
}

void RecordingSession::setOnSyncResolved(ResolvedCallback callback) { sync_.setOnSyncResolved(std::move(callback)); }

void RecordingSession::setResumed() { isResumed_ = true; }

std::optional<Error> RecordingSession::error() const {
    std::lock_guard guard(stateLock_);
    return error_;
}

RecordingSession::Snapshot RecordingSession::snapshot() const {
    uint64_t segment = segment_;
    std::lock_guard guard(stateLock_);
    return {target_, options_, segment, endAt_};
}

// ---- Stream set-up

platform::StreamConfiguration RecordingSession::makeConfiguration(const RecordingOptions& options) {
    platform::StreamConfiguration configuration;
    configuration.queueDepth = 6;
    switch (options.videoCodec()) {
    case VideoCodec::h264:
        configuration.pixelFormat = platform::pixel_format::bgra;
        configuration.colorSpaceName = platform::color_space::sRGB;
        break;
    case VideoCodec::hevc:
        configuration.pixelFormat = platform::pixel_format::argb2101010;
        configuration.colorSpaceName = platform::color_space::displayP3;
        break;
    default: break;  // ProRes keeps the stream's defaults
    }
    return configuration;
}

void RecordingSession::start(Target target, const RecordingOptions& options) {
    {
        std::lock_guard guard(stateLock_);
        if (target_) throw Error::recorderAlreadyStarted();
        target_ = target;
        options_ = std::make_shared<const RecordingOptions>(options);
    }
    if (target != Target::audioOnly && !options.targetID()) throw Error::noTargetProvided();
    sync_.setCaptureClock(system().captureClock);

    platform::StreamConfiguration configuration = makeConfiguration(options);
    platform::ShareableContent content;
    try {
        content = system().shareableContent->current({.excludingDesktopWindows = false, .onScreenWindowsOnly = false});
    } catch (const PlatformError& error) {
        if (error.code() == platform::kStreamErrorUserDeclined) throw Error::noPermissions();
        throw Error::couldNotStartStream(error);
    }

    const auto& capabilities = system().capabilities;
    configuration.minimumFrameInterval = target == Target::audioOnly
                                             ? MediaTime::make(1, 1)
                                             : MediaTime::make(1, static_cast<int32_t>(options.framesPerSecond()));
    configuration.showsCursor = options.showCursor();
    if (capabilities.streamDrawsClicks) configuration.showMouseClicks = options.highlightClicks();
    if (options.recordSystemAudio()) configuration.capturesAudio = true;
    bool streamMicrophone = capabilities.streamCapturesMicrophone && options.microphoneDeviceID().has_value();
    if (streamMicrophone) {
        configuration.captureMicrophone = true;
        configuration.microphoneCaptureDeviceID = options.microphoneDeviceID();
    }

    {
        // What the stream captures besides the screen is set once, here: a resume cannot add to it.
        std::lock_guard guard(stateLock_);
        streamCapturesAudio_ = options.recordSystemAudio();
        streamCapturesMicrophone_ = streamMicrophone;
    }

    std::optional<platform::ContentFilter> filter;
    makeFilterAndSize(target, options, content, configuration, filter);

    std::shared_ptr<platform::Stream> stream;
    if (target != Target::lumbra) {
        stream = system().streams->makeStream(*filter, configuration, weak_from_this());
        std::lock_guard guard(stateLock_);
        stream_ = stream;
    }
    if (stream) {
        std::vector<platform::StreamOutputType> types{platform::StreamOutputType::screen};
        if (options.recordSystemAudio()) types.push_back(platform::StreamOutputType::audio);
        if (streamMicrophone) types.push_back(platform::StreamOutputType::microphone);
        for (auto type : types) {
            try {
                stream->addStreamOutput(weak_from_this(), type, platform::globalQueue());
            } catch (const PlatformError& error) {
                throw Error::couldNotStartStream(error);
            }
        }
    }

    std::optional<Error> failure;
    try {
        initOutput(target, options);
    } catch (const Error& error) {
        failure = error;
    } catch (const PlatformError& error) {
        failure = Error::couldNotStartStream(error);
    }
    if (!failure) return;
    cleanUp();
    // A refused start leaves no file behind: the writers that never wrote remove their files.
    finishAll(true);
    ErrorCallback onError;
    {
        std::lock_guard guard(stateLock_);
        onError = onError_;
    }
    if (onError) onError(*failure);
    throw *failure;
}

void RecordingSession::makeFilterAndSize(Target target, const RecordingOptions& options,
                                         const platform::ShareableContent& content,
                                         platform::StreamConfiguration& configuration,
                                         std::optional<platform::ContentFilter>& filter) {
    const bool contentRectSizing = system().capabilities.contentRectangleSizing;
    switch (target) {
    case Target::screen: {
        auto display = std::find_if(content.displays.begin(), content.displays.end(),
                                    [&](const auto& d) { return decimal(d.displayID) == *options.targetID(); });
        if (display == content.displays.end()) throw Error::targetNotFound(*options.targetID());
        // The program's own windows (and those of the excluded process) never appear.
        std::vector<int32_t> hidden;
        if (options.excludedProcessID()) hidden.push_back(*options.excludedProcessID());
        hidden.push_back(static_cast<int32_t>(getpid()));
        std::vector<platform::Window> excluded;
        for (const auto& window : content.windows) {
            if (window.owningApplication &&
                std::find(hidden.begin(), hidden.end(), window.owningApplication->processID) != hidden.end()) {
                excluded.push_back(window);
            }
        }
        filter = platform::ContentFilter::displayExcludingWindows(*display, std::move(excluded));
        auto scale = [&] {
            auto mode = system().screens ? system().screens->currentMode(display->displayID) : std::nullopt;
            if (!mode || mode->width == 0) return int64_t{1};
            return mode->pixelWidth / mode->width;
        };
        if (const auto& crop = options.cropRect()) {
            // Only the part of the crop on the display can be captured: the picture is
            // never larger than the display, whatever the request asks for. A crop
            // beside the display leaves an empty area, which the stream refuses.
            const platform::Rect area = platform::intersection({{0, 0}, display->frame.size}, *crop);
            configuration.sourceRect = area;
            configuration.width = scale() * truncated(area.size.width);
            configuration.height = scale() * truncated(area.size.height);
        } else {
            platform::Rect rect = contentRectSizing ? filter->contentRect() : display->frame;
            configuration.width = scale() * truncated(rect.size.width);
            configuration.height = scale() * truncated(rect.size.height);
        }
        break;
    }
    case Target::window: {
        auto window = std::find_if(content.windows.begin(), content.windows.end(),
                                   [&](const auto& w) { return decimal(w.windowID) == *options.targetID(); });
        if (window == content.windows.end()) throw Error::targetNotFound(*options.targetID());
        filter = platform::ContentFilter::desktopIndependentWindow(*window);
        platform::Rect rect = contentRectSizing ? filter->contentRect() : window->frame;
        configuration.width = truncated(rect.size.width);
        configuration.height = truncated(rect.size.height);
        break;
    }
    case Target::audioOnly:
        if (content.displays.empty()) throw Error::noDisplaysConnected();
        filter = platform::ContentFilter::displayExcludingWindows(content.displays.front(), {});
        break;
    case Target::lumbra: break;
    }
}

// ---- Output set-up

void RecordingSession::resetSyncState() {
    sync_.reset();
    for (OutputFile* file : {&main_, &systemAudio_, &microphone_, &webcam_}) {
        std::lock_guard guard(file->lock);
        file->resetTiming();
    }
}

void RecordingSession::initOutput(Target target, const RecordingOptions& options) {
    {
        std::lock_guard guard(stateLock_);
        // A resume that asks the running stream for a source it was not started with would
        // wait for ever for that source's first sample: it is refused before any file is made.
        if (stream_ && isStreamRecording_) {
            if (options.recordSystemAudio() && options.sysDestination() && !streamCapturesAudio_) {
                throw Error::couldNotStartStream(Error::couldNotAddInput("systemAudio"));
            }
            const bool streamMicrophone = system().capabilities.streamCapturesMicrophone && target != Target::lumbra &&
                                          options.microphoneDeviceID() && options.micDestination();
            if (streamMicrophone && !streamCapturesMicrophone_) {
                throw Error::couldNotStartStream(Error::couldNotAddInput("microphone"));
            }
        }
        endAt_ = MediaTime::invalid();
    }
    sync_.setExpectations({
        .screen = target != Target::audioOnly,
        .mic = options.microphoneDeviceID() && options.micDestination(),
        .webcam = options.webcamDeviceID() && options.webcamDestination(),
        .sysAudio = options.recordSystemAudio() && options.sysDestination(),
    });
    resetSyncState();

    storeWriter(main_, getAssetWriter(options.destination(), target, options.videoCodec(), false));
    if (options.recordSystemAudio() && options.sysDestination()) setUpSystemAudio(options);
    if (options.microphoneDeviceID() && options.micDestination()) setUpMicrophone(target, options);
    if (target == Target::lumbra) setUpLumbraDevice(options);
    if (options.webcamDeviceID() && options.webcamDestination()) setUpWebcam(target, options);
    startCaptureSessions();

    std::shared_ptr<platform::Stream> stream;
    bool startStream = false;
    {
        std::lock_guard guard(stateLock_);
        startStream = !isStreamRecording_;
        stream = stream_;
    }
    // A resume finds the stream running and never starts it again.
    if (startStream) {
        if (stream) stream->startCapture();
        std::lock_guard guard(stateLock_);
        isStreamRecording_ = true;
    }
    auto activity = std::make_unique<Activity>(platform::activity_options::idleSystemSleepDisabled, "Recording screen");
    std::lock_guard guard(stateLock_);
    activity_ = std::move(activity);
}

void RecordingSession::setUpSystemAudio(const RecordingOptions& options) {
    makeAudioFile(systemAudio_, *options.sysDestination(), systemAudioSettings(options), "systemAudio");
}

void RecordingSession::setUpMicrophone(Target target, const RecordingOptions& options) {
    const std::string& deviceID = *options.microphoneDeviceID();
    int32_t channels = 2;
    if (!(system().capabilities.streamCapturesMicrophone && target != Target::lumbra)) {
        auto device = findDevice(microphoneTypes(), platform::MediaType::audio, deviceID);
        if (!device || device->formats.empty() || !device->formats.front().audioChannelCount) {
            throw Error::microphoneNotFound(deviceID);
        }
        channels = static_cast<int32_t>(*device->formats.front().audioChannelCount);
        std::shared_ptr<platform::CaptureSession> session;
        {
            std::lock_guard guard(stateLock_);
            if (!microphoneCaptureSession_) session = microphoneCaptureSession_ = system().captureSessions->makeSession();
        }
        if (session) {
            try {
                auto& sessions = *system().captureSessions;
                auto input = sessions.makeDeviceInput(*device);
                if (!session->canAddInput(input)) throw Error::couldNotAddInput("microphoneCaptureInput");
                session->addInput(input);
                auto output = sessions.makeAudioDataOutput();
                {
                    std::lock_guard guard(stateLock_);
                    microphoneDataOutput_ = output;
                }
                output->setSampleBufferDelegate(weak_from_this(), platform::makeSerialQueue("microphoneQueue"));
                if (!session->canAddOutput(output)) throw Error::couldNotAddInput("microphoneCaptureOutput");
                session->addOutput(output);
            } catch (...) {
                // A session left without its input would never deliver: a later set-up makes a new one.
                std::lock_guard guard(stateLock_);
                microphoneCaptureSession_.reset();
                microphoneDataOutput_.reset();
                throw;
            }
            watch(session);
        }
    }
    makeAudioFile(microphone_, *options.micDestination(), microphoneSettings(options, channels), "microphone");
}

void RecordingSession::setUpLumbraDevice(const RecordingOptions& options) {
    system().captureDevices->allowScreenCaptureDevices();
    if (!options.targetID()) throw Error::noTargetProvided();
    auto device = findDevice(externalTypes(), std::nullopt, *options.targetID());
    if (!device) throw Error::targetNotFound(*options.targetID());
    std::shared_ptr<platform::CaptureSession> session;
    {
        std::lock_guard guard(stateLock_);
        if (!lumbraCaptureSession_) session = lumbraCaptureSession_ = system().captureSessions->makeSession();
    }
    if (!session) return;
    try {
        auto& sessions = *system().captureSessions;
        auto input = sessions.makeDeviceInput(*device);
        if (!session->canAddInput(input)) throw Error::couldNotAddInput("lumbraCaptureInput");
        session->addInput(input);
        auto video = sessions.makeVideoDataOutput();
        video->setSampleBufferDelegate(weak_from_this(), platform::makeSerialQueue("deviceQueue"));
        if (!session->canAddOutput(video)) throw Error::couldNotAddInput("lumbraVideoOutput");
        session->addOutput(video);
        auto audio = sessions.makeAudioDataOutput();
        {
            std::lock_guard guard(stateLock_);
            lumbraDataOutput_ = audio;
        }
        audio->setSampleBufferDelegate(weak_from_this(), platform::makeSerialQueue("deviceAudioQueue"));
        if (!session->canAddOutput(audio)) throw Error::couldNotAddInput("lumbraAudioOutput");
        session->addOutput(audio);
    } catch (...) {
        // A session left half made would never deliver: a later set-up makes a new one.
        std::lock_guard guard(stateLock_);
        lumbraCaptureSession_.reset();
        lumbraDataOutput_.reset();
        throw;
    }
    watch(session);
}

void RecordingSession::setUpWebcam(Target target, const RecordingOptions& options) {
    const std::string& deviceID = *options.webcamDeviceID();
    auto device = findDevice(cameraTypes(), platform::MediaType::video, deviceID);
    if (!device) throw Error::webcamNotFound(deviceID);
    std::shared_ptr<platform::CaptureSession> session;
    {
        std::lock_guard guard(stateLock_);
        if (!webcamCaptureSession_) session = webcamCaptureSession_ = system().captureSessions->makeSession();
    }
    if (session) {
        try {
            auto& sessions = *system().captureSessions;
            auto input = sessions.makeDeviceInput(*device);
            session->beginConfiguration();
            if (!session->canAddInput(input)) {
                session->commitConfiguration();
                throw Error::couldNotAddInput("webcamCaptureInput");
            }
            session->addInput(input);
            if (auto resolution = options.webcamResolution()) {
                if (session->canSetSessionPreset(presetOf(*resolution))) session->setSessionPreset(presetOf(*resolution));
            }
            auto output = sessions.makeVideoDataOutput();
            {
                std::lock_guard guard(stateLock_);
                webcamVideoDataOutput_ = output;
            }
            output->setSampleBufferDelegate(weak_from_this(), platform::makeSerialQueue("webcamQueue"));
            if (!session->canAddOutput(output)) {
                session->commitConfiguration();
                throw Error::couldNotAddInput("webcamCaptureOutput");
            }
            session->addOutput(output);
            session->commitConfiguration();
        } catch (...) {
            // A session left half made would never deliver: a later set-up makes a new one.
            std::lock_guard guard(stateLock_);
            webcamCaptureSession_.reset();
            webcamVideoDataOutput_.reset();
            throw;
        }
        watch(session);
        // A preview that showed the camera before the start now shows the recording's session.
        platform::mainQueue()->async([session] {
            if (auto window = WebcamPreviewWindow::shared()) window->updateSession(session);
        });
    }
    storeWriter(webcam_, getAssetWriter(*options.webcamDestination(), target, options.videoCodec(), false));
}

void RecordingSession::startCaptureSessions() {
    std::vector<std::shared_ptr<platform::CaptureSession>> sessions;
    {
        std::lock_guard guard(stateLock_);
        sessions = {microphoneCaptureSession_, lumbraCaptureSession_, webcamCaptureSession_};
    }
    for (auto& session : sessions) {
        if (!session || session->isRunning()) continue;
        session->startRunning();
        // A session that did not start would never deliver, and its segment never start.
        if (!session->isRunning()) {
            throw session->startError().value_or(platform::PlatformError(
                platform::kCaptureErrorDomain, platform::kCaptureErrorUnknown, "A capture session did not start."));
        }
    }
}

void RecordingSession::watch(const std::shared_ptr<platform::CaptureSession>& session) {
    // A device that goes away while recording fails the recording, naming the device.
    session->setRuntimeErrorHandler([weak = weak_from_this()](const PlatformError& error) {
        if (auto self = weak.lock()) self->recordError(Error::unknown(error));
    });
}

void RecordingSession::reportWriterFailure(OutputFile& file) {
    auto failure = file.takeFailure();
    if (!failure) return;
    // Reported away from the file's lock, which the clean-up it starts takes.
    platform::globalQueue()->async([weak = weak_from_this(), error = *failure] {
        if (auto self = weak.lock()) self->recordError(Error::unknown(error));
    });
}

// ---- Sample routing

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
    SampleBufferRef sample = delivered;
    if (pipeline) {
        sample = sync_.applySyncOffset(delivered, *pipeline);
        if (!sample) return;
    }
    if (state.target == Target::audioOnly) startAudioStream(sample, state);
    if (file.closing) return;
    std::lock_guard guard(file.lock);
    if (file.closing || isStale(state)) return;
    if (file.writer && !file.running && !file.startFailed) file.startWriting(sessionStartFor(*sample));
    if (!appendIfReady(file, sample, state.endAt)) return reportWriterFailure(file);
    MediaTime duration = sample->duration();
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
    if (main_.closing) return;
    std::lock_guard guard(main_.lock);
    if (main_.closing || isStale(state)) return;
    // Whatever this frame's status, the segment's video begins with the picture on screen
    // at its start: a screen that does not change sends no new picture.
    if (main_.writer && !main_.running && !openMainVideo(state)) return;
    if (sample->frameStatus() == platform::FrameStatus::complete) {
        // A frame overtaken by a later one on the concurrent queue is not written: the
        // writer takes frames in presentation order only.
        if (!main_.lastPTS.isValid() || platform::compare(sample->presentationTimeStamp(), main_.lastPTS) > 0)
            appendIfReady(main_, sample, state.endAt);
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
    appendIfReady(main_, shownAt(picture, main_.sessionStartPTS), state.endAt);
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
    const MediaTime due = platform::add(main_.lastPTS, platform::subtract(keyInterval, frameIntervalOf(*state.options)));
    if (!time.isNumeric() || platform::compare(time, due) < 0) return;
    if (SampleBufferRef picture = latestPicture()) appendIfReady(main_, shownAt(picture, time), state.endAt);
}

void RecordingSession::handleWebcam(const SampleBufferRef& delivered, const Snapshot& state) {
    SampleBufferRef sample = sync_.applySyncOffset(delivered, SyncPipeline::webcam);
    if (!sample) return;
    if (webcam_.closing) return;
    std::lock_guard guard(webcam_.lock);
    if (webcam_.closing || isStale(state)) return;
    if (webcam_.writer && !webcam_.running) {
        startWebcamStream(sample, state);
        // The frame that started the segment was captured before it: shown from its start.
        if (webcam_.running && platform::compare(sample->presentationTimeStamp(), webcam_.sessionStartPTS) < 0) {
            if (!appendIfReady(webcam_, shownAt(sample, webcam_.sessionStartPTS), state.endAt))
                reportWriterFailure(webcam_);
            return;
        }
    }
    // Frames captured before the start that were still on their way are not written.
    if (webcam_.lastPTS.isValid() && platform::compare(sample->presentationTimeStamp(), webcam_.lastPTS) <= 0) return;
    if (!appendIfReady(webcam_, sample, state.endAt)) reportWriterFailure(webcam_);
}

void RecordingSession::handleLumbraVideo(const SampleBufferRef& sample, const Snapshot& state) {
    handOffResume();
    if (main_.closing) return;
    std::lock_guard guard(main_.lock);
    if (main_.closing || isStale(state)) return;
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
    auto settings = mainVideoSettings(state.options->videoCodec(), *format->dimensions, frameIntervalOf(*state.options));
    auto input = system().assetWriters->makeInput(platform::MediaType::video, settings);
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
    auto settings = webcamVideoSettings(state.options->videoCodec(), *format->dimensions);
    auto input = system().assetWriters->makeInput(platform::MediaType::video, settings);
    input->setExpectsMediaDataInRealTime(true);
    webcam_.input = input;
    if (!webcam_.writer->canAddInput(input)) return;
    webcam_.writer->addInput(input);
    webcam_.startWriting(sessionStartFor(*sample));
}

void RecordingSession::startAudioStream(const SampleBufferRef& sample, const Snapshot& state) {
    if (main_.closing) return;
    std::lock_guard guard(main_.lock);
    if (main_.closing || isStale(state) || !main_.writer || main_.running || main_.startFailed) return;
    main_.startWriting(sessionStartFor(*sample));
}

void RecordingSession::streamDidStopWithError(platform::Stream&, const PlatformError& error) {
    recordError(Error::unknown(error));
}

// ---- Failure and clean-up

void RecordingSession::recordError(const Error& error) {
    ErrorCallback onError;
    {
        std::lock_guard guard(stateLock_);
        error_ = error;
        onError = onError_;
        // A resume waiting for its first frame would otherwise wait for ever.
        if (resumeHandOff_) {
            isResuming_ = false;
            resumeHandOff_->set_exception(std::make_exception_ptr(error));
            resumeHandOff_.reset();
        }
    }
    // Capture stops and the files are finished (a writer that never wrote removes its
    // file) before the failure is told: a host that ends the program on hearing of it
    // finds every file complete and no empty one.
    cleanUp();
    finishAll(true);
    if (onError) onError(error);
}

void RecordingSession::finishAll(bool dropWriters) {
    MediaTime end;
    {
        std::lock_guard guard(stateLock_);
        end = endAt_;
    }
    for (OutputFile* file : {&main_, &systemAudio_, &microphone_, &webcam_}) {
        file->closing = true;
        std::lock_guard guard(file->lock);
        file->finishWriting(end);
        if (dropWriters) file->replace(nullptr, nullptr);
    }
}

void RecordingSession::setEndTime() {
    std::lock_guard guard(stateLock_);
    if (!endAt_.isValid() && system().captureClock) endAt_ = system().captureClock();
}

namespace {

// How long a pause or stop waits for the stream's first picture: a stream grabs it as
// it starts, so a few frame intervals (at least 100 ms) cover a busy machine, and a stop
// of a stream that delivers nothing is not held up for long.
std::chrono::milliseconds firstPictureWait(const RecordingOptions* options) {
    const int64_t fps = options ? options->framesPerSecond() : 0;
    const int64_t intervals = fps > 0 ? 3000 / fps : 0;
    return std::chrono::milliseconds(std::max<int64_t>(100, intervals));
}

} // namespace

void RecordingSession::markEnd() {
    Snapshot state = snapshot();
    const bool showsScreen = state.target && *state.target != Target::audioOnly && *state.target != Target::lumbra;
    if (!isPaused_ && showsScreen) {
        bool waiting;
        {
            std::lock_guard guard(main_.lock);
            waiting = main_.writer && !main_.running && !main_.closing;
        }
        if (waiting) {
            std::unique_lock lock(pictureLock_);
            pictureArrived_.wait_for(lock, firstPictureWait(state.options.get()),
                                     [&] { return latestPicture_ != nullptr; });
        }
    }
    if (!isPaused_) {
        // Reports the start before the pause or stop that ends the segment.
        sync_.resolveNow();
        if (showsScreen) {
            std::lock_guard guard(main_.lock);
            if (main_.writer && !main_.running && !main_.closing && !isStale(state)) openMainVideo(state);
        }
    }
    setEndTime();
}

void RecordingSession::cleanUp() {
    setEndTime();
    std::shared_ptr<platform::Stream> stream;
    std::vector<std::shared_ptr<platform::CaptureSession>> sessions;
    {
        std::lock_guard guard(stateLock_);
        if (isStreamRecording_) stream = stream_;
        sessions = {microphoneCaptureSession_, lumbraCaptureSession_, webcamCaptureSession_};
    }
    if (stream) {
        try {
            stream->stopCapture();
        } catch (const PlatformError&) {
            // Stopping failed; the files are finished all the same.
        }
    }
    for (auto& session : sessions) {
        if (session && session->isRunning()) session->stopRunning();
    }
    finishAll(false);
    platform::mainQueue()->async([] { WebcamPreviewWindow::hide(); });
}

// ---- Pause, resume and durations

RecordingDurations RecordingSession::captureDurations() {
    auto measure = [](OutputFile& file, bool audio) {
        std::lock_guard guard(file.lock);
        if (audio) return milliseconds(file.sessionStartPTS, file.lastPTS, file.lastDuration);
        // A finished video shows its last frame until the file's end.
        if (file.lastPTS.isValid() && file.endPTS.isValid())
            return milliseconds(file.sessionStartPTS, file.endPTS, MediaTime::zero());
        return milliseconds(file.sessionStartPTS, file.lastPTS, MediaTime::zero());
    };
    return RecordingDurations(measure(main_, false), measure(microphone_, true), measure(systemAudio_, true),
                              measure(webcam_, false));
}

RecordingDurations RecordingSession::pause() {
    setEndTime();
    isPaused_ = true;
    ++segment_;
    finishAll(true);
    // Measured once the files are complete, before the reset forgets their times.
    RecordingDurations durations = captureDurations();
    resetSyncState();
    return durations;
}

void RecordingSession::resume(Target target, const RecordingOptions& options) {
    {
        std::lock_guard guard(stateLock_);
        // A recording that failed is not resumed: no device is restarted and no file made.
        if (error_) throw *error_;
        target_ = target;
        options_ = std::make_shared<const RecordingOptions>(options);
    }
    try {
        initOutput(target, options);
    } catch (...) {
        // A refused resume leaves no file behind, so that the same request can be tried again.
        finishAll(true);
        throw;
    }
    std::future<void> handedOff;
    std::optional<Error> failed;
    {
        std::lock_guard guard(stateLock_);
        failed = error_;
        if (!failed) {
            resumeHandOff_.emplace();
            handedOff = resumeHandOff_->get_future();
            // A new segment number once the segment's options and end are set: a sample
            // whose snapshot was taken while paused (the last segment's end time, perhaps
            // its options) is stale, instead of being written with them.
            ++segment_;
            isPaused_ = false;
            isResuming_ = true;
        }
    }
    if (failed) {
        finishAll(true);
        throw *failed;
    }
    if (handedOff.wait_for(kSegmentStartLimit) != std::future_status::ready) {
        bool waiting = false;
        {
            std::lock_guard guard(stateLock_);
            // Still ours: neither the first frame nor a failure has taken the hand-off.
            if (resumeHandOff_) {
                waiting = true;
                resumeHandOff_.reset();
                isResuming_ = false;
            }
        }
        // The segment started and its first frame is on its way: the resume succeeded.
        if (waiting && sync_.isResolved()) return;
        if (waiting) {
            // A source that never delivers: back to paused, without the files of the segment.
            auto silent = sync_.waitingFor();
            isPaused_ = true;
            ++segment_;
            finishAll(true);
            resetSyncState();
            throw Error::couldNotStartStream(segmentDidNotStart(silent));
        }
    }
    handedOff.get();
}

} // namespace Dovezode
