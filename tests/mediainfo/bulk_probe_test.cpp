// A file answers in a bulk request as it does alone, whatever else the request
// holds: the time a load waits for its turn (for one of the few heavy-load slots,
// or for a processor the other loads hold) is not counted against its deadline.

#include "MediaInfo/MediaInfo.h"
#include "MediaInfo/MediaInfoJson.h"
#include "platform/linux/ffmpeg_media_assets.h"

#include "fixtures.h"
#include "iso_boxes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace mediainfo;
using namespace std::chrono_literals;

namespace {

// A real mp4 whose movie header comes after many empty padding boxes: a valid
// file that takes a load a while (the demuxer walks every box to find the
// header) and reads more than a light load, so it waits for a heavy-load slot.
std::string slowValidFile() {
    constexpr int kPaddingBoxes = 400'000;  // 3.2 MB
    std::string target = fixtures::directory() + "/after-padding.mp4";
    if (std::filesystem::exists(target)) return target;
    std::ifstream source(fixtures::path("mp4"), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(source)), {});
    // The ffmpeg fixture is laid out ftyp, free, mdat, moov: the padding goes
    // before the moov, so the offsets of the media data stay true.
    std::string padding = iso_boxes::box("free", "");
    std::string boxes;
    boxes.reserve(padding.size() * kPaddingBoxes);
    for (int i = 0; i < kPaddingBoxes; ++i) boxes += padding;
    size_t moov = bytes.rfind("moov");
    EXPECT_NE(moov, std::string::npos);
    bytes.insert(moov - 4, boxes);
    std::ofstream(target, std::ios::binary) << bytes;
    return target;
}

// N names of the one file: each name is a path of its own, probed by itself.
std::vector<std::string> namesOf(const std::string& file, size_t count) {
    std::vector<std::string> names;
    for (size_t i = 0; i < count; ++i) {
        std::string name = fixtures::directory() + "/name-" + std::to_string(i) + ".mp4";
        std::error_code ignored;
        std::filesystem::create_symlink(file, name, ignored);
        names.push_back(name);
    }
    return names;
}

class BulkOfOneSlowFile : public testing::TestWithParam<size_t> {
protected:
    static void SetUpTestSuite() {
        file_ = new std::string(slowValidFile());
        auto warm = platform::linux_backend::makeFfmpegMediaAssets();
        auto start = std::chrono::steady_clock::now();
        alone_ = new MediaInfoResult(getMediaInfo(*file_, *warm));
        auto elapsed = std::chrono::steady_clock::now() - start;
        // Two slots make the names queue: N names wait about N / 2 times the
        // file's own time in all, far past a deadline of 8 times it. Counted
        // as the files' own time, that wait made the later ones time out.
        limits_.heavyLoads = 2;
        limits_.deadline = std::max<std::chrono::milliseconds>(
            1s, std::chrono::duration_cast<std::chrono::milliseconds>(8 * elapsed));
    }
    static void TearDownTestSuite() {
        delete file_;
        delete alone_;
    }

    static std::string* file_;
    static MediaInfoResult* alone_;
    static platform::linux_backend::MediaAssetLimits limits_;
};

std::string* BulkOfOneSlowFile::file_ = nullptr;
MediaInfoResult* BulkOfOneSlowFile::alone_ = nullptr;
platform::linux_backend::MediaAssetLimits BulkOfOneSlowFile::limits_;

} // namespace

TEST_P(BulkOfOneSlowFile, EveryNameAnswersTheFullRecordOfTheFileAlone) {
    ASSERT_TRUE(alone_->info) << alone_->error.value_or("");
    ASSERT_EQ(toJson(*alone_->info)["type"], "video");
    auto assets = platform::linux_backend::makeFfmpegMediaAssets(limits_);
    std::vector<std::string> names = namesOf(*file_, GetParam());
    std::vector<MediaInfoResult> results = getMediaInfoBulk(names, *assets);
    ASSERT_EQ(results.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(results[i].path, names[i]);
        if (!results[i].info) {
            ADD_FAILURE() << names[i] << ": " << results[i].error.value_or("");
            continue;
        }
        EXPECT_EQ(toJson(*results[i].info), toJson(*alone_->info)) << names[i];
    }
}

INSTANTIATE_TEST_SUITE_P(Names, BulkOfOneSlowFile, testing::Values(1, 4, 16, 64),
                         [](const auto& info) { return std::to_string(info.param); });
