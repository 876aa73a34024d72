// Replays recorded screen pictures through the asset writer as the recorder hands them
// over: only the changed pictures, each at its own capture time, with the settings the
// recorder derives for the rate (screenH264UpTo4K preset, its frame rate, key frames at
// most 2 s apart), every frame encoded (not real time). Prints the CPU spent, the CPU a
// frame and the file's size; the file's quality is then read by ffmpeg (see the script).
//
// Usage: writer_replay_bench <raw BGRA pictures, or - for stdin> <times file> <fps> <out.mp4> [width height]
// The times file holds one presentation time in seconds a line, the pictures' count.
#include "platform/asset_writer.h"
#include "platform/linux/ffmpeg_asset_writers.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

using namespace platform;

namespace {

double cpuSeconds(int who = RUSAGE_SELF) {
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

// What a screen grabber's damage reports would say of `now` against `before`: the spans
// of rows that differ.
PictureChange changeBetween(const std::vector<uint8_t>& before, const std::vector<uint8_t>& now, int width,
                            int height, uint64_t previous, uint64_t picture) {
    PictureChange change{picture, previous, {}};
    const auto* a = reinterpret_cast<const uint32_t*>(before.data());
    const auto* b = reinterpret_cast<const uint32_t*>(now.data());
    for (int row = 0; row < height; ++row) {
        const size_t start = size_t(row) * size_t(width);
        if (std::equal(a + start, a + start + size_t(width), b + start)) continue;
        if (!change.rows.empty() && change.rows.back().end == row) {
            change.rows.back().end = row + 1;
        } else {
            change.rows.push_back({row, row + 1});
        }
    }
    return change;
}

SampleBufferRef pictureAt(std::shared_ptr<std::vector<uint8_t>> bytes, int width, int height, double seconds,
                          std::optional<PictureChange> change) {
    auto pixels = std::make_shared<PixelBuffer>();
    pixels->change = std::move(change);
    pixels->pixelFormat = pixel_format::bgra;
    pixels->width = width;
    pixels->height = height;
    pixels->planes.push_back({bytes->data(), size_t(width) * 4, width, height});
    pixels->owner = bytes;
    auto format = std::make_shared<FormatDescription>();
    format->mediaType = MediaType::video;
    format->mediaSubtype = pixel_format::bgra;
    format->dimensions = VideoDimensions{width, height};
    SampleBuffer::Contents contents;
    contents.timing = {{MediaTime::invalid(), MediaTime::make(std::llround(seconds * 1e6), 1000000), MediaTime::invalid()}};
    contents.format = format;
    contents.pixels = pixels;
    return std::make_shared<SampleBuffer>(std::move(contents));
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s <pictures|-> <times> <fps> <out.mp4> [width height]\n", argv[0]);
        return 2;
    }
    const std::string picturesPath = argv[1];
    const int fps = std::atoi(argv[3]);
    const std::string out = argv[4];
    // Without REPLAY_WITHOUT_CHANGES the pictures say what changed, as the grabber's do.
    const bool describeChanges = std::getenv("REPLAY_WITHOUT_CHANGES") == nullptr;
    const int width = argc > 6 ? std::atoi(argv[5]) : 1920;
    const int height = argc > 6 ? std::atoi(argv[6]) : 1080;
    std::vector<double> times;
    {
        std::ifstream in(argv[2]);
        for (double t; in >> t;) times.push_back(t);
    }
    FILE* pictures = picturesPath == "-" ? stdin : std::fopen(picturesPath.c_str(), "rb");
    if (!pictures || times.empty() || fps <= 0) {
        std::fprintf(stderr, "nothing to replay\n");
        return 2;
    }

    auto assistant = OutputSettingsAssistant::make(OutputSettingsPreset::screenH264UpTo4K);
    auto source = std::make_shared<FormatDescription>();
    source->dimensions = VideoDimensions{width, height};
    assistant->setSourceVideoFormat(source);
    assistant->setSourceVideoAverageFrameDuration(MediaTime::make(1, fps));
    VideoSettings settings = *assistant->videoSettings();

    auto writers = linux_backend::makeFfmpegAssetWriters();
    auto writer = writers->makeWriter(out, FileType::mpeg4);
    auto input = writers->makeInput(MediaType::video, settings);
    input->setExpectsMediaDataInRealTime(false);
    writer->addInput(input);

    const size_t bytes = size_t(width) * height * 4;
    double readCpu = 0;  // reading the pictures, on this thread: not the writer's cost
    const double cpuStart = cpuSeconds();
    const auto wallStart = std::chrono::steady_clock::now();
    writer->startWriting();
    writer->startSession(MediaTime::make(std::llround(times.front() * 1e6), 1000000));
    size_t frames = 0;
    // Pictures are reused once the writer lets go of them, as the grabber's pool is.
    std::vector<std::shared_ptr<std::vector<uint8_t>>> pool;
    std::shared_ptr<std::vector<uint8_t>> last;
    uint64_t lastNumber = 0;
    for (double t : times) {
        std::shared_ptr<std::vector<uint8_t>> picture;
        for (auto& held : pool)
            if (held.use_count() == 1 && held != last) picture = held;
        if (!picture) pool.push_back(picture = std::make_shared<std::vector<uint8_t>>(bytes));
        const double readStart = cpuSeconds(RUSAGE_THREAD);
        const size_t read = std::fread(picture->data(), 1, bytes, pictures);
        readCpu += cpuSeconds(RUSAGE_THREAD) - readStart;
        if (read != bytes) break;
        // The grabber's damage, found here by comparing the pictures (not counted as the writer's CPU).
        std::optional<PictureChange> change;
        const uint64_t number = nextPictureNumber();
        if (describeChanges && last) {
            const double compareStart = cpuSeconds(RUSAGE_THREAD);
            change = changeBetween(*last, *picture, width, height, lastNumber, number);
            readCpu += cpuSeconds(RUSAGE_THREAD) - compareStart;
        } else if (describeChanges) {
            change = PictureChange{number, 0, {{0, height}}};
        }
        input->append(pictureAt(picture, width, height, t, change));
        last = picture;
        lastNumber = number;
        ++frames;
    }
    writer->finishWriting();
    const double encodeCpu = cpuSeconds() - cpuStart - readCpu;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    if (writer->status() != AssetWriterStatus::completed) {
        std::fprintf(stderr, "writer failed: %s\n", writer->error()->localizedDescription().c_str());
        return 1;
    }
    std::ifstream written(out, std::ios::binary | std::ios::ate);
    std::printf("frames %zu cpu_s %.3f cpu_ms_per_frame %.2f wall_s %.2f file_bytes %lld\n", frames, encodeCpu,
                1000 * encodeCpu / double(frames), wall, static_cast<long long>(written.tellg()));
    return 0;
}
