// Converting only the rows of a picture that changed gives the picture a whole
// conversion gives, wherever the changed rows begin and end.

#include "writer_test_support.h"
#include "writer/frame_converter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using platform::PixelBuffer;
using platform::RowSpan;
using platform::linux_backend::FrameConverter;

constexpr int kWidth = 64;
constexpr int kHeight = 48;

struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;

Frame i420Frame() {
    Frame frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = kWidth;
    frame->height = kHeight;
    EXPECT_GE(av_frame_get_buffer(frame.get(), 0), 0);
    return frame;
}

std::shared_ptr<PixelBuffer> randomPicture(std::mt19937& random) {
    auto picture = PixelBuffer::allocate(platform::pixel_format::bgra, kWidth, kHeight, 4);
    for (size_t i = 0; i < size_t(kWidth) * kHeight * 4; ++i) picture->mutablePlane(0)[i] = uint8_t(random());
    return picture;
}

struct ChangeCase {
    std::string name;
    std::vector<RowSpan> rows;
};

class FrameConverterRows : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(FrameConverterRows, ConvertingTheChangedRowsGivesTheWholeConversion) {
    std::mt19937 random(7);
    auto before = randomPicture(random);
    auto after = PixelBuffer::allocate(platform::pixel_format::bgra, kWidth, kHeight, 4);
    std::memcpy(after->mutablePlane(0), before->planes[0].data, size_t(kWidth) * kHeight * 4);
    for (const RowSpan& span : GetParam().rows) {
        for (int row = std::max(0, span.begin); row < std::min(kHeight, span.end); ++row) {
            for (int x = 0; x < kWidth * 4; ++x) after->mutablePlane(0)[row * kWidth * 4 + x] = uint8_t(random());
        }
    }
    FrameConverter converter(platform::pixel_format::bgra, kWidth, kHeight, AV_PIX_FMT_YUV420P);
    Frame previous = i420Frame(), whole = i420Frame(), partial = i420Frame();
    converter.convert(*before, previous.get());
    converter.convert(*after, whole.get());
    converter.convertChanged(*after, GetParam().rows, *previous, partial.get());
    EXPECT_TRUE(writer_test::sameI420Pictures(*whole, *partial));
}

INSTANTIATE_TEST_SUITE_P(
    Spans, FrameConverterRows,
    ::testing::Values(ChangeCase{"Nothing", {}}, ChangeCase{"OneOddRow", {{5, 6}}},
                      ChangeCase{"EvenPair", {{10, 12}}}, ChangeCase{"OddToOdd", {{3, 9}}},
                      ChangeCase{"SeveralOutOfOrder", {{40, 41}, {0, 1}, {21, 24}}},
                      ChangeCase{"TouchingAfterWidening", {{5, 7}, {7, 9}}},
                      ChangeCase{"BeyondThePicture", {{-4, 2}, {45, 60}}}, ChangeCase{"Whole", {{0, kHeight}}}),
    [](const auto& info) { return info.param.name; });

} // namespace
