#include "writer/ffmpeg_asset_writer.h"

#include "common/ffmpeg_error.h"
#include "writer/audio_encoder.h"
#include "writer/video_encoder.h"
#include "writer/video_encoder_parameters.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

namespace platform::linux_backend {

namespace {

// Room kept free for finishing a file: the packets the muxer still holds and the
// index, which grows with the packets written. A file that would eat into it
// fails instead, so that what it holds stays readable on a full disk or under
// a file-size limit.
constexpr int64_t kFinishingRoom = 256 * 1024;
constexpr int64_t kIndexBytesPerPacket = 32;

} // namespace

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
        auto encoder = openedAhead_.take(*video, pixelFormat, globalHeader);
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
    if (auto shortage = file_.roomShortage(avio_tell(format_->pb), needed)) {
        outOfRoom_ = true;
        throw PlatformError(kAssetWriterErrorDomain, *shortage,
                            "Cannot write to " + path_ + ": " + std::strerror(*shortage) +
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
    openedAhead_.discard();  // an encoder opened ahead and never used goes too
    if (format_) {
        int closed = 0;
        if (format_->pb) {
            closed = OutputFile::freeIoContext(format_->pb);
        }
        const int descriptorClosed = file_.close();
        if (closed >= 0) closed = descriptorClosed;
        avformat_free_context(format_);
        format_ = nullptr;
        if (closed < 0 && headerWritten_) fail(ffmpegError("Cannot finish the file at " + path_, closed));
        // What was written went into the file this writer created; if the path names
        // another file now, the recording is not where it was asked for.
        if (headerWritten_ && !file_.pathNamesIt()) {
            fail(PlatformError(kAssetWriterErrorDomain, EEXIST,
                               "Cannot finish the file at " + path_ + ": it was replaced by another file"));
        }
    }
    std::lock_guard lock(mutex_);
    if (status_ == AssetWriterStatus::writing) status_ = AssetWriterStatus::completed;
    changed_.notify_all();
}

} // namespace platform::linux_backend
