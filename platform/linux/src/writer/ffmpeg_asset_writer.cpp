#include "writer/ffmpeg_asset_writer.h"

#include "writer/audio_encoder.h"
#include "common/ffmpeg_error.h"
#include "writer/video_encoder.h"
#include "writer/video_encoder_parameters.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

extern "C" {
#include <libavformat/avformat.h>
}

namespace platform::linux_backend {

namespace {

constexpr std::array kAacSampleRates{96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
constexpr int kMaxVideoDimension = 16384;
constexpr int kMaxAudioChannels = 8;

bool fileTypeTakesVideo(FileType type) { return type != FileType::appleM4A; }

bool fileTypeTakes(FileType type, const VideoSettings& video) {
    if (!fileTypeTakesVideo(type)) return false;
    const bool proRes = video.codec == VideoCodecType::proRes422 || video.codec == VideoCodecType::proRes4444;
    return !proRes || type == FileType::quickTimeMovie;
}

bool validVideo(const VideoSettings& video) {
    const auto fits = [](const std::optional<int32_t>& size) {
        return size && encodedDimension(*size) >= 2 && *size <= kMaxVideoDimension;
    };
    return fits(video.width) && fits(video.height);
}

bool validAudio(const AudioSettings& audio) {
    if (audio.numberOfChannels < 1 || audio.numberOfChannels > kMaxAudioChannels) return false;
    const double rate = audio.sampleRate;
    if (rate != static_cast<double>(static_cast<int>(rate))) return false;
    if (audio.formatID == audio_format::mpeg4AAC) {
        // A bit rate the encoder cannot use would fail the file at its first sample.
        if (audio.encoderBitRate && *audio.encoderBitRate < kMinimumAacBitRate) return false;
        return std::find(kAacSampleRates.begin(), kAacSampleRates.end(), static_cast<int>(rate)) != kAacSampleRates.end();
    }
    if (audio.formatID == audio_format::appleLossless) return rate >= 1 && rate <= 384000;
    return false;
}

const char* muxerName(FileType type, bool hasHevc) {
    switch (type) {
    case FileType::appleM4A: return "ipod";
    // The ipod muxer has no tag for HEVC: such .m4v files are mp4 files with the M4V brand.
    case FileType::appleM4V: return hasHevc ? "mp4" : "ipod";
    case FileType::mpeg4: return "mp4";
    case FileType::quickTimeMovie: return "mov";
    }
    return "mp4";
}

std::string systemErrorText(int code) { return std::strerror(code); }

// Room kept free for finishing a file: the packets the muxer still holds and the
// index, which grows with the packets written. A file that would eat into it
// fails instead, so that what it holds stays readable on a full disk or under
// a file-size limit.
constexpr int64_t kFinishingRoom = 256 * 1024;
constexpr int64_t kIndexBytesPerPacket = 32;

// The error (ENOSPC or EFBIG) when the open file `descriptor`, now `fileSize` bytes,
// cannot grow by `needed` bytes: the disk's room for this user, or the file-size limit.
std::optional<int> roomShortage(int descriptor, int64_t fileSize, int64_t needed) {
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<int64_t>(limit.rlim_cur) - fileSize < needed) {
        return EFBIG;
    }
    struct statvfs disk {};
    if (::fstatvfs(descriptor, &disk) == 0 &&
        static_cast<int64_t>(disk.f_bavail) * static_cast<int64_t>(disk.f_frsize) < needed) {
        return ENOSPC;
    }
    return std::nullopt;
}

// The muxer writes through the writer's own descriptor (a custom I/O context).
constexpr int kIoBufferBytes = 64 * 1024;

#if LIBAVFORMAT_VERSION_MAJOR >= 61
using IoWriteBuffer = const uint8_t*;
#else
using IoWriteBuffer = uint8_t*;
#endif

int descriptorOf(void* opaque) { return static_cast<int>(reinterpret_cast<intptr_t>(opaque)); }

int readFromDescriptor(void* opaque, uint8_t* buffer, int size) {
    ssize_t got;
    do got = ::read(descriptorOf(opaque), buffer, size_t(size));
    while (got < 0 && errno == EINTR);
    if (got < 0) return AVERROR(errno);
    return got == 0 ? AVERROR_EOF : int(got);
}

int writeToDescriptor(void* opaque, IoWriteBuffer buffer, int size) {
    int done = 0;
    while (done < size) {
        const ssize_t wrote = ::write(descriptorOf(opaque), buffer + done, size_t(size - done));
        if (wrote < 0) {
            if (errno == EINTR) continue;
            return AVERROR(errno);  // EFBIG beyond a file-size limit, ENOSPC on a full disk
        }
        done += int(wrote);
    }
    return size;
}

int64_t seekDescriptor(void* opaque, int64_t offset, int whence) {
    const int descriptor = descriptorOf(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat status {};
        if (::fstat(descriptor, &status) != 0) return AVERROR(errno);
        return status.st_size;
    }
    const off_t position = ::lseek(descriptor, off_t(offset), whence & ~AVSEEK_FORCE);
    return position < 0 ? AVERROR(errno) : int64_t(position);
}

} // namespace

// ---- creation

FfmpegAssetWriter::FfmpegAssetWriter(std::string path, FileType fileType, FfmpegAssetWriterOptions options,
                                     int descriptor)
    : path_(std::move(path)), fileType_(fileType), options_(std::move(options)), descriptor_(descriptor) {
    struct stat status {};
    if (::fstat(descriptor_, &status) == 0) {
        fileDevice_ = uint64_t(status.st_dev);
        fileInode_ = uint64_t(status.st_ino);
    }
}

std::shared_ptr<FfmpegAssetWriter> FfmpegAssetWriter::create(const std::string& path, FileType fileType,
                                                             const FfmpegAssetWriterOptions& options) {
    // The system would take a name holding a NUL only up to it: another file than the one asked for.
    if (path.find('\0') != std::string::npos) {
        throw PlatformError(kAssetWriterErrorDomain, EINVAL,
                            "Cannot create the file at " + path + ": " + systemErrorText(EINVAL));
    }
    // An existing file is never overwritten: a recording must not replace another one.
    // The file is opened once, here, without following a link; the muxer writes to
    // this descriptor, so swapping the path for a link later cannot redirect the writes.
    const int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        const int code = errno;
        throw PlatformError(kAssetWriterErrorDomain, code,
                            "Cannot create the file at " + path + ": " + systemErrorText(code));
    }
    return std::shared_ptr<FfmpegAssetWriter>(new FfmpegAssetWriter(path, fileType, options, descriptor));
}

FfmpegAssetWriter::~FfmpegAssetWriter() {
    // A writer dropped while writing still completes its file rather than leave it unreadable.
    finishWriting();
    takePreparedVideo({}, 0, false);  // joins the opening ahead; what it opened goes
    removeFileIfEmpty();
    closeDescriptor();
}

// Whether the path still names the file this writer created (not a file or link put in its place).
bool FfmpegAssetWriter::pathNamesOurFile() const {
    struct stat status {};
    return ::lstat(path_.c_str(), &status) == 0 && uint64_t(status.st_dev) == fileDevice_ &&
           uint64_t(status.st_ino) == fileInode_;
}

int FfmpegAssetWriter::closeDescriptor() {
    if (descriptor_ < 0) return 0;
    const int closed = ::close(descriptor_);
    descriptor_ = -1;
    return closed == 0 ? 0 : AVERROR(errno);
}

void FfmpegAssetWriter::removeFileIfEmpty() {
    std::lock_guard lock(mutex_);
    if (!fileCreated_ || headerWritten_) return;
    // Only our own empty file goes, never what someone else put at the path.
    if (pathNamesOurFile()) ::unlink(path_.c_str());
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
    {
        std::lock_guard lock(mutex_);
        // Settings this file cannot take would be refused when the input is added.
        if (status_ != AssetWriterStatus::unknown || !fileTypeTakes(fileType_, settings) || !validVideo(settings))
            return;
    }
    std::lock_guard lock(preparedMutex_);
    if (hinted_) return;
    hinted_ = true;
    const AVOutputFormat* muxer =
        av_guess_format(muxerName(fileType_, settings.codec == VideoCodecType::hevc), nullptr, nullptr);
    if (!muxer) return;
    auto prepared = std::make_unique<PreparedVideo>();
    prepared->settings = settings;
    prepared->sourcePixelFormat = sourcePixelFormat;
    prepared->globalHeader = (muxer->flags & AVFMT_GLOBALHEADER) != 0;
    PreparedVideo* target = prepared.get();
    try {
        preparing_ = std::thread([target] {
            try {
                target->encoder = std::make_unique<VideoEncoder>(target->settings, target->sourcePixelFormat,
                                                                 target->globalHeader, PacketSink{});
                target->encoder->backPictureMemory();
            } catch (...) {
                // Opened again for the input, which reports what fails then.
                target->encoder.reset();
            }
        });
    } catch (const std::system_error&) {
        return;  // no thread to spare: the encoder opens with its input, as without the hint
    }
    prepared_ = std::move(prepared);
}

std::unique_ptr<VideoEncoder> FfmpegAssetWriter::takePreparedVideo(const VideoSettings& settings,
                                                                   FourCharCode sourcePixelFormat, bool globalHeader) {
    std::unique_ptr<PreparedVideo> prepared;
    {
        std::lock_guard lock(preparedMutex_);
        if (preparing_.joinable()) preparing_.join();
        prepared = std::move(prepared_);
    }
    if (!prepared || !prepared->encoder || prepared->settings != settings ||
        prepared->sourcePixelFormat != sourcePixelFormat || prepared->globalHeader != globalHeader) {
        return nullptr;
    }
    return std::move(prepared->encoder);
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
    if (!pathNamesOurFile()) {
        status_ = AssetWriterStatus::failed;
        error_ = PlatformError(kAssetWriterErrorDomain, EEXIST,
                               "Cannot write the file at " + path_ + ": it was replaced by another file");
        return false;
    }
    const char* muxer = muxerName(fileType_, hasHevc);
    int result = avformat_alloc_output_context2(&format_, nullptr, muxer, path_.c_str());
    if (result >= 0) {
        auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferBytes));
        format_->pb = buffer ? avio_alloc_context(buffer, kIoBufferBytes, 1,
                                                  reinterpret_cast<void*>(intptr_t(descriptor_)),
                                                  readFromDescriptor, writeToDescriptor, seekDescriptor)
                             : nullptr;
        if (!format_->pb) {
            av_free(buffer);
            result = AVERROR(ENOMEM);
        }
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
    if (status_ != AssetWriterStatus::writing || !sessionStart_ || sessionEnd_ || !sourceTime.isNumeric()) return;
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

// ---- appending (callers' threads)

bool FfmpegAssetWriter::inStartRoomLocked(const InputState& state) const {
    return state.processed < options_.realTimeVideoStartFrames && state.pending < state.startCapacity;
}

bool FfmpegAssetWriter::inputIsReadyLocked(size_t index) const {
    const InputState& state = inputs_.at(index);
    return status_ == AssetWriterStatus::writing && sessionStart_ && !finishRequested_ && !state.finished &&
           (state.pending < state.capacity || inStartRoomLocked(state));
}

std::unique_ptr<AVFrame, FrameDeleter> FfmpegAssetWriter::convertOnArrival(StartConverter& converter,
                                                                           const VideoSettings& settings,
                                                                           const PixelBuffer& frame) const {
    const VideoEncoderParameters parameters = videoEncoderParameters(settings, frame.pixelFormat);
    const int width = encodedDimension(*settings.width);
    const int height = encodedDimension(*settings.height);
    if (!converter.converter || converter.sourceFormat != frame.pixelFormat) {
        converter.converter = std::make_unique<FrameConverter>(frame.pixelFormat, width, height, parameters.pixelFormat);
        converter.sourceFormat = frame.pixelFormat;
    }
    std::unique_ptr<AVFrame, FrameDeleter> picture;
    {
        std::lock_guard lock(converter.spareMutex);
        if (!converter.spare.empty()) {
            picture = std::move(converter.spare.back());
            converter.spare.pop_back();
        }
    }
    if (!picture || picture->format != parameters.pixelFormat) {
        picture.reset(av_frame_alloc());
        if (!picture) throw PlatformError(kAssetWriterErrorDomain, AVERROR(ENOMEM), "Cannot allocate a video frame");
        picture->format = parameters.pixelFormat;
        picture->width = width;
        picture->height = height;
        checkFfmpeg(av_frame_get_buffer(picture.get(), 0), "Cannot allocate a video frame");
    }
    converter.converter->convert(frame, picture.get());
    return picture;
}

bool FfmpegAssetWriter::inputIsReady(size_t index) const {
    std::lock_guard lock(mutex_);
    return inputIsReadyLocked(index);
}

std::optional<FfmpegAssetWriter::Job> FfmpegAssetWriter::makeSampleJob(size_t index, const SampleBufferRef& sample) const {
    const InputState& state = inputs_.at(index);
    if (!sample || !sample->isValid() || sample->formatDescription()->mediaType != state.input->mediaType())
        return std::nullopt;
    const MediaTime pts = sample->presentationTimeStamp();
    if (!pts.isNumeric()) return std::nullopt;
    if (sessionEnd_ && pts >= *sessionEnd_) return std::nullopt;
    const MediaTime offset = pts - *sessionStart_;
    Job job;
    job.input = index;
    job.sample = sample;
    if (state.input->mediaType() == MediaType::video) {
        if (!sample->pixels()) return std::nullopt;
        job.position = offset.convertScale(kVideoTimescale).value;
        if (!offset.isNumeric() || job.position < 0 || (state.lastVideoPts && job.position <= *state.lastVideoPts))
            return std::nullopt;
        const MediaTime duration = sample->duration();
        if (duration.isNumeric() && duration > MediaTime::zero())
            job.duration = duration.convertScale(kVideoTimescale).value;
    } else {
        if (!sample->audioData() || !sample->formatDescription()->audio) return std::nullopt;
        const auto& settings = std::get<AudioSettings>(state.input->outputSettings());
        if (!offset.isNumeric()) return std::nullopt;
        job.position = offset.convertScale(static_cast<int32_t>(settings.sampleRate)).value;
    }
    return job;
}

bool FfmpegAssetWriter::appendToInput(size_t index, const SampleBufferRef& sample) {
    std::shared_ptr<StartConverter> converter;
    {
        std::lock_guard lock(mutex_);
        converter = inputs_.at(index).startConverter;
    }
    // A frame converted on arrival is converted outside the writer's lock: this input's
    // appends wait for each other meanwhile, so that they stay in order.
    std::unique_lock<std::mutex> inOrder;
    if (converter) inOrder = std::unique_lock(converter->mutex);
    std::unique_lock lock(mutex_);
    InputState& state = inputs_.at(index);
    if (!state.realTime) {
        // Offline callers may wait; they are told to stop waiting when the writer stops writing.
        changed_.wait(lock, [&] {
            return state.pending < state.capacity || status_ != AssetWriterStatus::writing || finishRequested_;
        });
    }
    if (!inputIsReadyLocked(index)) return false;
    auto job = makeSampleJob(index, sample);
    if (!job) return false;
    if (state.input->mediaType() == MediaType::video) job->pixelFormat = sample->pixels()->pixelFormat;
    if (!state.firstPixelFormat) state.firstPixelFormat = job->pixelFormat;
    if (converter && state.pending >= state.capacity) {
        // The track's encoder reads the pixel format of its first frame: a frame of another
        // one is left to the encoder's own conversion, and refused while the queue is full.
        if (job->pixelFormat != *state.firstPixelFormat) return false;
        // Beyond the usual queue, while the track starts: converted now, so that the
        // queued frame holds no memory of the frame's producer.
        const auto& settings = std::get<VideoSettings>(state.input->outputSettings());
        ++state.pending;  // the room is kept while converting
        const MediaTime pts = sample->presentationTimeStamp();
        lock.unlock();
        try {
            job->picture = convertOnArrival(*converter, settings, *sample->pixels());
            job->sample.reset();
        } catch (...) {
            job->picture.reset();  // not converted: refused, as by a full queue
        }
        lock.lock();
        // The writer may have stopped taking samples, or the session ended, meanwhile.
        if (!job->picture || status_ != AssetWriterStatus::writing || finishRequested_ || state.finished ||
            (sessionEnd_ && pts >= *sessionEnd_)) {
            --state.pending;
            changed_.notify_all();
            return false;
        }
        state.lastVideoPts = job->position;
        jobs_.push_back(std::move(*job));
        changed_.notify_all();
        return true;
    }
    if (state.input->mediaType() == MediaType::video) state.lastVideoPts = job->position;
    ++state.pending;
    jobs_.push_back(std::move(*job));
    changed_.notify_all();
    return true;
}

void FfmpegAssetWriter::finishInput(size_t index) {
    std::lock_guard lock(mutex_);
    InputState& state = inputs_.at(index);
    if (state.finished) return;
    state.finished = true;
    if (status_ != AssetWriterStatus::writing && status_ != AssetWriterStatus::failed) return;
    if (!worker_.joinable() || finishRequested_) return;
    Job job;
    job.kind = Job::Kind::endOfInput;
    job.input = index;
    jobs_.push_back(std::move(job));
    changed_.notify_all();
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

// ---- the writer thread

void FfmpegAssetWriter::run() {
    while (true) {
        Job job;
        bool failed = false;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return !jobs_.empty(); });
            job = std::move(jobs_.front());
            jobs_.pop_front();
            failed = status_ == AssetWriterStatus::failed;
        }
        if (job.kind == Job::Kind::finishFile) {
            completeFile();
            return;
        }
        if (job.kind == Job::Kind::sample && options_.beforeEachSample) options_.beforeEachSample();
        if (!failed) {
            try {
                process(job);
            } catch (const PlatformError& error) {
                fail(error);
            }
        }
        if (job.kind == Job::Kind::sample) keepStartPicture(job);
        if (job.kind == Job::Kind::sample) {
            std::lock_guard lock(mutex_);
            ++inputs_[job.input].processed;
            --inputs_[job.input].pending;
            changed_.notify_all();
        }
    }
}

void FfmpegAssetWriter::keepStartPicture(Job& job) {
    // Set before the writer thread started, not changed since: read without the lock.
    const InputState& state = inputs_[job.input];
    if (!state.startConverter) return;
    StartConverter& converter = *state.startConverter;
    std::lock_guard lock(converter.spareMutex);
    if (converter.started) return;
    if (state.processed + 1 >= options_.realTimeVideoStartFrames) {
        converter.started = true;
        converter.spare.clear();
        return;
    }
    if (job.picture) converter.spare.push_back(std::move(job.picture));
}

void FfmpegAssetWriter::process(Job& job) {
    Track& track = tracks_[job.input];
    if (job.kind == Job::Kind::endOfInput) {
        finishTrack(track);
        writeHeaderIfReady(false);
        return;
    }
    if (track.ended) return;
    if (!track.encoder) {
        openTrack(job.input, job.pixelFormat);
        writeHeaderIfReady(false);
    }
    if (track.video && job.picture) {
        track.video->takeConverted(*job.picture, job.position, job.duration);
        track.video->encodeTaken();
    } else if (track.video) {
        track.video->take(*job.sample->pixels(), job.position, job.duration);
        // Converted: the captured picture's memory goes back to its producer before the encoding.
        job.sample.reset();
        track.video->encodeTaken();
    } else {
        track.audio->append(*job.sample, job.position);
    }
}

void FfmpegAssetWriter::finishTrack(Track& track) {
    if (track.encoder && !track.ended) {
        if (track.video) {
            std::optional<MediaTime> end, start;
            {
                std::lock_guard lock(mutex_);
                end = sessionEnd_;
                start = sessionStart_;
            }
            if (end && start) {
                const MediaTime length = *end - *start;
                if (length.isNumeric()) track.video->setEnd(length.convertScale(kVideoTimescale).value);
            }
        }
        track.encoder->finish();
    }
    track.ended = true;
}

void FfmpegAssetWriter::openTrack(size_t index, FourCharCode pixelFormat) {
    Track& track = tracks_[index];
    const bool globalHeader = (format_->oformat->flags & AVFMT_GLOBALHEADER) != 0;
    PacketSink sink = [this, index](AVPacket* packet) {
        if (headerWritten_) return writePacket(index, packet);
        earlyPackets_.emplace_back(index, av_packet_clone(packet));
    };
    // Settings are immutable once the input exists; reading them needs no lock.
    const OutputSettings& settings = inputs_[index].input->outputSettings();
    if (const auto* video = std::get_if<VideoSettings>(&settings)) {
        // The encoder opened ahead for these settings, else one opened now (the one ahead
        // is freed first when it does not fit).
        auto encoder = takePreparedVideo(*video, pixelFormat, globalHeader);
        const bool openedAhead = encoder != nullptr;
        if (openedAhead) {
            encoder->setSink(std::move(sink));
        } else {
            encoder = std::make_unique<VideoEncoder>(*video, pixelFormat, globalHeader, sink);
        }
        if (options_.onVideoEncoderReady) options_.onVideoEncoderReady(openedAhead);
        track.video = encoder.get();
        track.encoder = std::move(encoder);
    } else {
        auto encoder = std::make_unique<AudioEncoder>(std::get<AudioSettings>(settings), globalHeader, sink);
        track.audio = encoder.get();
        track.encoder = std::move(encoder);
    }
}

// The header needs every track's codec parameters: it is written once every
// input has either started or ended; a track without samples is left out.
void FfmpegAssetWriter::writeHeaderIfReady(bool finishing) {
    if (headerWritten_) return;
    const bool anyOpen = std::any_of(tracks_.begin(), tracks_.end(), [](const Track& t) { return t.encoder != nullptr; });
    const bool allKnown = std::all_of(tracks_.begin(), tracks_.end(), [](const Track& t) { return t.encoder || t.ended; });
    if (!anyOpen || (!allKnown && !finishing)) return;

    for (Track& track : tracks_) {
        if (!track.encoder) continue;
        AVStream* stream = avformat_new_stream(format_, nullptr);
        if (!stream) throw PlatformError(kAssetWriterErrorDomain, AVERROR(ENOMEM), "Cannot add a track to " + path_);
        checkFfmpeg(avcodec_parameters_from_context(stream->codecpar, track.encoder->context()),
                    "Cannot add a track to " + path_);
        stream->time_base = track.encoder->context()->time_base;
        if (track.encoder->codecTag()) stream->codecpar->codec_tag = track.encoder->codecTag();
        track.streamIndex = stream->index;
    }
    AVDictionary* options = nullptr;
    if (fileType_ == FileType::appleM4V && std::string(format_->oformat->name) == "mp4")
        av_dict_set(&options, "brand", "M4V ", 0);
    const int written = avformat_write_header(format_, &options);
    av_dict_free(&options);
    checkFfmpeg(written, "Cannot write to " + path_);
    {
        std::lock_guard lock(mutex_);
        headerWritten_ = true;
    }
    auto early = std::move(earlyPackets_);
    earlyPackets_.clear();
    for (auto& [index, packet] : early) {
        writePacket(index, packet);
        av_packet_free(&packet);
    }
}

void FfmpegAssetWriter::writePacket(size_t index, AVPacket* packet) {
    // Out of room: what follows is left out, so that the index still fits.
    if (outOfRoom_) return;
    const int64_t needed = kFinishingRoom + kIndexBytesPerPacket * packetsWritten_ + packet->size;
    if (auto shortage = roomShortage(descriptor_, avio_tell(format_->pb), needed)) {
        outOfRoom_ = true;
        throw PlatformError(kAssetWriterErrorDomain, *shortage,
                            "Cannot write to " + path_ + ": " + systemErrorText(*shortage) +
                                " (the file ends here, with room kept for its index)");
    }
    ++packetsWritten_;
    const Track& track = tracks_[index];
    AVStream* stream = format_->streams[track.streamIndex];
    packet->stream_index = track.streamIndex;
    av_packet_rescale_ts(packet, track.encoder->context()->time_base, stream->time_base);
    checkFfmpeg(av_interleaved_write_frame(format_, packet), "Cannot write to " + path_);
}

void FfmpegAssetWriter::completeFile() {
    // Also after a failure: what the encoders hold and the index go into the
    // file where they still can, so the frames before the failure stay readable.
    // fail() keeps the first error.
    try {
        for (Track& track : tracks_) finishTrack(track);
        writeHeaderIfReady(true);
        if (headerWritten_) checkFfmpeg(av_write_trailer(format_), "Cannot finish the file at " + path_);
    } catch (const PlatformError& error) {
        fail(error);
    }
    for (auto& entry : earlyPackets_) av_packet_free(&entry.second);
    earlyPackets_.clear();
    tracks_.clear();
    takePreparedVideo({}, 0, false);  // an encoder opened ahead and never used goes too
    if (format_) {
        int closed = 0;
        if (format_->pb) {
            avio_flush(format_->pb);
            closed = format_->pb->error;
            av_freep(&format_->pb->buffer);
            avio_context_free(&format_->pb);
        }
        const int descriptorClosed = closeDescriptor();
        if (closed >= 0) closed = descriptorClosed;
        avformat_free_context(format_);
        format_ = nullptr;
        if (closed < 0 && headerWritten_) fail(ffmpegError("Cannot finish the file at " + path_, closed));
        // What was written went into the file this writer created; if the path names
        // another file now, the recording is not where it was asked for.
        if (headerWritten_ && !pathNamesOurFile()) {
            fail(PlatformError(kAssetWriterErrorDomain, EEXIST,
                               "Cannot finish the file at " + path_ + ": it was replaced by another file"));
        }
    }
    std::lock_guard lock(mutex_);
    if (status_ == AssetWriterStatus::writing) status_ = AssetWriterStatus::completed;
    changed_.notify_all();
}

} // namespace platform::linux_backend
