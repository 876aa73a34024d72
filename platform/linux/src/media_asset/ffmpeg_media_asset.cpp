#include "platform/linux/ffmpeg_media_assets.h"

#include "common/ffmpeg_error.h"
#include "media_asset/asset_tracks.h"
#include "media_asset/budgeted_file.h"
#include "media_asset/sample_table_claims.h"

#include "platform/error.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

namespace platform::linux_backend {
namespace {

PlatformError assetError(MediaAssetErrorCode code, const std::string& reason) {
    std::string title = code == mediaAssetTimedOut ? "Timed Out"
                        : code == mediaAssetCannotRead ? "Cannot Read"
                                                       : "Cannot Open";
    return PlatformError(kMediaAssetErrorDomain, code, title + " (" + reason + ")");
}

// Only regular files are read: a FIFO or device would block or never end. The
// descriptor is opened without waiting (a FIFO would wait for a writer) and
// checked before anything is read.
struct OpenedFile {
    int descriptor;
    int64_t size;
    // Bytes the file keeps on disk: fewer than its size when it has holes.
    int64_t storedBytes;
};

OpenedFile openRegularFile(const std::string& path) {
    // The system would read the name only up to a NUL, which no file name holds.
    if (path.find('\0') != std::string::npos) throw assetError(mediaAssetCannotOpen, std::strerror(ENOENT));
    int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (descriptor < 0) throw assetError(mediaAssetCannotOpen, std::strerror(errno));
    struct stat info {};
    std::string refusal;
    if (::fstat(descriptor, &info) != 0) refusal = std::strerror(errno);
    else if (S_ISDIR(info.st_mode)) refusal = std::strerror(EISDIR);
    else if (!S_ISREG(info.st_mode)) refusal = "not a regular file";
    if (!refusal.empty()) {
        ::close(descriptor);
        throw assetError(mediaAssetCannotOpen, refusal);
    }
    return {descriptor, static_cast<int64_t>(info.st_size), int64_t{info.st_blocks} * 512};
}

// Nested files (playlists, external data references) are never opened: a load
// reads the one file it was given, within its budget.
int refuseNestedOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) { return AVERROR(EPERM); }

struct FormatContextCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextCloser>;

struct IoContextFreer {
    void operator()(AVIOContext* io) const {
        if (!io) return;
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
using IoContextPtr = std::unique_ptr<AVIOContext, IoContextFreer>;

constexpr int kIoBufferBytes = 32 * 1024;

unsigned heavyLoadSlots(unsigned configured) {
    if (configured > 0) return configured;
    return std::max(2u, std::thread::hardware_concurrency() / 2);
}

// Set once a file is probed, so a process that only records keeps the allocator as
// it was. Blocks of 4 MiB or more are mapped for themselves and given back to the
// system when freed. By default the allocator raises that size to the largest
// block freed so far (up to 32 MiB) and keeps smaller blocks in the arena of the
// thread that freed them: after a parser gathered megabytes on each of many
// probing threads, every thread's arena would keep its share (1.5 GB after 64
// hostile files in one request, 0.23 GB with this). Ordinary probes allocate less
// than that at a time, and capture keeps its large frame buffers in pools, so
// neither maps anything more.
void tuneAllocatorForProbing() {
    static std::once_flag firstLoad;
    std::call_once(firstLoad, [] {
        mallopt(M_MMAP_THRESHOLD, 4 << 20);
        // Fixing that size also fixes the free space an arena keeps at its top, by
        // default to 128 KiB: each probe would then hand its pages back and fault
        // them in again. Arenas keep up to 4 MiB instead.
        mallopt(M_TRIM_THRESHOLD, 4 << 20);
    });
}

PlatformError timedOut() { return assetError(mediaAssetTimedOut, "the file took too long to read"); }

bool isIsoBaseMedia(const AVInputFormat& format) { return std::strncmp(format.name, "mov,", 4) == 0; }

// Refuses a file whose sample tables claim more index than it could hold, and
// makes one that claims much a heavy load before the demuxer builds its index.
void weighSampleTables(BudgetedFile& file, LoadInterrupt& interrupt) {
    uint64_t entries = claimedIndexEntries(file);
    if (interrupt.expired()) throw timedOut();
    if (!claimsFitTheFile(entries, file.storedBytes()))
        throw assetError(mediaAssetCannotRead, "the file's sample tables claim more samples than it holds");
    bool heavy = entries > static_cast<uint64_t>(file.limits().lightReadBytes) / kBytesPerIndexEntry;
    if (heavy) file.becomeHeavy();
}

// The largest block libavutil hands out, to every user of FFmpeg in the process.
// Demuxers allocate what a header claims (a metadata chunk, codec set-up data, a
// table) and often zero it before they read it: a header of a few bytes claiming
// 1.6 GB made one probe zero 1.6 GB. Above this such a load fails for want of
// memory instead. Nothing a file the prober accepts needs comes near it (an
// mp4's index within the allowed claims is at most 200 MiB); the writer's index
// of a recording, 64 bytes a frame, reaches it after 19 hours at 60 frames a
// second (the default is 2 GiB).
constexpr size_t kLargestBlock = size_t{256} << 20;

class FfmpegMediaAssets final : public MediaAssets {
public:
    explicit FfmpegMediaAssets(MediaAssetLimits limits) : limits_(limits), heavyLoads_(heavyLoadSlots(limits.heavyLoads)) {
        // The program speaks only through its own output: the library stays quiet.
        static std::once_flag quiet;
        std::call_once(quiet, [] {
            av_log_set_level(AV_LOG_QUIET);
            av_max_alloc(kLargestBlock);
        });
    }

    MediaAsset load(const std::string& path) override {
        tuneAllocatorForProbing();
        LoadInterrupt interrupt(limits_.deadline);
        OpenedFile opened = openRegularFile(path);
        // Declared first, so it is released last: the contexts below read through it.
        BudgetedFile file(opened.descriptor, opened.size, opened.storedBytes, limits_, heavyLoads_, interrupt);

        auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferBytes));
        if (!buffer) throw assetError(mediaAssetCannotOpen, "out of memory");
        IoContextPtr io(avio_alloc_context(buffer, kIoBufferBytes, 0, &file, BudgetedFile::read, nullptr,
                                           BudgetedFile::seek));
        if (!io) {
            av_free(buffer);
            throw assetError(mediaAssetCannotOpen, "out of memory");
        }

        // The container is recognised first, as avformat_open_input would do it,
        // so that an mp4's sample tables are weighed before the demuxer builds them.
        const AVInputFormat* format = nullptr;
        int score = av_probe_input_buffer2(io.get(), &format, path.c_str(), nullptr, 0, 0);
        if (score < 0) throw failure(mediaAssetCannotOpen, score, interrupt);
        if (isIsoBaseMedia(*format)) weighSampleTables(file, interrupt);

        AVFormatContext* raw = avformat_alloc_context();
        if (!raw) throw assetError(mediaAssetCannotOpen, "out of memory");
        raw->interrupt_callback = {interruptWhenLate, &interrupt};
        raw->pb = io.get();
        raw->flags |= AVFMT_FLAG_CUSTOM_IO;
        raw->io_open = refuseNestedOpen;

        AVDictionary* options = nullptr;
        av_dict_set(&options, "protocol_whitelist", "file", 0);
        av_dict_set_int(&options, "probesize", limits_.probeSizeBytes, 0);
        av_dict_set_int(&options, "analyzeduration", limits_.analyzeDuration.count(), 0);
        // The name only hints at the container (by its extension); the bytes come through `io`.
        int status = avformat_open_input(&raw, path.c_str(), format, &options);
        av_dict_free(&options);
        // On failure avformat_open_input has freed the context; `io` is still ours.
        if (status < 0) throw failure(mediaAssetCannotOpen, status, interrupt);
        FormatContextPtr context(raw);
        context->probe_score = score;

        if (!headerStatesEverything(*context)) {
            status = avformat_find_stream_info(context.get(), nullptr);
            if (status < 0 || interrupt.expired()) throw failure(mediaAssetCannotRead, status, interrupt);
        }
        MediaAsset asset = makeAsset(*context, file, limits_.bitRateBudgetBytes);
        if (interrupt.expired()) throw failure(mediaAssetCannotRead, 0, interrupt);
        return asset;
    }

private:
    static PlatformError failure(MediaAssetErrorCode code, int status, const LoadInterrupt& interrupt) {
        if (interrupt.expired()) return timedOut();
        return assetError(code, ffmpegErrorText(status));
    }

    MediaAssetLimits limits_;
    HeavyLoadGate heavyLoads_;
};

} // namespace

std::shared_ptr<MediaAssets> makeFfmpegMediaAssets(MediaAssetLimits limits) {
    return std::make_shared<FfmpegMediaAssets>(limits);
}

} // namespace platform::linux_backend
