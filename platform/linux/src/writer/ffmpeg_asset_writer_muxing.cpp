#include "writer/ffmpeg_asset_writer.h"

#include "common/ffmpeg_error.h"
#include "writer/audio_encoder.h"
#include "writer/video_encoder.h"
#include "writer/video_encoder_parameters.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
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

// How long audio packets are held back before they go into the file. When another file
// of the recording fails (a full disk), every file ends where that one does, and the
// video's packets come out of its encoder up to about half a second (more on a busy
// machine) after their pictures were captured: the audio files, written nearly as the
// sound comes, must still be cut that far back.
constexpr int64_t kAudioHoldBackMicros = 2'000'000;

constexpr AVRational kMicros{1, 1000000};

} // namespace

// ---- the writer thread

void FfmpegAssetWriter::run() {
    file_.keepRoom(kFinishingRoom);
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

std::optional<int64_t> FfmpegAssetWriter::sessionEndMicros() const {
    std::lock_guard lock(mutex_);
    if (!sessionStart_ || !sessionEnd_) return std::nullopt;
    const MediaTime length = *sessionEnd_ - *sessionStart_;
    if (!length.isNumeric()) return std::nullopt;
    return length.convertScale(1000000).value;
}

void FfmpegAssetWriter::writePacket(size_t index, AVPacket* packet) {
    // Out of room: what follows is left out, so that the index still fits.
    if (outOfRoom_) return;
    Track& track = tracks_[index];
    const AVRational timeBase = track.encoder->context()->time_base;
    const bool timed = packet->pts != AV_NOPTS_VALUE;
    const int64_t startMicros = timed ? av_rescale_q(packet->pts, timeBase, kMicros) : 0;
    // Material at or after the session's end (an end put in the past, where another file
    // of the recording failed) is left out, and everything after it: packets come in
    // decoding order, and a frame before the end may refer to the later one just left out
    // (B-frames; libx264 uses them though the context's max_b_frames reads 0).
    const auto end = sessionEndMicros();
    if (track.cut || (timed && end && startMicros >= *end)) {
        track.cut = true;
        return;
    }

    file_.keepRoom(kFinishingRoom + kIndexBytesPerPacket * packetsWritten_ + heldBytes_);
    if (auto refusal = file_.writeRefusal(avio_tell(format_->pb), packet->size)) {
        outOfRoom_ = true;
        throw *refusal;
    }
    ++packetsWritten_;
    const int64_t endMicros =
        timed ? av_rescale_q(packet->pts + std::max<int64_t>(packet->duration, 0), timeBase, kMicros) : 0;
    {
        std::lock_guard lock(mutex_);
        writtenEndMicros_ = std::max(writtenEndMicros_.value_or(endMicros), endMicros);
    }
    if (!track.audio) return muxPacket(index, packet);
    std::unique_ptr<AVPacket, PacketDeleter> kept(av_packet_clone(packet));
    if (!kept) throw PlatformError(kAssetWriterErrorDomain, AVERROR(ENOMEM), "Cannot write to " + path_);
    heldBytes_ += kept->size;
    track.held.push_back(std::move(kept));
    writeHeld(index, startMicros - kAudioHoldBackMicros, false);
}

void FfmpegAssetWriter::writeHeld(size_t index, int64_t beforeMicros, bool cut) {
    Track& track = tracks_[index];
    if (track.held.empty()) return;
    const AVRational timeBase = track.encoder->context()->time_base;
    while (!track.held.empty()) {
        std::unique_ptr<AVPacket, PacketDeleter> packet = std::move(track.held.front());
        const bool before =
            packet->pts == AV_NOPTS_VALUE || av_rescale_q(packet->pts, timeBase, kMicros) < beforeMicros;
        if (!before && !cut) {
            track.held.front() = std::move(packet);
            return;
        }
        track.held.pop_front();
        heldBytes_ -= packet->size;
        if (before) muxPacket(index, packet.get());
    }
}

void FfmpegAssetWriter::muxPacket(size_t index, AVPacket* packet) {
    const Track& track = tracks_[index];
    AVStream* stream = format_->streams[track.streamIndex];
    packet->stream_index = track.streamIndex;
    av_packet_rescale_ts(packet, track.encoder->context()->time_base, stream->time_base);
    checkFfmpeg(av_interleaved_write_frame(format_, packet), "Cannot write to " + path_);
    std::lock_guard lock(mutex_);
    holdsSamples_ = true;
}

void FfmpegAssetWriter::completeFile() {
    // Also after a failure: what the encoders hold and the index go into the
    // file where they still can, so the frames before the failure stay readable.
    // fail() keeps the first error. A step that fails (the last packets of an encoder
    // finding no room) does not keep the later ones from running: the index above all.
    auto attempt = [this](const auto& step) {
        try {
            step();
        } catch (const PlatformError& error) {
            fail(error);
        }
    };
    for (Track& track : tracks_) attempt([&] { finishTrack(track); });
    attempt([&] { writeHeaderIfReady(true); });
    // The audio held back goes in up to the session's end; its room was kept.
    const int64_t end = sessionEndMicros().value_or(INT64_MAX);
    for (size_t index = 0; index < tracks_.size(); ++index) attempt([&] { writeHeld(index, end, true); });
    if (headerWritten_)
        attempt([&] { checkFfmpeg(av_write_trailer(format_), "Cannot finish the file at " + path_); });
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
