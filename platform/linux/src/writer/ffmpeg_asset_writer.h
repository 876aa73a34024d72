#pragma once
// One output file written with FFmpeg.
//
// Threads: the caller's threads add inputs, start, append and finish; encoding
// and muxing run on the writer's own thread, fed through a bounded queue per
// input. A real-time input refuses samples while its queue is full, so capture
// never waits for the encoder. A video encoder hinted by prepareVideoInput is
// opened on a thread of its own, which the first video track joins. While a
// real-time video track's first frames are encoded (libx264 is slow to reach its
// pace), its queue holds more frames, converted on arrival to the encoder's
// picture format so that they hold none of the producer's memory.
//
// ffmpeg_asset_writer.cpp holds creation, inputs, start and finishing;
// ffmpeg_asset_writer_appending.cpp the callers' appends; ffmpeg_asset_writer_muxing.cpp
// the writer thread, which encodes and muxes.

#include "writer/ffmpeg_asset_writer_input.h"
#include "writer/frame_converter.h"
#include "writer/output_file.h"
#include "writer/track_encoder.h"
#include "writer/video_encoder_opened_ahead.h"

#include "platform/asset_writer.h"
#include "platform/linux/ffmpeg_asset_writers.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

struct AVFormatContext;

namespace platform::linux_backend {

class AudioEncoder;
class VideoEncoder;

class FfmpegAssetWriter final : public AssetWriter, public std::enable_shared_from_this<FfmpegAssetWriter> {
public:
    // Creates the (empty) file; throws PlatformError naming the path and the cause.
    static std::shared_ptr<FfmpegAssetWriter> create(const std::string& path, FileType fileType,
                                                     const FfmpegAssetWriterOptions& options);
    ~FfmpegAssetWriter() override;

    const std::string& outputPath() const override { return path_; }
    FileType outputFileType() const override { return fileType_; }
    bool canAddInput(const std::shared_ptr<AssetWriterInput>& input) const override;
    void addInput(std::shared_ptr<AssetWriterInput> input) override;
    std::vector<std::shared_ptr<AssetWriterInput>> inputs() const override;
    void prepareVideoInput(const VideoSettings& settings, FourCharCode sourcePixelFormat) override;
    bool startWriting() override;
    void startSession(MediaTime sourceTime) override;
    void endSession(MediaTime sourceTime) override;
    AssetWriterStatus status() const override;
    std::optional<PlatformError> error() const override;
    std::optional<MediaTime> failedAt() const override;
    void finishWriting() override;

    // Called by the inputs.
    bool inputIsReady(size_t index) const;
    bool appendToInput(size_t index, const SampleBufferRef& sample);
    void finishInput(size_t index);

private:
    FfmpegAssetWriter(std::string path, FileType fileType, FfmpegAssetWriterOptions options);

    struct Job {
        enum class Kind { sample, endOfInput, finishFile } kind = Kind::sample;
        size_t input = 0;
        SampleBufferRef sample;
        int64_t position = 0;  // video: pts in 1/kVideoTimescale; audio: samples of the output rate
        int64_t duration = 0;  // video: the frame's own duration in 1/kVideoTimescale, 0 if none
        FourCharCode pixelFormat = 0;  // video: the frame's
        // Video: the frame converted on arrival (then `sample` is null), see startRoom.
        std::unique_ptr<AVFrame, FrameDeleter> picture;
    };
    // Converts a real-time video input's frames on arrival while its track starts;
    // `mutex` also keeps that input's appends in order. Callers' threads.
    struct StartConverter {
        std::mutex mutex;
        std::unique_ptr<FrameConverter> converter;
        FourCharCode sourceFormat = 0;
        // What the converter makes: the encoder's pixel format and picture size.
        AVPixelFormat targetFormat = AV_PIX_FMT_NONE;
        int width = 0;
        int height = 0;
        // Pictures the encoder has taken, kept for the next conversions while the track
        // starts (so their memory is not given back and asked for again), freed after.
        std::mutex spareMutex;
        std::vector<std::unique_ptr<AVFrame, FrameDeleter>> spare;
        bool started = false;  // the track's start is over: nothing is kept
    };
    struct InputState {
        std::shared_ptr<FfmpegAssetWriterInput> input;
        bool realTime = false;
        size_t capacity = 0;
        // A real-time video input's room while its track's first frames are encoded;
        // the frames beyond `capacity` are converted on arrival.
        size_t startCapacity = 0;
        size_t processed = 0;  // samples the writer thread is done with
        std::shared_ptr<StartConverter> startConverter;  // real-time video only
        std::optional<FourCharCode> firstPixelFormat;    // video: of the first frame taken
        size_t pending = 0;  // queued or being encoded
        bool finished = false;
        std::optional<int64_t> lastVideoPts;
    };
    struct Track {  // writer thread only
        std::unique_ptr<TrackEncoder> encoder;
        VideoEncoder* video = nullptr;
        AudioEncoder* audio = nullptr;
        int streamIndex = -1;
        bool ended = false;  // end of input seen
        bool cut = false;    // a packet at or after the session's end was left out, and so is the rest
        // Audio: packets accepted but not yet muxed, oldest first (see writePacket).
        std::deque<std::unique_ptr<AVPacket, PacketDeleter>> held;
    };

    bool inputIsReadyLocked(size_t index) const;
    bool inStartRoomLocked(const InputState& state) const;
    // The frame in the encoder's picture format, as the track's encoder converts it.
    std::unique_ptr<AVFrame, FrameDeleter> convertOnArrival(StartConverter& converter, const VideoSettings& settings,
                                                            const PixelBuffer& frame) const;
    bool canAddInputLocked(const std::shared_ptr<AssetWriterInput>& input) const;
    std::optional<Job> makeSampleJob(size_t index, const SampleBufferRef& sample) const;
    void fail(const PlatformError& error);
    void removeFileIfEmpty();

    // Writer thread (ffmpeg_asset_writer_muxing.cpp).
    void run();
    void process(Job& job);
    // After a sample: keeps its converted picture for the next conversions while the
    // track starts; frees the kept ones once the start is over.
    void keepStartPicture(Job& job);
    void openTrack(size_t index, FourCharCode pixelFormat);
    // Ends the track's encoder, its last video frame held to the session's end when there is one.
    void finishTrack(Track& track);
    void writeHeaderIfReady(bool finishing);
    // Takes a packet an encoder made: checks the room for it, and muxes it (video) or
    // holds it back for a while (audio), so that the file can still be cut where
    // another file of its recording failed.
    void writePacket(size_t index, AVPacket* packet);
    void muxPacket(size_t index, AVPacket* packet);
    // Muxes the held packets of the track that start before `beforeMicros` (from the
    // session start); with `cut`, drops the rest.
    void writeHeld(size_t index, int64_t beforeMicros, bool cut);
    // Where the session ends, in microseconds from its start, once endSession set it.
    std::optional<int64_t> sessionEndMicros() const;
    void completeFile();

    const std::string path_;
    const FileType fileType_;
    const FfmpegAssetWriterOptions options_;

    mutable std::mutex mutex_;  // guards the fields down to worker_
    std::condition_variable changed_;
    AssetWriterStatus status_ = AssetWriterStatus::unknown;
    std::optional<PlatformError> error_;
    std::vector<InputState> inputs_;
    std::deque<Job> jobs_;
    std::optional<MediaTime> sessionStart_;
    std::optional<MediaTime> sessionEnd_;
    bool finishRequested_ = false;
    bool fileCreated_ = true;  // the file made by create(), ours to remove while it holds no sample
    bool holdsSamples_ = false;  // a packet went into the file
    // Where the packets written end, in microseconds from the session start.
    std::optional<int64_t> writtenEndMicros_;
    std::thread worker_;

    std::mutex finishMutex_;  // one finishWriting at a time

    OutputFile file_;  // made by create(); closed by the writer thread when it completes the file
    VideoEncoderOpenedAhead openedAhead_;

    // Owned by the writer thread once started.
    AVFormatContext* format_ = nullptr;
    std::vector<Track> tracks_;
    bool headerWritten_ = false;
    std::vector<std::pair<size_t, AVPacket*>> earlyPackets_;  // made before the header could be written
    int64_t packetsWritten_ = 0;
    int64_t heldBytes_ = 0;  // of the packets held back, which the room kept covers
    bool outOfRoom_ = false;  // the disk or the file-size limit left only the room for finishing
};

} // namespace platform::linux_backend
