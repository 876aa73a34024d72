#pragma once
// Writing media files: a writer for one file, the audio and video inputs that
// feed it, and the output-settings assistant that proposes video settings for
// screen recordings.
//
// Life of a writer: made for a path and a file type (status unknown), inputs
// added, startWriting (status writing), startSession at the source time that
// becomes the file's time zero, samples appended while each input is ready,
// inputs marked as finished, finishWriting (status completed, or failed).

#include "platform/error.h"
#include "platform/format_description.h"
#include "platform/media_time.h"
#include "platform/sample_buffer.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace platform {

enum class FileType {
    appleM4A,        // .m4a, audio only
    mpeg4,           // .mp4
    quickTimeMovie,  // .mov
    appleM4V,        // .m4v
};

enum class AssetWriterStatus {
    unknown,    // made, not started
    writing,    // startWriting succeeded
    completed,  // finishWriting wrote the file
    failed,     // starting, encoding or writing failed; error() tells why
    cancelled,  // part of the contract; these backends offer no cancelling, so never entered
};

// ---- Output settings: the keys of the audio and video settings dictionaries.

enum class VideoCodecType { h264, hevc, proRes422, proRes4444 };  // AVVideoCodecKey

enum class VideoTransferFunction { ituR709_2 };        // AVVideoTransferFunctionKey
enum class VideoColorPrimaries { ituR709_2, p3D65 };   // AVVideoColorPrimariesKey
enum class VideoYCbCrMatrix { ituR709_2 };             // AVVideoYCbCrMatrixKey

struct VideoColorProperties {  // AVVideoColorPropertiesKey
    VideoTransferFunction transferFunction = VideoTransferFunction::ituR709_2;
    VideoColorPrimaries colorPrimaries = VideoColorPrimaries::ituR709_2;
    VideoYCbCrMatrix yCbCrMatrix = VideoYCbCrMatrix::ituR709_2;
    bool operator==(const VideoColorProperties&) const = default;
};

enum class VideoProfileLevel { h264BaselineAutoLevel, h264MainAutoLevel, h264HighAutoLevel, hevcMainAutoLevel, hevcMain10AutoLevel };  // AVVideoProfileLevelKey

struct VideoCompressionProperties {  // AVVideoCompressionPropertiesKey
    std::optional<int64_t> averageBitRate;           // AVVideoAverageBitRateKey, bit/s
    std::optional<VideoProfileLevel> profileLevel;   // AVVideoProfileLevelKey
    std::optional<double> expectedSourceFrameRate;   // AVVideoExpectedSourceFrameRateKey, frames/s
    std::optional<int32_t> maxKeyFrameInterval;      // AVVideoMaxKeyFrameIntervalKey, frames
    // AVVideoMaxKeyFrameIntervalDurationKey, seconds of source time: a key frame at
    // least this often whatever the frame rate, also when frames come irregularly.
    std::optional<double> maxKeyFrameIntervalDuration;
    std::optional<bool> allowFrameReordering;        // AVVideoAllowFrameReorderingKey (B-frames)
    bool operator==(const VideoCompressionProperties&) const = default;
};

struct VideoSettings {
    VideoCodecType codec = VideoCodecType::h264;  // AVVideoCodecKey
    std::optional<int32_t> width;                 // AVVideoWidthKey; required to add the input
    std::optional<int32_t> height;                // AVVideoHeightKey; required to add the input
    std::optional<VideoColorProperties> colorProperties;
    std::optional<VideoCompressionProperties> compressionProperties;
    bool operator==(const VideoSettings&) const = default;
};

namespace audio_format {
inline constexpr FourCharCode mpeg4AAC = fourCharCode("aac ");       // kAudioFormatMPEG4AAC
inline constexpr FourCharCode appleLossless = fourCharCode("alac");  // kAudioFormatAppleLossless
} // namespace audio_format

struct AudioSettings {
    FourCharCode formatID = audio_format::mpeg4AAC;  // AVFormatIDKey
    double sampleRate = 48000;                       // AVSampleRateKey, Hz
    int32_t numberOfChannels = 2;                    // AVNumberOfChannelsKey
    std::optional<int64_t> encoderBitRate;           // AVEncoderBitRateKey, bit/s (AAC); see kMinimumAacBitRate
    std::optional<int32_t> encoderBitDepthHint;      // AVEncoderBitDepthHintKey, bits (Apple Lossless)
    bool operator==(const AudioSettings&) const = default;
};

// The lowest AAC bit rate an input takes: an audio input whose AAC bit rate is set
// below it (zero and negative included) cannot be added to a writer.
inline constexpr int64_t kMinimumAacBitRate = 8000;

using OutputSettings = std::variant<AudioSettings, VideoSettings>;

// ---- Inputs and writers.

// One track of a file. Made by AssetWriters::makeInput, then added to one writer.
class AssetWriterInput {
public:
    virtual ~AssetWriterInput() = default;

    virtual MediaType mediaType() const = 0;
    virtual const OutputSettings& outputSettings() const = 0;

    // A real-time input never makes its caller wait: while its small queue is
    // full it is not ready and append refuses the sample (the caller drops it).
    // An input that is not real-time lets append wait until the queue has room.
    // Set before startWriting.
    virtual void setExpectsMediaDataInRealTime(bool realTime) = 0;
    virtual bool expectsMediaDataInRealTime() const = 0;

    // True while the writer is writing, its session has started, this input is
    // not finished and its queue has room.
    virtual bool isReadyForMoreMediaData() const = 0;
    // Queues the sample for encoding; true when it was taken. Refused (false, the
    // writer carries on): not ready, a sample of the other media type, a video
    // frame whose presentation time is not after the previous one or is before
    // the session start. Samples are placed at their presentation times: audio
    // gaps become silence and overlaps are trimmed.
    virtual bool append(const SampleBufferRef& sample) = 0;
    // No more samples will come; later appends are refused.
    virtual void markAsFinished() = 0;
};

class AssetWriter {
public:
    virtual ~AssetWriter() = default;

    virtual const std::string& outputPath() const = 0;
    virtual FileType outputFileType() const = 0;

    // Whether the input can be added: before startWriting only, an input of this
    // backend not added anywhere yet, a codec and settings the file type takes.
    virtual bool canAddInput(const std::shared_ptr<AssetWriterInput>& input) const = 0;
    // Throws std::logic_error when canAddInput is false.
    virtual void addInput(std::shared_ptr<AssetWriterInput> input) = 0;
    virtual std::vector<std::shared_ptr<AssetWriterInput>> inputs() const = 0;

    // A hint that a video input with these settings, fed frames of this pixel format,
    // will probably be added later. Opening a video encoder takes long enough to make
    // a live source's first frames late; a backend may open one now, away from the
    // caller's thread, and use it for a video input added later whose settings and
    // first frame's pixel format are the same. Any other input is encoded exactly as
    // without the hint, and the file is the same either way. The hint adds no input and
    // changes no status; it is taken before startWriting only, and once (later calls
    // are ignored). Call it on the thread that sets the writer up. The writer owns
    // whatever it prepares, and lets go of it when an input uses it, when the first
    // video input does not match, or when the writer goes away. Throws PlatformError
    // when no video input with these settings could ever be added for want of an
    // encoder for pictures of that size (the message names the size).
    virtual void prepareVideoInput(const VideoSettings& settings, FourCharCode sourcePixelFormat) {
        (void)settings;
        (void)sourcePixelFormat;
    }

    // Status unknown to writing; false (status failed, error() set) when the
    // writer cannot start. A writer with no inputs may start.
    virtual bool startWriting() = 0;
    // The given source time becomes the file's time zero: samples before it are
    // not written. Call once, after startWriting and before the first append.
    virtual void startSession(MediaTime sourceTime) = 0;
    // The given source time ends the file: samples presented at or after it are
    // refused, and the last frame of a video track is shown until it (held, or cut
    // short). Call at most once, after the last append and before the inputs are
    // marked as finished; without it a video track ends with its last frame's duration.
    // A writer that failed while writing may take it too, and cuts there what it has not
    // written yet; an end set in the past (where another file failed) cuts what lies
    // after it where the writer still can.
    virtual void endSession(MediaTime sourceTime) = 0;

    virtual AssetWriterStatus status() const = 0;
    // Set once the status is failed.
    virtual std::optional<PlatformError> error() const = 0;
    // Once the writer failed while writing: the source time where what its file holds
    // ends (the session start when it holds nothing). None otherwise, and from a backend
    // that cannot tell.
    virtual std::optional<MediaTime> failedAt() const { return std::nullopt; }

    // Marks every input as finished, waits until all queued samples are written
    // and the file is complete. Status completed, or failed when writing failed.
    // A writer that never received a sample leaves no file behind. Safe to call
    // in any status; returns at once when there is nothing to finish.
    virtual void finishWriting() = 0;
};

// ---- The output-settings assistant.

// Two presets for screen recordings; both target screen content (large flat areas,
// sharp text, little motion most of the time) captured at up to 60 frames a second
// and encoded live on the CPU while capture runs.
enum class OutputSettingsPreset {
    // H.264 High profile up to 3840x2160, the widely playable choice.
    screenH264UpTo4K,
    // HEVC up to 7680x4320: the smaller file at the same quality.
    screenHEVCUpTo8K,
};

// Proposes video settings for a preset, sized to the source format when one is set.
class OutputSettingsAssistant {
public:
    // Every preset of this enum has an assistant; none when a backend offers none.
    static std::optional<OutputSettingsAssistant> make(OutputSettingsPreset preset);

    OutputSettingsPreset preset() const { return preset_; }
    // The format of the frames to encode; its dimensions size the settings.
    void setSourceVideoFormat(std::shared_ptr<const FormatDescription> format) { source_ = std::move(format); }
    const std::shared_ptr<const FormatDescription>& sourceVideoFormat() const { return source_; }
    // The time between frames of the source; its rate sizes the bit rate and the key-frame
    // interval in frames. Invalid (the default): the preset's own rate of 60 frames a second.
    void setSourceVideoAverageFrameDuration(MediaTime duration) { frameDuration_ = duration; }
    MediaTime sourceVideoAverageFrameDuration() const { return frameDuration_; }
    std::optional<VideoSettings> videoSettings() const;

private:
    explicit OutputSettingsAssistant(OutputSettingsPreset preset) : preset_(preset) {}
    OutputSettingsPreset preset_;
    std::shared_ptr<const FormatDescription> source_;
    MediaTime frameDuration_ = MediaTime::invalid();
};

// ---- The service of struct Platform.

class AssetWriters {
public:
    virtual ~AssetWriters() = default;

    // A writer for a new file at `path`, status unknown. Throws PlatformError when
    // the file cannot be created; the error names the path and the cause.
    virtual std::shared_ptr<AssetWriter> makeWriter(const std::string& path, FileType fileType) = 0;
    // An input that is not yet part of a writer. Throws std::invalid_argument when
    // the settings do not fit the media type (video settings for audio, or muxed).
    virtual std::shared_ptr<AssetWriterInput> makeInput(MediaType mediaType, OutputSettings settings) = 0;
    virtual std::optional<OutputSettingsAssistant> outputSettingsAssistant(OutputSettingsPreset preset) {
        return OutputSettingsAssistant::make(preset);
    }
};

} // namespace platform
