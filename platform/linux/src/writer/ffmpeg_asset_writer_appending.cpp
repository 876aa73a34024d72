#include "writer/ffmpeg_asset_writer.h"

#include "common/ffmpeg_error.h"
#include "writer/video_encoder_parameters.h"

namespace platform::linux_backend {

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
    if (!converter.converter || converter.sourceFormat != frame.pixelFormat) {
        converter.targetFormat = videoEncoderParameters(settings, frame.pixelFormat).pixelFormat;
        converter.width = encodedDimension(*settings.width);
        converter.height = encodedDimension(*settings.height);
        converter.converter = std::make_unique<FrameConverter>(frame.pixelFormat, converter.width, converter.height,
                                                               converter.targetFormat);
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
    if (!picture || picture->format != converter.targetFormat) {
        picture.reset(av_frame_alloc());
        if (!picture) throw PlatformError(kAssetWriterErrorDomain, AVERROR(ENOMEM), "Cannot allocate a video frame");
        picture->format = converter.targetFormat;
        picture->width = converter.width;
        picture->height = converter.height;
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

} // namespace platform::linux_backend
