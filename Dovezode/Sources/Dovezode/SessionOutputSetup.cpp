// The outputs of a segment: the writers of its files, the capture sessions of its
// devices (made at the start, kept across a pause), and the start of capture.

#include "Dovezode/RecordingSession.h"

#include "Dovezode/Activity.h"
#include "Dovezode/Devices.h"
#include "Dovezode/OutputSettings.h"
#include "Dovezode/WebcamPreviewWindow.h"

#include "platform/activity.h"
#include "platform/queues.h"

namespace Dovezode {

using platform::PlatformError;

namespace {

// The extension a file name is checked by. A path holding a NUL character names
// no file the system can make (its name would end at the NUL): it has no
// acceptable extension, so every file kind refuses it.
std::string extensionOf(const std::filesystem::path& path) {
    if (path.native().find('\0') != std::string::npos) return {};
    std::string extension = path.extension().string();
    return extension.empty() ? extension : extension.substr(1);
}

const char* presetOf(WebcamResolution resolution) {
    switch (resolution) {
    case WebcamResolution::hd720p: return platform::session_preset::hd1280x720;
    case WebcamResolution::hd1080p: return platform::session_preset::hd1920x1080;
    case WebcamResolution::uhd4K: return platform::session_preset::uhd3840x2160;
    }
    return platform::session_preset::high;
}

// The writer for a main or webcam file, by its extension. Throws Error
// (unsupportedFileExtension, invalidFileExtension) or the writer's platform error.
std::shared_ptr<platform::AssetWriter> makeVideoFileWriter(platform::AssetWriters& writers,
                                                           const std::filesystem::path& destination, Target target,
                                                           VideoCodec videoCodec) {
    std::string extension = extensionOf(destination);
    platform::FileType type;
    if (target == Target::audioOnly) {
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
    return writers.makeWriter(destination.string(), type);
}

void storeWriter(OutputFile& file, std::shared_ptr<platform::AssetWriter> writer) {
    std::lock_guard guard(file.lock);
    file.replace(std::move(writer), nullptr);
}

} // namespace

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
            if (options.recordSystemAudio && options.sysDestination && !streamCapturesAudio_) {
                throw Error::couldNotStartStream(Error::couldNotAddInput("systemAudio"));
            }
            const bool streamMicrophone = platform_.capabilities.streamCapturesMicrophone &&
                                          target != Target::lumbra && options.microphoneDeviceID &&
                                          options.micDestination;
            if (streamMicrophone && !streamCapturesMicrophone_) {
                throw Error::couldNotStartStream(Error::couldNotAddInput("microphone"));
            }
        }
        endAt_ = platform::MediaTime::invalid();
    }
    sync_.setExpectations({
        .screen = target != Target::audioOnly,
        .mic = options.microphoneDeviceID && options.micDestination,
        .webcam = options.webcamDeviceID && options.webcamDestination,
        .sysAudio = options.recordSystemAudio && options.sysDestination,
    });
    resetSyncState();

    auto mainWriter = makeVideoFileWriter(*platform_.assetWriters, options.destination, target, options.videoCodec);
    storeWriter(main_, mainWriter);
    hintMainVideo(*mainWriter, target, options);
    if (options.recordSystemAudio && options.sysDestination) setUpSystemAudio(options);
    if (options.microphoneDeviceID && options.micDestination) setUpMicrophone(target, options);
    if (target == Target::lumbra) setUpLumbraDevice(options);
    if (options.webcamDeviceID && options.webcamDestination) setUpWebcam(target, options);

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
    // After the stream: a microphone's start waits for its first audio, while the stream's
    // sources already get going.
    startCaptureSessions();
    auto activity = std::make_unique<Activity>(platform_, platform::activity_options::idleSystemSleepDisabled,
                                               "Recording screen");
    std::lock_guard guard(stateLock_);
    activity_ = std::move(activity);
}

void RecordingSession::hintMainVideo(platform::AssetWriter& writer, Target target, const RecordingOptions& options) {
    if (target != Target::screen && target != Target::window) return;
    std::optional<PlannedPictures> planned;
    {
        std::lock_guard guard(stateLock_);
        planned = plannedPictures_;
    }
    if (!planned) return;
    // The settings the first picture gives when it has the planned size (startVideoStream).
    writer.prepareVideoInput(
        mainVideoSettings(*platform_.assetWriters, options.videoCodec, planned->size, frameIntervalOf(options)),
        planned->pixelFormat);
}

void RecordingSession::makeAudioFile(OutputFile& file, const std::filesystem::path& destination,
                                     const platform::AudioSettings& settings, const char* inputName) {
    std::string extension = extensionOf(destination);
    if (extension != "m4a") throw Error::unsupportedFileExtension(extension, true);
    auto& writers = *platform_.assetWriters;
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

void RecordingSession::setUpSystemAudio(const RecordingOptions& options) {
    makeAudioFile(systemAudio_, *options.sysDestination, systemAudioSettings(options), "systemAudio");
}

void RecordingSession::setUpMicrophone(Target target, const RecordingOptions& options) {
    const std::string& deviceID = *options.microphoneDeviceID;
    int32_t channels = 2;
    if (!(platform_.capabilities.streamCapturesMicrophone && target != Target::lumbra)) {
        auto device = Devices::findDevice(platform_, Devices::microphoneDeviceTypes(platform_.capabilities),
                                          platform::MediaType::audio, deviceID);
        if (!device || device->formats.empty() || !device->formats.front().audioChannelCount) {
            throw Error::microphoneNotFound(deviceID);
        }
        channels = static_cast<int32_t>(*device->formats.front().audioChannelCount);
        setUpCaptureSession(*device, {
            .session = &RecordingSession::microphoneCaptureSession_,
            .inputRefusal = "microphoneCaptureInput",
            .outputs = {{platform::CaptureOutput::Kind::audioData, "microphoneQueue", "microphoneCaptureOutput",
                         &RecordingSession::microphoneDataOutput_}},
        });
    }
    makeAudioFile(microphone_, *options.micDestination, microphoneSettings(options, channels), "microphone");
}

void RecordingSession::setUpLumbraDevice(const RecordingOptions& options) {
    platform_.captureDevices->allowScreenCaptureDevices();
    if (!options.targetID) throw Error::noTargetProvided();
    auto device = Devices::findDevice(platform_, Devices::externalDeviceTypes(platform_.capabilities), std::nullopt,
                                      *options.targetID);
    if (!device) throw Error::targetNotFound(*options.targetID);
    // The device's pictures are told apart from its sound by elimination: only the
    // audio output is kept.
    setUpCaptureSession(*device, {
        .session = &RecordingSession::lumbraCaptureSession_,
        .inputRefusal = "lumbraCaptureInput",
        .outputs = {{platform::CaptureOutput::Kind::videoData, "deviceQueue", "lumbraVideoOutput"},
                    {platform::CaptureOutput::Kind::audioData, "deviceAudioQueue", "lumbraAudioOutput",
                     &RecordingSession::lumbraDataOutput_}},
    });
}

void RecordingSession::setUpWebcam(Target target, const RecordingOptions& options) {
    const std::string& deviceID = *options.webcamDeviceID;
    bool keptSession;
    {
        std::lock_guard guard(stateLock_);
        keptSession = webcamCaptureSession_ != nullptr;
    }
    // The webcam preview's session lets go of the camera before this recording looks for
    // it and opens it, whenever the main queue gets to show the recording's session. A
    // resume keeps the recording's own session, which the window shows.
    if (!keptSession) {
        if (auto previewed = WebcamPreviewWindow::takeSession()) previewed->stopRunning();
    }
    auto device = Devices::findDevice(platform_, Devices::cameraDeviceTypes(platform_.capabilities),
                                      platform::MediaType::video, deviceID);
    if (!device) throw Error::webcamNotFound(deviceID);
    auto session = setUpCaptureSession(*device, {
        .session = &RecordingSession::webcamCaptureSession_,
        .inputRefusal = "webcamCaptureInput",
        .outputs = {{platform::CaptureOutput::Kind::videoData, "webcamQueue", "webcamCaptureOutput",
                     &RecordingSession::webcamVideoDataOutput_}},
        .configuresAsOne = true,
        .preset = options.webcamResolution ? presetOf(*options.webcamResolution) : nullptr,
    });
    if (session) {
        // A preview that showed the camera before the start now shows the recording's session.
        platform::mainQueue()->async([session] {
            if (auto window = WebcamPreviewWindow::shared()) window->updateSession(session);
        });
    }
    storeWriter(webcam_,
                makeVideoFileWriter(*platform_.assetWriters, *options.webcamDestination, target, options.videoCodec));
}

std::shared_ptr<platform::CaptureSession> RecordingSession::setUpCaptureSession(const platform::CaptureDevice& device,
                                                                                const CaptureSessionPlan& plan) {
    std::shared_ptr<platform::CaptureSession> session;
    {
        std::lock_guard guard(stateLock_);
        auto& kept = this->*plan.session;
        if (!kept) session = kept = platform_.captureSessions->makeSession();
    }
    if (!session) return nullptr;
    try {
        auto& sessions = *platform_.captureSessions;
        auto input = sessions.makeDeviceInput(device);
        if (plan.configuresAsOne) session->beginConfiguration();
        auto refuse = [&](const char* name) {
            if (plan.configuresAsOne) session->commitConfiguration();
            throw Error::couldNotAddInput(name);
        };
        if (!session->canAddInput(input)) refuse(plan.inputRefusal);
        session->addInput(input);
        if (plan.preset && session->canSetSessionPreset(plan.preset)) session->setSessionPreset(plan.preset);
        for (const auto& wanted : plan.outputs) {
            auto output = wanted.kind == platform::CaptureOutput::Kind::audioData ? sessions.makeAudioDataOutput()
                                                                                  : sessions.makeVideoDataOutput();
            if (wanted.routedAs) {
                std::lock_guard guard(stateLock_);
                this->*wanted.routedAs = output;
            }
            output->setSampleBufferDelegate(weak_from_this(), platform::makeSerialQueue(wanted.queueLabel));
            if (!session->canAddOutput(output)) refuse(wanted.refusal);
            session->addOutput(output);
        }
        if (plan.configuresAsOne) session->commitConfiguration();
    } catch (...) {
        // A session left half made would never deliver: a later set-up makes a new one.
        std::lock_guard guard(stateLock_);
        (this->*plan.session).reset();
        for (const auto& wanted : plan.outputs) {
            if (wanted.routedAs) (this->*wanted.routedAs).reset();
        }
        throw;
    }
    // A device that goes away while recording fails the recording, naming the device.
    session->setRuntimeErrorHandler([weak = weak_from_this()](const PlatformError& error) {
        if (auto self = weak.lock()) self->recordError(Error::unknown(error));
    });
    return session;
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

void RecordingSession::reportWriterFailure(OutputFile& file) {
    auto failure = file.takeFailure();
    if (!failure) return;
    // The other files end where this one does.
    const platform::MediaTime failedAt = file.writer->failedAt().value_or(platform::MediaTime::invalid());
    // Reported away from the file's lock, which the clean-up it starts takes.
    platform::globalQueue()->async([weak = weak_from_this(), error = *failure, failedAt] {
        if (auto self = weak.lock()) self->recordError(Error::unknown(error), failedAt);
    });
}

} // namespace Dovezode
