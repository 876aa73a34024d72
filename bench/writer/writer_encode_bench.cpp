// Encoding cost per 1920x1080 BGRA frame: the asset writer with the H.264 screen
// preset against the ffmpeg command-line tool encoding the same raw frames with
// the same libx264 parameters, in the same run. CPU time (user + system, all
// threads) decides the ratio; frames per second use wall time.
//
// Run: scripts/bench-writer.sh   (or build/default/bench/writer_encode_bench [frames])

#include "platform/linux/ffmpeg_asset_writers.h"
#include "writer/video_encoder_parameters.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

using namespace platform;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFrameRate = 60;
constexpr int kScrollPerFrame = 3;

// A tall "document": white page, lines of text set from a small font of
// glyph bitmaps, a dark sidebar with menu entries. Frame i shows it scrolled by
// i * kScrollPerFrame rows, the way a recording of someone scrolling through a
// page looks.
struct Document {
    int height;
    std::shared_ptr<std::vector<uint8_t>> pixels;
};

constexpr int kGlyphWidth = 10, kGlyphHeight = 13, kGlyphs = 48, kLineHeight = 24;

Document makeDocument(int frames) {
    Document document{kHeight + frames * kScrollPerFrame, nullptr};
    document.pixels = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(kWidth) * document.height * 4);
    uint32_t seed = 12345;
    const auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    std::vector<uint8_t> font(kGlyphs * kGlyphWidth * kGlyphHeight);
    for (auto& ink : font) ink = (next() >> 24) < 90;
    const int columns = (1800 - 320) / kGlyphWidth;
    std::vector<int> text;  // glyph index per character cell, -1 for a space
    for (int line = 0; line * kLineHeight < document.height; ++line)
        for (int column = 0; column < columns; ++column) text.push_back((next() >> 24) < 40 ? -1 : int(next() % kGlyphs));
    for (int y = 0; y < document.height; ++y) {
        const int line = y / kLineHeight, inLine = y % kLineHeight - 6;
        for (int x = 0; x < kWidth; ++x) {
            uint8_t* p = document.pixels->data() + (static_cast<size_t>(y) * kWidth + x) * 4;
            uint8_t r = 255, g = 255, b = 255;
            if (x < 280) {
                r = 40, g = 44, b = 52;  // sidebar with menu entries
                if (inLine > 2 && inLine < 9 && x > 24 && x < 60 + (line * 37) % 180) r = g = 200, b = 210;
            } else if (x >= 320 && x < 320 + columns * kGlyphWidth && inLine >= 0 && inLine < kGlyphHeight) {
                const int glyph = text[static_cast<size_t>(line) * columns + (x - 320) / kGlyphWidth];
                if (glyph >= 0 && font[(glyph * kGlyphHeight + inLine) * kGlyphWidth + (x - 320) % kGlyphWidth])
                    r = g = 30, b = 34;
            }
            p[0] = b, p[1] = g, p[2] = r, p[3] = 255;
        }
    }
    return document;
}

SampleBufferRef frameOf(const Document& document, int index) {
    auto pixels = std::make_shared<PixelBuffer>();
    pixels->pixelFormat = pixel_format::bgra;
    pixels->width = kWidth;
    pixels->height = kHeight;
    pixels->planes.push_back({document.pixels->data() + static_cast<size_t>(index) * kScrollPerFrame * kWidth * 4,
                              kWidth * 4u, kWidth, kHeight});
    pixels->owner = document.pixels;
    auto format = std::make_shared<FormatDescription>();
    format->mediaType = MediaType::video;
    format->mediaSubtype = pixel_format::bgra;
    format->dimensions = VideoDimensions{kWidth, kHeight};
    SampleBuffer::Contents contents;
    contents.timing = {{MediaTime::make(1, kFrameRate), MediaTime::make(index, kFrameRate), MediaTime::invalid()}};
    contents.format = format;
    contents.pixels = pixels;
    return std::make_shared<SampleBuffer>(std::move(contents));
}

double cpuSeconds(const rusage& usage) {
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

struct Measurement {
    double cpu;
    double wall;
};

VideoSettings screenSettings(OutputSettingsPreset preset) {
    auto assistant = OutputSettingsAssistant::make(preset);
    auto source = std::make_shared<FormatDescription>();
    source->dimensions = VideoDimensions{kWidth, kHeight};
    assistant->setSourceVideoFormat(source);
    VideoSettings settings = *assistant->videoSettings();
    settings.colorProperties = VideoColorProperties{};
    return settings;
}

Measurement runWriter(const Document& document, int frames, const VideoSettings& settings, const std::string& path) {
    auto writers = linux_backend::makeFfmpegAssetWriters();
    auto writer = writers->makeWriter(path, FileType::mpeg4);
    auto input = writers->makeInput(MediaType::video, settings);
    input->setExpectsMediaDataInRealTime(false);  // every frame is encoded; the bench measures cost, not drops
    writer->addInput(input);
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    writer->startWriting();
    writer->startSession(MediaTime::zero());
    for (int i = 0; i < frames; ++i) input->append(frameOf(document, i));
    writer->finishWriting();
    const auto end = std::chrono::steady_clock::now();
    getrusage(RUSAGE_SELF, &after);
    if (writer->status() != AssetWriterStatus::completed) {
        std::fprintf(stderr, "writer failed: %s\n", writer->error()->localizedDescription().c_str());
        std::exit(1);
    }
    return {cpuSeconds(after) - cpuSeconds(before), std::chrono::duration<double>(end - start).count()};
}

// The same libx264 parameters as the writer, as ffmpeg options; only the
// threads differ unless `threads` is given.
std::vector<std::string> ffmpegArguments(const VideoSettings& settings, const std::string& path, int threads) {
    const auto p = linux_backend::videoEncoderParameters(settings, pixel_format::bgra);
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "bgra",
                                     "-s", std::to_string(kWidth) + "x" + std::to_string(kHeight), "-r",
                                     std::to_string(kFrameRate), "-i", "pipe:0",
                                     // same matrix as the writer's conversion
                                     "-vf", "scale=out_color_matrix=bt709:out_range=tv", "-pix_fmt", "yuv420p",
                                     "-c:v", p.codecName};
    for (const auto& [key, value] : p.privateOptions) args.insert(args.end(), {"-" + key, value});
    args.insert(args.end(), {"-b:v", std::to_string(p.bitRate), "-maxrate", std::to_string(p.maxRate), "-bufsize",
                             std::to_string(p.bufferSize), "-g", std::to_string(p.keyFrameInterval),
                             "-color_primaries", "bt709", "-color_trc", "bt709", "-colorspace", "bt709"});
    if (threads > 0) args.insert(args.end(), {"-threads", std::to_string(threads)});
    args.insert(args.end(), {"-f", "mp4", path});
    return args;
}

Measurement runFfmpeg(const Document& document, int frames, const std::vector<std::string>& arguments) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) std::exit(1);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipeEnds[0], 0);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        std::vector<char*> argv;
        for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(pipeEnds[0]);
    const size_t frameBytes = static_cast<size_t>(kWidth) * kHeight * 4;
    for (int i = 0; i < frames; ++i) {
        const uint8_t* data = document.pixels->data() + static_cast<size_t>(i) * kScrollPerFrame * kWidth * 4;
        for (size_t written = 0; written < frameBytes;) {
            const ssize_t n = write(pipeEnds[1], data + written, frameBytes - written);
            if (n <= 0) std::exit(1);
            written += static_cast<size_t>(n);
        }
    }
    close(pipeEnds[1]);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "ffmpeg failed\n");
        std::exit(1);
    }
    return {cpuSeconds(usage), std::chrono::duration<double>(end - start).count()};
}

void report(const char* name, const Measurement& m, int frames, const Measurement* reference) {
    std::printf("%-44s %8.2f ms CPU/frame %8.1f fps %6.2f cores", name, 1000 * m.cpu / frames, frames / m.wall,
                m.cpu / m.wall);
    if (reference) std::printf("   ratio %.2f", m.cpu / reference->cpu);
    std::printf("\n");
}

std::string joined(const std::vector<std::string>& arguments) {
    std::string text;
    for (const auto& argument : arguments) text += (text.empty() ? "" : " ") + argument;
    return text;
}

} // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 600;
    const auto folder = std::filesystem::temp_directory_path() / ("writer-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    const Document document = makeDocument(frames);
    const VideoSettings h264 = screenSettings(OutputSettingsPreset::screenH264UpTo4K);
    const VideoSettings hevc = screenSettings(OutputSettingsPreset::screenHEVCUpTo8K);

    const auto cliDefault = ffmpegArguments(h264, (folder / "ffmpeg-default.mp4").string(), 0);
    std::printf("%d frames of %dx%d BGRA (scrolling document), H.264 screen preset\n", frames, kWidth, kHeight);
    std::printf("ffmpeg: %s\n\n", joined(cliDefault).c_str());

    const Measurement ffmpegDefault = runFfmpeg(document, frames, cliDefault);
    const Measurement ffmpegPinned = runFfmpeg(
        document, frames,
        ffmpegArguments(h264, (folder / "ffmpeg-pinned.mp4").string(), linux_backend::kVideoEncoderThreads));
    const Measurement writerH264 = runWriter(document, frames, h264, (folder / "writer-h264.mp4").string());
    const Measurement writerHevc = runWriter(document, frames, hevc, (folder / "writer-hevc.mp4").string());

    report("ffmpeg CLI, swscale, default threads", ffmpegDefault, frames, nullptr);
    report("ffmpeg CLI, swscale, pinned threads", ffmpegPinned, frames, &ffmpegDefault);
    report("asset writer H.264 (screenH264UpTo4K)", writerH264, frames, &ffmpegDefault);
    report("asset writer HEVC (screenHEVCUpTo8K)", writerHevc, frames, nullptr);
    std::filesystem::remove_all(folder);
    return 0;
}
