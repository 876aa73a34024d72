// The video encoder converts only the rows a picture says changed since the one it
// converted last. Whatever reaches it (a picture the producer made but the writer never
// took, the same picture again, pictures out of their producer's order, a frame converted
// elsewhere), each picture it encodes must be the whole conversion of its frame, byte for
// byte. (The packets cannot be compared: libx264's threaded rate control makes them
// differ from run to run.)

#include "writer_test_support.h"
#include "writer/video_encoder.h"

#include "platform/asset_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace platform;
using platform::linux_backend::FrameConverter;
using platform::linux_backend::VideoEncoder;

constexpr int32_t kWidth = 160;
constexpr int32_t kHeight = 96;
constexpr int64_t kFrameTicks = 1000;  // in the encoder's time base

VideoSettings screenSettings() {
    auto assistant = OutputSettingsAssistant::make(OutputSettingsPreset::screenH264UpTo4K);
    assistant->setSourceVideoFormat(FormatDescription::makeVideo(pixel_format::bgra, kWidth, kHeight));
    assistant->setSourceVideoAverageFrameDuration(MediaTime::make(1, 30));
    VideoSettings settings = assistant->videoSettings().value();
    settings.width = kWidth;
    settings.height = kHeight;
    return settings;
}

struct Picture {
    std::shared_ptr<PixelBuffer> pixels;
    PictureChange change;
};

// Pictures as a screen grabber makes them: each differs from the one before it in a few
// bands of rows (odd and even edges), which its change tells.
std::vector<Picture> successivePictures(int count) {
    std::mt19937 random(3);
    std::vector<Picture> pictures;
    for (int index = 0; index < count; ++index) {
        auto pixels = PixelBuffer::allocate(pixel_format::bgra, kWidth, kHeight, 4);
        uint8_t* bytes = pixels->mutablePlane(0);
        const size_t rowBytes = size_t(kWidth) * 4;
        PictureChange change{nextPictureNumber(), 0, {}};
        if (pictures.empty()) {
            for (size_t i = 0; i < rowBytes * kHeight; ++i) bytes[i] = uint8_t(random());
            change.rows = {{0, kHeight}};
        } else {
            std::memcpy(bytes, pictures.back().pixels->planes[0].data, rowBytes * kHeight);
            change.previousPicture = pictures.back().change.picture;
            int32_t row = 0;
            while (true) {
                row += int32_t(random() % 30);
                const int32_t end = std::min<int32_t>(kHeight, row + 1 + int32_t(random() % 9));
                if (row >= kHeight) break;
                for (size_t i = size_t(row) * rowBytes; i < size_t(end) * rowBytes; ++i) bytes[i] = uint8_t(random());
                change.rows.push_back({row, end});
                row = end + 1;
            }
        }
        pictures.push_back({pixels, change});
    }
    return pictures;
}

// What reaches the encoder, in order: a picture, or a frame converted before it came.
struct Step {
    size_t picture;
    bool preConverted = false;
};

TEST(VideoEncoderChangedRows, EachPictureEncodedIsTheWholeConversionOfItsFrame) {
    const std::vector<Picture> pictures = successivePictures(16);
    const std::vector<Step> steps = {
        {0}, {1}, {2},
        {4},            // 3 was made but never reached the writer
        {5}, {5}, {6},  // the same picture sent again
        {7, true},      // converted on arrival
        {8}, {10}, {9}, // out of the producer's order
        {11}, {13}, {14}, {15}};
    VideoEncoder encoder(screenSettings(), pixel_format::bgra, false, [](AVPacket*) {});
    FrameConverter converter(pixel_format::bgra, kWidth, kHeight, AV_PIX_FMT_YUV420P);
    std::unique_ptr<AVFrame, linux_backend::FrameDeleter> whole(av_frame_alloc());
    whole->format = AV_PIX_FMT_YUV420P;
    whole->width = kWidth;
    whole->height = kHeight;
    ASSERT_GE(av_frame_get_buffer(whole.get(), 0), 0);
    int64_t pts = 0;
    for (size_t index = 0; index < steps.size(); ++index) {
        const Picture& picture = pictures.at(steps[index].picture);
        converter.convert(*picture.pixels, whole.get());
        if (steps[index].preConverted) {
            encoder.takeConverted(*whole, pts, kFrameTicks);
        } else {
            PixelBuffer frame = *picture.pixels;
            frame.change = picture.change;
            encoder.take(frame, pts, kFrameTicks);
        }
        ASSERT_TRUE(encoder.taken());
        EXPECT_TRUE(writer_test::sameI420Pictures(*encoder.taken(), *whole)) << "step " << index << ", picture " << steps[index].picture;
        encoder.encodeTaken();
        pts += kFrameTicks;
    }
    encoder.finish();
}

} // namespace
