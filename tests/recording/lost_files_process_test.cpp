// Recordings of the real program whose files are taken from it: a disk that fills up
// under three files, a disk nearly full at the start, the output folder deleted while
// recording, a link put at a file's path before its first sample. Each ends within
// seconds with one "RECORDING_ERROR" naming the file, and leaves files that ffprobe
// reads to the end, or no file. And quick pauses, whose files are on disk exactly
// when their durations are reported.
//
// The small disks are tmpfs mounts of their own, which needs root (as CI runs): the
// cases that need one are skipped where mounting is refused.

#include "recording_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

using namespace recording_test;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// A tmpfs of `bytes` mounted at `path` for the life of the object.
class SmallDisk {
public:
    SmallDisk(const fs::path& path, int64_t bytes) : path_(path) {
        fs::create_directories(path_);
        const std::string options = "size=" + std::to_string(bytes);
        mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    int64_t freeBytes() const {
        struct statvfs disk {};
        return ::statvfs(path_.c_str(), &disk) == 0 ? int64_t(disk.f_bavail) * int64_t(disk.f_frsize) : -1;
    }
    // Fills the disk with a file of its own until `left` bytes are free.
    void fillLeaving(int64_t left) {
        std::ofstream filler(path_ / "filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (freeBytes() > left + int64_t(block.size())) {
            filler.write(block.data(), std::streamsize(block.size()));
            filler.flush();
        }
    }

private:
    fs::path path_;
    bool mounted_ = false;
};

// Puts a link to `target` in place of `name` in `folder` as soon as the file appears there.
class LinkSwapper {
public:
    LinkSwapper(const fs::path& folder, std::string name, const fs::path& target)
        : descriptor_(inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
        inotify_add_watch(descriptor_, folder.c_str(), IN_CREATE);
        thread_ = std::thread([this, folder, name, target] {
            while (!done_ && !swapped_) {
                pollfd ready{descriptor_, POLLIN, 0};
                if (::poll(&ready, 1, 50) <= 0) continue;
                alignas(inotify_event) char buffer[4096];
                const ssize_t got = ::read(descriptor_, buffer, sizeof buffer);
                for (ssize_t at = 0; at < got;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                    if (event->len && name == event->name) {
                        const fs::path link = folder / (name + ".link");
                        fs::create_symlink(target, link);
                        fs::rename(link, folder / name);  // atomically in place of the file
                        swapped_ = true;
                    }
                    at += ssize_t(sizeof(inotify_event) + event->len);
                }
            }
        });
    }
    ~LinkSwapper() {
        done_ = true;
        thread_.join();
        ::close(descriptor_);
    }

private:
    int descriptor_;
    std::atomic<bool> done_{false};
    std::atomic<bool> swapped_{false};
    std::thread thread_;
};

// Which files a case leaves: all three, none, or any (each that is left reads to its end).
enum class Left { all, none, any };

struct LostFilesCase {
    const char* name;
    // A tmpfs of this size holds the files (0: the usual temporary folder), with this much
    // left free at the start (0: all of it).
    int64_t diskBytes = 0;
    int64_t freeAtStart = 0;
    // Set up before "start" is sent (what it gives is kept until the end), and done once
    // it is sent; `folder` holds the files.
    std::function<std::shared_ptr<void>(const fs::path& folder)> prepare;
    std::function<void(const fs::path& folder, Recorder& recorder)> act;
    // Part of the one error's message, beside the name of one of the files.
    const char* cause;
    // How long the failure may take to come after "start".
    std::chrono::seconds within;
    Left left;
    // Checks of its own, at the end.
    std::function<void(const fs::path& folder)> check;
};

void PrintTo(const LostFilesCase& c, std::ostream* out) { *out << c.name; }

const std::vector<std::string> kFiles = {"screen.mp4", "mic.m4a", "system.m4a"};

class LostFiles : public RecordingProcess, public ::testing::WithParamInterface<LostFilesCase> {};

TEST_P(LostFiles, OneErrorNamesTheFileAndWhatIsLeftReadsToTheEnd) {
    const LostFilesCase& c = GetParam();
    const fs::path folder = directory_ / "out";
    std::optional<SmallDisk> disk;
    if (c.diskBytes > 0) {
        disk.emplace(folder, c.diskBytes);
        if (!disk->mounted()) GTEST_SKIP() << "mounting a small tmpfs was refused (needs root)";
        if (c.freeAtStart > 0) disk->fillLeaving(c.freeAtStart);
    } else {
        fs::create_directories(folder);
    }
    auto path = [&](const std::string& name) { return (folder / name).string(); };
    std::shared_ptr<void> prepared = c.prepare ? c.prepare(folder) : nullptr;

    Animation animation;
    Recorder recorder;
    ASSERT_TRUE(recorder.ready());
    const auto asked = Clock::now();
    recorder.send("start " + request({{"outputPath", path("screen.mp4")},
                                      {"microphoneID", test_support::PrivatePulseServer::kSineSource},
                                      {"micOutputPath", path("mic.m4a")},
                                      {"systemAudio", true},
                                      {"sysOutputPath", path("system.m4a")}}));
    if (c.act) c.act(folder, recorder);

    auto failure = recorder.waitFor("error", c.within);
    ASSERT_TRUE(failure) << "no error within " << c.within.count() << " s";
    EXPECT_LT(Clock::now() - asked, c.within);
    if ((*failure)["code"] == "RECORDING_ERROR") {
        const std::string message = (*failure)["message"];
        EXPECT_NE(message.find(c.cause), std::string::npos) << message;
        EXPECT_TRUE(std::any_of(kFiles.begin(), kFiles.end(),
                                [&](const std::string& name) { return message.find(path(name)) != std::string::npos; }))
            << message;
    } else {
        // A failure while the start still ran: the start's own refusal follows the engine's error.
        EXPECT_EQ((*failure)["code"], "ERROR_STARTING") << *failure;
    }
    // The recording is over: nothing more is told about the failure.
    recorder.send("stop");
    std::optional<json> answer;
    while ((answer = recorder.waitFor("error", 10s)) && (*answer)["code"] != "NO_RECORDING") {}
    ASSERT_TRUE(answer) << "stop is not answered";
    size_t told = 0;
    for (const auto& event : recorder.seen) {
        if (event.is_object() && event.value("code", "") == "RECORDING_ERROR") ++told;
    }
    EXPECT_EQ(told, 1u);

    // Every file left reads to its end.
    size_t kept = 0;
    for (const auto& name : kFiles) {
        if (!fs::exists(fs::symlink_status(path(name))) || fs::is_symlink(path(name))) continue;
        ++kept;
        auto probed = probe(path(name));
        ASSERT_TRUE(probed.is_object() && probed.contains("streams") && !probed["streams"].empty())
            << name << " is unreadable";
        EXPECT_GT(std::stoi(probed["streams"][0].value("nb_read_frames", "0")), 0) << name;
    }
    if (c.left == Left::all) {
        EXPECT_EQ(kept, kFiles.size());
        // The files end where the first one failed, within one frame interval (30 frames a
        // second here) of each other: an audio file ends with its last whole AAC frame
        // (21 ms) begun before that moment, the video with its last picture.
        std::vector<std::string> paths;
        for (const auto& name : kFiles) paths.push_back(path(name));
        EXPECT_LE(endSpread(paths), failedFilesEndAllowance(videoFrames(path("screen.mp4"))))
            << "the files end at different times";
    } else if (c.left == Left::none) {
        EXPECT_EQ(kept, 0u) << "a file that never got a sample is left";
    }
    if (c.check) c.check(folder);
    recorder.send("quit");
    EXPECT_TRUE(recorder.process().wait());
}

const LostFilesCase kCases[] = {
    // 1 MiB: the three files keep 768 KiB of it for finishing, the rest fills in seconds.
    {.name = "ThreeFilesOnANearlyFullDisk",
     .diskBytes = 1024 * 1024,
     .prepare = {},
     .act = {},
     .cause = "No space left on device",
     .within = 30s,
     .left = Left::all,
     .check = {}},
    {.name = "ADiskNearlyFullAtTheStart",
     .diskBytes = 3 * 1024 * 1024,
     .freeAtStart = 12 * 1024,
     .prepare = {},
     .act = {},
     .cause = "No space left on device",
     .within = 10s,
     .left = Left::none,
     .check = {}},
    {.name = "TheOutputFolderDeletedWhileRecording",
     .prepare = {},
     .act =
         [](const fs::path& folder, Recorder& recorder) {
             ASSERT_TRUE(recorder.waitFor("started"));
             std::this_thread::sleep_for(1s);
             fs::remove_all(folder);
         },
     .cause = "was deleted",
     .within = 10s,
     .left = Left::none,
     .check = {}},
    // The writer does not follow the link, and the recording fails naming the path.
    {.name = "ALinkPutAtAPathBeforeItsFirstSample",
     .prepare =
         [](const fs::path& folder) -> std::shared_ptr<void> {
             std::ofstream(folder.parent_path() / "someone-elses.txt") << "not a recording";
             return std::make_shared<LinkSwapper>(folder, "system.m4a", folder.parent_path() / "someone-elses.txt");
         },
     .act = {},
     .cause = "replaced by another file",
     .within = 10s,
     .left = Left::any,
     .check =
         [](const fs::path& folder) {
             std::ifstream kept(folder.parent_path() / "someone-elses.txt");
             std::string text((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>());
             EXPECT_EQ(text, "not a recording") << "the link's target was written";
             EXPECT_TRUE(fs::is_symlink(folder / "system.m4a")) << "the link was removed";
         }},
};

INSTANTIATE_TEST_SUITE_P(Files, LostFiles, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Quick pauses and resumes: each segment's microphone file is on disk exactly when its
// "paused" (or "finish") reports a duration for it, and what is on disk reads to its end.
TEST_F(RecordingProcess, QuickPausesReportEveryFileLeftAndLeaveNoFileReportedNull) {
    Animation animation;
    Recorder recorder;
    ASSERT_TRUE(recorder.ready());
    auto segment = [&](int n) {
        return request({{"outputPath", file("screen-" + std::to_string(n) + ".mp4")},
                        {"microphoneID", test_support::PrivatePulseServer::kSineSource},
                        {"micOutputPath", file("mic-" + std::to_string(n) + ".m4a")}});
    };
    recorder.send("start " + segment(0));
    ASSERT_TRUE(recorder.waitFor("started"));
    constexpr int kCycles = 50;
    for (int n = 0; n <= kCycles; ++n) {
        SCOPED_TRACE(n);
        recorder.send(n < kCycles ? "pause" : "stop");
        auto ended = recorder.waitFor(n < kCycles ? "paused" : "finish");
        ASSERT_TRUE(ended);
        const json& durations = (*ended)["message"];
        for (const auto& [key, name] : {std::pair{"mic", "mic-" + std::to_string(n) + ".m4a"},
                                        std::pair{"screen", "screen-" + std::to_string(n) + ".mp4"}}) {
            SCOPED_TRACE(name);
            if (durations[key].is_null()) {
                EXPECT_FALSE(fs::exists(file(name))) << "a file reported null is left";
                continue;
            }
            ASSERT_TRUE(fs::exists(file(name))) << "a file reported as " << durations[key] << " ms is missing";
            auto probed = probe(file(name));
            ASSERT_TRUE(probed.is_object() && probed.contains("streams") && !probed["streams"].empty());
            // Sound that began just before a segment's start and ended within its first
            // millisecond is reported as 0 ms: its file holds no whole frame.
            const int frames = std::stoi(probed["streams"][0].value("nb_read_frames", "0"));
            if (durations[key].get<uint64_t>() > 0) {
                EXPECT_GT(frames, 0) << durations[key] << " ms";
            }
        }
        if (n < kCycles) {
            recorder.send("resume " + segment(n + 1));
            ASSERT_TRUE(recorder.waitFor("resumed", 10s));
        }
    }
    recorder.send("quit");
    EXPECT_TRUE(recorder.process().wait());
}

} // namespace
