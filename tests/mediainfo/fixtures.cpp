#include "fixtures.h"

#include "media_tools.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>

namespace fixtures {
namespace {

const std::string kVideo = " -f lavfi -i testsrc=size=160x120:rate=30";
const std::string kTone48k = " -f lavfi -i sine=frequency=440:sample_rate=48000";
const std::string kTone44k = " -f lavfi -i sine=frequency=440:sample_rate=44100";
const std::string kH264 = " -c:v libx264 -preset ultrafast -pix_fmt yuv420p";

// The ffmpeg arguments after "-y" that make each fixture, and its file name.
const std::map<std::string, std::pair<std::string, std::string>>& recipes() {
    static const std::map<std::string, std::pair<std::string, std::string>> table = {
        {"mp4", {"clip.mp4", kVideo + kTone48k + " -t 1" + kH264 + " -c:a aac -ac 2"}},
        {"mov-prores", {"clip.mov", " -f lavfi -i testsrc=size=160x120:rate=25 -t 1 -c:v prores_ks -profile:v 2"}},
        {"m4v", {"clip.m4v", kVideo + " -t 1" + kH264}},
        {"m4a-aac", {"tone.m4a", kTone44k + " -t 1 -c:a aac -ac 2"}},
        {"m4a-alac", {"lossless.m4a", kTone44k + " -t 1 -c:a alac"}},
        {"m4a-aac-5.1", {"surround.m4a", kTone48k + " -t 1 -c:a aac -af aformat=channel_layouts=5.1"}},
        {"wav-s16", {"tone.wav", kTone44k + " -t 1 -c:a pcm_s16le -ac 2"}},
        {"wav-float", {"float.wav", kTone48k + " -t 1 -c:a pcm_f32le"}},
        {"wav-quad", {"quad.wav", kTone48k + " -t 0.5 -c:a pcm_s16le -af aformat=channel_layouts=quad"}},
        {"mp3", {"tone.mp3", kTone44k + " -t 1 -c:a libmp3lame"}},
        {"flac", {"tone.flac", kTone44k + " -t 1 -c:a flac"}},
        {"mkv", {"clip.mkv", " -f lavfi -i testsrc=size=160x120:rate=24" + kTone48k + " -t 1" + kH264 + " -c:a libopus"}},
        {"webm-audio", {"voice.webm", kTone48k + " -t 1 -c:a libopus"}},
        {"ogg-opus", {"voice.ogg", kTone48k + " -t 1 -c:a libopus"}},
        {"ts", {"clip.ts", kVideo + kTone48k + " -t 1" + kH264 + " -c:a aac -f mpegts"}},
        {"mp4-audio-only", {"audio-only.mp4", kTone48k + " -t 1 -c:a aac"}},
        // MPEG audio in an mp4 container: the sample entry says "mp4a" for every layer.
        {"m4a-mp3", {"mp3-in.m4a", kTone44k + " -t 1 -c:a libmp3lame -f mp4"}},
        {"m4a-mp2", {"mp2-in.m4a", kTone44k + " -t 1 -c:a mp2 -f mp4"}},
        {"m4a-with-video", {"with-video.m4a", kVideo + kTone44k + " -t 1" + kH264 + " -c:a aac -f ipod"}},
    };
    return table;
}

struct Directory {
    std::string path;
    Directory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "mediainfo-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary directory");
        path = pattern;
    }
};

Directory& temporary() {
    static Directory* instance = [] {
        auto* made = new Directory();
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(temporary().path, ignored);
        });
        return made;
    }();
    return *instance;
}

void writeFile(const std::string& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

std::string make(const std::string& name) {
    const std::string& dir = directory();
    if (name == "text") {
        writeFile(dir + "/notes.TXT", "just some words\n");
        return dir + "/notes.TXT";
    }
    if (name == "no-extension") {
        writeFile(dir + "/README", "no extension\n");
        return dir + "/README";
    }
    if (name == "directory-mp4") {
        std::filesystem::create_directory(dir + "/folder.mp4");
        return dir + "/folder.mp4";
    }
    if (name == "fifo-mp4") {
        std::string fifo = dir + "/pipe.mp4";
        if (mkfifo(fifo.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
        return fifo;
    }
    if (name == "garbage-webm") {
        writeFile(dir + "/garbage.webm", std::string(4096, '\x5a'));
        return dir + "/garbage.webm";
    }
    if (name == "garbage-mp4") {
        std::string bytes;
        uint32_t state = 12345;
        for (int i = 0; i < 65536; ++i) bytes += static_cast<char>((state = state * 1103515245 + 12345) >> 16);
        // A box header that claims a huge size, then noise.
        writeFile(dir + "/garbage.mp4", std::string("\x7f\xff\xff\xff" "ftyp", 8) + bytes);
        return dir + "/garbage.mp4";
    }
    if (name == "truncated-mp4") {
        std::ifstream source(path("mp4"), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(source)), {});
        writeFile(dir + "/truncated.mp4", bytes.substr(0, bytes.size() / 3));
        return dir + "/truncated.mp4";
    }
    auto recipe = recipes().find(name);
    if (recipe == recipes().end()) throw std::invalid_argument("no fixture named " + name);
    std::string file = dir + "/" + recipe->second.first;
    run(test_support::ffmpegPath() + " -v error -nostdin -y" + recipe->second.second + " " + shellQuoted(file));
    return file;
}

} // namespace

const std::string& directory() { return temporary().path; }

const std::string& path(const std::string& name) {
    static std::recursive_mutex mutex;  // guards `made`; recursive: one fixture is cut from another
    static std::map<std::string, std::string> made;
    std::lock_guard lock(mutex);
    auto it = made.find(name);
    if (it == made.end()) it = made.emplace(name, make(name)).first;
    return it->second;
}

std::string shellQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string run(const std::string& command) {
    std::FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) throw std::runtime_error("cannot run " + command);
    std::string output;
    std::array<char, 4096> buffer;
    for (size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) output.append(buffer.data(), n);
    if (pclose(pipe) != 0) throw std::runtime_error("command failed: " + command);
    return output;
}

nlohmann::json ffprobe(const std::string& file) {
    return nlohmann::json::parse(run(test_support::ffprobePath() +
                                     " -v error -count_frames -show_streams -show_format -of json " + shellQuoted(file)));
}

} // namespace fixtures
