#include "writer/ffmpeg_asset_writer.h"

#include "common/ffmpeg_error.h"
#include "writer/asset_writer_settings.h"
#include "writer/video_encoder_parameters.h"

#include <algorithm>
#include <stdexcept>

extern "C" {
#include <libavformat/avformat.h>
}

namespace platform::linux_backend {

// ---- creation

FfmpegAssetWriter::FfmpegAssetWriter(std::string path, FileType fileType, FfmpegAssetWriterOptions options)
    : path_(std::move(path)), fileType_(fileType), options_(std::move(options)), file_(path_) {}

std::shared_ptr<FfmpegAssetWriter> FfmpegAssetWriter::create(const std::string& path, FileType fileType,
                                                             const FfmpegAssetWriterOptions& options) {
    return std::shared_ptr<FfmpegAssetWriter>(new FfmpegAssetWriter(path, fileType, options));
}

FfmpegAssetWriter::~FfmpegAssetWriter() {
    // A writer dropped while writing still completes its file rather than leave it unreadable.
    finishWriting();
    openedAhead_.discard();  // joins the opening ahead; what it opened goes
    removeFileIfEmpty();
    file_.close();
}

void FfmpegAssetWriter::removeFileIfEmpty() {
    std::lock_guard lock(mutex_);
    // A file with a header and no sample (the disk full from its first packet on) is no
    // recording either: it goes, rather than be left unreadable.
    if (!fileCreated_ || holdsSamples_) return;
    // Only our own file goes, never what someone else put at the path.
    file_.remove();
    fileCreated_ = false;
}

// ---- inputs

bool FfmpegAssetWriter::canAddInputLocked(const std::shared_ptr<AssetWriterInput>& input) const {
    const auto ours = std::dynamic_pointer_cast<FfmpegAssetWriterInput>(input);
    if (status_ != AssetWriterStatus::unknown || !ours || ours->isAttached()) return false;
    if (const auto* video = std::get_if<VideoSettings>(&ours->outputSettings()))
        return ours->mediaType() == MediaType::video && fileTypeTakes(fileType_, *video) && validVideo(*video);
    const auto& audio = std::get<AudioSettings>(ours->outputSettings());
    return ours->mediaType() == MediaType::audio && validAudio(audio);
}

bool FfmpegAssetWriter::canAddInput(const std::shared_ptr<AssetWriterInput>& input) const {
    std::lock_guard lock(mutex_);
    return canAddInputLocked(input);
}

void FfmpegAssetWriter::addInput(std::shared_ptr<AssetWriterInput> input) {
    std::lock_guard lock(mutex_);
    const auto ours = std::dynamic_pointer_cast<FfmpegAssetWriterInput>(input);
    if (!canAddInputLocked(input) || !ours->attach(shared_from_this(), inputs_.size()))
        throw std::logic_error("The writer of " + path_ + " cannot add this input");
    InputState state;
    state.input = ours;
    inputs_.push_back(std::move(state));
}

std::vector<std::shared_ptr<AssetWriterInput>> FfmpegAssetWriter::inputs() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<AssetWriterInput>> result;
    for (const auto& state : inputs_) result.push_back(state.input);
    return result;
}

// ---- a video encoder opened ahead

void FfmpegAssetWriter::prepareVideoInput(const VideoSettings& settings, FourCharCode sourcePixelFormat) {
    // Told now, while the recording can still be refused: the first frame would find no encoder.
    if (auto refusal = videoSizeRefusal(settings))
        throw PlatformError(kAssetWriterErrorDomain, AVERROR(EINVAL), "The file " + path_ + " cannot be written: " + *refusal + ".");
    {
        std::lock_guard lock(mutex_);
        // Settings this file cannot take would be refused when the input is added.
        if (status_ != AssetWriterStatus::unknown || !fileTypeTakes(fileType_, settings) || !validVideo(settings))
            return;
    }
    const AVOutputFormat* muxer =
        av_guess_format(muxerName(fileType_, settings.codec == VideoCodecType::hevc), nullptr, nullptr);
    if (!muxer) return;
    openedAhead_.open(settings, sourcePixelFormat, (muxer->flags & AVFMT_GLOBALHEADER) != 0);
}

// ---- start

bool FfmpegAssetWriter::startWriting() {
    std::lock_guard lock(mutex_);
    if (status_ != AssetWriterStatus::unknown) return false;

    bool hasHevc = false;
    for (auto& state : inputs_) {
        state.realTime = state.input->expectsMediaDataInRealTime();
        const bool video = state.input->mediaType() == MediaType::video;
        state.capacity = !state.realTime ? options_.queueCapacity
                         : video         ? options_.realTimeVideoQueueCapacity
                                         : options_.realTimeAudioQueueCapacity;
        state.capacity = std::max<size_t>(state.capacity, 1);
        state.startCapacity = state.capacity;
        if (const auto* settings = std::get_if<VideoSettings>(&state.input->outputSettings())) {
            hasHevc = hasHevc || settings->codec == VideoCodecType::hevc;
            if (state.realTime) {
                // Bytes of one converted picture: 4:2:0, at two bytes a sample for a 10-bit source.
                const size_t samples = size_t(encodedDimension(*settings->width)) *
                                       size_t(encodedDimension(*settings->height)) * 3 / 2;
                const size_t bytes = samples * (settings->codec == VideoCodecType::hevc ? 2 : 1);
                state.startCapacity += std::min(options_.realTimeVideoStartExtraFrames,
                                                options_.realTimeVideoStartBytes / std::max<size_t>(bytes, 1));
                state.startConverter = std::make_shared<StartConverter>();
            }
        }
    }

    // The file created for this writer must still be the one at the path: one moved
    // away or replaced (by a link, say) would take the recording somewhere else.
    if (!file_.pathNamesIt()) {
        status_ = AssetWriterStatus::failed;
        error_ = PlatformError(kAssetWriterErrorDomain, EEXIST,
                               "Cannot write the file at " + path_ + ": it was replaced by another file");
        return false;
    }
    const char* muxer = muxerName(fileType_, hasHevc);
    int result = avformat_alloc_output_context2(&format_, nullptr, muxer, path_.c_str());
    if (result >= 0) {
        // The muxer writes through the file's own descriptor (a custom I/O context).
        format_->pb = file_.makeIoContext();
        if (!format_->pb) result = AVERROR(ENOMEM);
        format_->flags |= AVFMT_FLAG_CUSTOM_IO;
    }
    if (result < 0) {
        status_ = AssetWriterStatus::failed;
        error_ = ffmpegError("Cannot write the file at " + path_, result);
        avformat_free_context(format_);
        format_ = nullptr;
        return false;
    }
    tracks_.resize(inputs_.size());
    status_ = AssetWriterStatus::writing;
    worker_ = std::thread([this] { run(); });
    return true;
}

void FfmpegAssetWriter::startSession(MediaTime sourceTime) {
    std::lock_guard lock(mutex_);
    if (status_ != AssetWriterStatus::writing || sessionStart_ || !sourceTime.isNumeric()) return;
    sessionStart_ = sourceTime;
    changed_.notify_all();
}

void FfmpegAssetWriter::endSession(MediaTime sourceTime) {
    std::lock_guard lock(mutex_);
    // Taken also after a failure while writing: what the file still holds back is cut there.
    const bool started = status_ == AssetWriterStatus::writing || (status_ == AssetWriterStatus::failed && worker_.joinable());
    if (!started || !sessionStart_ || sessionEnd_ || !sourceTime.isNumeric()) return;
    sessionEnd_ = sourceTime;
}

AssetWriterStatus FfmpegAssetWriter::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

std::optional<PlatformError> FfmpegAssetWriter::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

std::optional<MediaTime> FfmpegAssetWriter::failedAt() const {
    std::lock_guard lock(mutex_);
    if (status_ != AssetWriterStatus::failed || !sessionStart_) return std::nullopt;
    return *sessionStart_ + MediaTime::make(std::max<int64_t>(writtenEndMicros_.value_or(0), 0), 1000000);
}

// ---- finishing

void FfmpegAssetWriter::finishWriting() {
    std::lock_guard finishing(finishMutex_);
    {
        std::unique_lock lock(mutex_);
        if (finishRequested_) return;
        if (!worker_.joinable()) {
            // Never started: nothing was written, so the file goes.
            lock.unlock();
            removeFileIfEmpty();
            return;
        }
        for (size_t index = 0; index < inputs_.size(); ++index) {
            if (inputs_[index].finished) continue;
            inputs_[index].finished = true;
            Job end;
            end.kind = Job::Kind::endOfInput;
            end.input = index;
            jobs_.push_back(std::move(end));
        }
        finishRequested_ = true;
        Job finish;
        finish.kind = Job::Kind::finishFile;
        jobs_.push_back(std::move(finish));
        changed_.notify_all();
    }
    worker_.join();
    removeFileIfEmpty();
}

void FfmpegAssetWriter::fail(const PlatformError& error) {
    std::lock_guard lock(mutex_);
    if (status_ != AssetWriterStatus::writing) return;
    status_ = AssetWriterStatus::failed;
    error_ = error;
    changed_.notify_all();
}

} // namespace platform::linux_backend
