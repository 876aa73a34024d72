// The X11 screen stream of the Linux backend against a private Xvfb: sizes,
// pacing, pixels, the pointer, cropping and scaling, frame status, queue depth,
// stopping, windows, and the errors when there is no usable X server.

#include "capture_support.h"
#include "common/delivery_gate.h"
#include "common/frame_memory_pool.h"
#include "eventually.h"
#include "private_servers.h"
#include "x11/x_frame_grabber.h"

#include "platform/linux/linux_platform.h"
#include "platform/platform.h"
#include "platform/screen_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <cstring>
#include <cstdlib>
#include <functional>
#include <future>
#include <random>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using namespace test_support;
using platform::ContentFilter;
using platform::FrameStatus;
using platform::MediaTime;
using platform::PixelBuffer;
using platform::SampleBufferRef;
using platform::StreamConfiguration;
using platform::StreamOutputType;

constexpr Colour kRed{220, 30, 30};
constexpr Colour kBlue{20, 40, 230};
constexpr Colour kGreen{10, 200, 60};

class ScreenStream : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.started()) << "Xvfb did not start";
        client_.emplace();
        ASSERT_TRUE(client_->connected());
        streams_ = platform::linux_backend::makeLinuxPlatform()->streams;
        ASSERT_TRUE(streams_);
    }

    // A started stream of the whole screen with the collector as its screen output.
    std::shared_ptr<platform::Stream> start(StreamConfiguration configuration, std::shared_ptr<Collector> collector,
                                            ContentFilter filter = ContentFilter::displayExcludingWindows(wholeScreen(), {})) {
        auto stream = streams_->makeStream(filter, configuration, {});
        stream->addStreamOutput(collector, StreamOutputType::screen, platform::makeSerialQueue("screen"));
        stream->startCapture();
        return stream;
    }

    static StreamConfiguration configuration(int fps, bool cursor = false) {
        StreamConfiguration c;
        c.minimumFrameInterval = MediaTime::make(1, fps);
        c.showsCursor = cursor;
        c.pixelFormat = platform::pixel_format::bgra;
        return c;
    }

    PrivateXServer server_;
    std::optional<XTestClient> client_;
    std::shared_ptr<platform::StreamService> streams_;
};

TEST_F(ScreenStream, DeliversFramesOfTheConfiguredSizeAtMostAtTheFrameRateWithIncreasingTimes) {
    auto collector = std::make_shared<Collector>();
    auto c = configuration(30);
    c.width = 960;
    c.height = 540;
    auto stream = start(c, collector);
    ASSERT_TRUE(collector->waitFor([](const auto& samples) { return samples.size() >= 20; }));
    stream->stopCapture();

    auto samples = collector->samples();
    ASSERT_EQ(samples.front()->frameStatus(), FrameStatus::complete) << "the first frame always carries a picture";
    for (const auto& sample : samples) {
        ASSERT_TRUE(sample->formatDescription());
        EXPECT_EQ(sample->formatDescription()->mediaSubtype, platform::pixel_format::bgra);
        EXPECT_EQ(*sample->formatDescription()->dimensions, (platform::VideoDimensions{960, 540}));
        EXPECT_EQ(sample->presentationTimeStamp().timescale, 1'000'000'000);
        if (sample->frameStatus() == FrameStatus::complete) {
            ASSERT_TRUE(sample->pixels());
            EXPECT_EQ(sample->pixels()->width, 960);
            EXPECT_EQ(sample->pixels()->height, 540);
        }
    }
    for (size_t i = 1; i < samples.size(); ++i) {
        EXPECT_GT(samples[i]->presentationTimeStamp(), samples[i - 1]->presentationTimeStamp());
    }
    // Paced by the minimum frame interval: on average never faster than 30 a second.
    double span = (nanoseconds(samples.back()->presentationTimeStamp()) -
                   nanoseconds(samples.front()->presentationTimeStamp())) / 1e9;
    EXPECT_GE(span / double(samples.size() - 1), 0.9 / 30);
    // Stamped on the monotonic clock, close to when they were taken. Ten seconds leave room
    // for a stop delayed on a busy machine; any other clock (the epoch, or counting from
    // the start) would be off by far more.
    EXPECT_LT(std::abs(nanoseconds(samples.back()->presentationTimeStamp()) - nowNanoseconds()), 10'000'000'000);
}

TEST_F(ScreenStream, AColourDrawnInAKnownPlaceIsReadBackFromTheFrame) {
    client_->window(100, 200, 300, 150, kRed);
    auto collector = std::make_shared<Collector>();
    auto stream = start(configuration(30), collector);
    auto frame = collector->completeFrameAfter(0);
    ASSERT_TRUE(frame);
    const PixelBuffer& pixels = *frame->pixels();
    ASSERT_EQ(pixels.width, 1920);
    EXPECT_TRUE(near(pixelAt(pixels, 101, 201), kRed));
    EXPECT_TRUE(near(pixelAt(pixels, 399, 349), kRed));
    EXPECT_FALSE(near(pixelAt(pixels, 99, 199), kRed));
    EXPECT_FALSE(near(pixelAt(pixels, 400, 350), kRed));
}

// Inside a green square under the pointer: whether any pixel is not green.
bool pointerDrawn(const PixelBuffer& frame, int32_t x, int32_t y) {
    for (int32_t dy = -12; dy <= 12; ++dy) {
        for (int32_t dx = -12; dx <= 12; ++dx) {
            if (!near(pixelAt(frame, x + dx, y + dy), kGreen, 20)) return true;
        }
    }
    return false;
}

TEST_F(ScreenStream, ThePointerIsDrawnWhereItIsOnlyWhenAskedFor) {
    client_->window(400, 400, 300, 300, kGreen);
    client_->warpPointer(550, 550);
    for (bool showsCursor : {true, false}) {
        SCOPED_TRACE(showsCursor ? "with the pointer" : "without the pointer");
        auto collector = std::make_shared<Collector>();
        auto stream = start(configuration(30, showsCursor), collector);
        auto frame = collector->completeFrameAfter(0);
        ASSERT_TRUE(frame);
        EXPECT_EQ(pointerDrawn(*frame->pixels(), 550, 550), showsCursor);
        if (showsCursor) {
            // Moved: a new picture shows it at its new place, and no longer at the old one.
            // Found by what it shows, not by its time: a frame is stamped as its grab begins,
            // which may be just before the move it shows.
            client_->warpPointer(620, 480);
            auto after = collector->completeFrameAfter(0, [](const PixelBuffer& p) { return pointerDrawn(p, 620, 480); });
            ASSERT_TRUE(after) << "moving the pointer makes a new frame";
            EXPECT_FALSE(pointerDrawn(*after->pixels(), 550, 550));
        }
    }
}

struct CropCase {
    const char* name;
    platform::FourCharCode pixelFormat;
    std::optional<int64_t> width, height;
    int32_t expectedWidth, expectedHeight;
};

class ScreenStreamCrop : public ScreenStream, public ::testing::WithParamInterface<CropCase> {};

// Reads a pixel of either delivered format as 8-bit colour.
Colour colourAt(const PixelBuffer& frame, int32_t x, int32_t y) {
    if (frame.pixelFormat == platform::pixel_format::bgra) return pixelAt(frame, x, y);
    const auto& plane = frame.planes.at(0);
    uint32_t word;
    std::memcpy(&word, plane.data + size_t(y) * plane.bytesPerRow + size_t(x) * 4, 4);
    auto eightBits = [](uint32_t tenBits) { return uint8_t(tenBits >> 2); };
    return {eightBits((word >> 20) & 0x3ff), eightBits((word >> 10) & 0x3ff), eightBits(word & 0x3ff)};
}

TEST_P(ScreenStreamCrop, TheSourceRectangleIsCutOutAndScaledToTheOutputSize) {
    const CropCase& c = GetParam();
    client_->window(100, 100, 100, 100, kRed);
    client_->window(200, 100, 100, 100, kBlue);
    // The display starts at x 50 of the root: the source rectangle is relative to it.
    platform::Display display{7, 1000, 800, {{50, 0}, {1000, 800}}};
    auto configured = configuration(30);
    configured.pixelFormat = c.pixelFormat;
    configured.sourceRect = platform::Rect{{50, 100}, {200, 100}};
    configured.width = c.width;
    configured.height = c.height;
    auto collector = std::make_shared<Collector>();
    auto stream = start(configured, collector, ContentFilter::displayExcludingWindows(display, {}));
    auto frame = collector->completeFrameAfter(0);
    ASSERT_TRUE(frame);
    const PixelBuffer& pixels = *frame->pixels();
    EXPECT_EQ(pixels.pixelFormat, c.pixelFormat);
    ASSERT_EQ(pixels.width, c.expectedWidth);
    ASSERT_EQ(pixels.height, c.expectedHeight);
    const int32_t w = pixels.width, h = pixels.height;
    // Left half red, right half blue, away from the seam the filter blends.
    EXPECT_TRUE(near(colourAt(pixels, 2, 2), kRed));
    EXPECT_TRUE(near(colourAt(pixels, w / 2 - 3, h - 2), kRed));
    EXPECT_TRUE(near(colourAt(pixels, w / 2 + 3, 2), kBlue));
    EXPECT_TRUE(near(colourAt(pixels, w - 2, h - 2), kBlue));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ScreenStreamCrop,
                         ::testing::Values(CropCase{"CropOnly", platform::pixel_format::bgra, {}, {}, 200, 100},
                                           CropCase{"CropScaledDown", platform::pixel_format::bgra, 100, 50, 100, 50},
                                           CropCase{"CropScaledUp", platform::pixel_format::bgra, 400, 200, 400, 200},
                                           CropCase{"TenBit", platform::pixel_format::argb2101010, {}, {}, 200, 100},
                                           CropCase{"TenBitScaled", platform::pixel_format::argb2101010, 100, 50, 100, 50}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ScreenStream, StaticContentGivesIdleFramesAndAChangeGivesACompleteOne) {
    auto window = client_->window(300, 300, 200, 200, kRed);
    auto collector = std::make_shared<Collector>();
    auto stream = start(configuration(60), collector);
    ASSERT_TRUE(collector->waitFor([](const auto& samples) { return samples.size() >= 12; }));
    auto settled = collector->samples();
    EXPECT_EQ(settled.front()->frameStatus(), FrameStatus::complete);
    // Nothing moves on the screen: after the first picture the frames are idle and carry no pixels.
    size_t idle = 0;
    for (size_t i = 1; i < settled.size(); ++i) {
        if (settled[i]->frameStatus() == FrameStatus::idle) {
            ++idle;
            EXPECT_FALSE(settled[i]->pixels());
        }
    }
    EXPECT_GE(idle, settled.size() - 3);

    // Found by what it shows, not by its time: a frame is stamped as its grab begins,
    // which may be just before the change it shows.
    client_->fill(window, kBlue);
    auto frame = collector->completeFrameAfter(0, [](const PixelBuffer& p) { return near(pixelAt(p, 400, 400), kBlue); });
    ASSERT_TRUE(frame) << "a change makes a complete frame";
}

TEST_F(ScreenStream, ACompleteFrameTellsTheRowsThatChangedSinceThePictureBeforeIt) {
    auto window = client_->window(300, 300, 200, 100, kRed);
    auto collector = std::make_shared<Collector>();
    auto stream = start(configuration(60), collector);
    auto first = collector->completeFrameAfter(0, [](const PixelBuffer& p) { return near(pixelAt(p, 400, 350), kRed); });
    ASSERT_TRUE(first && first->pixels()->change);
    const platform::PictureChange& whole = *first->pixels()->change;
    EXPECT_NE(whole.picture, 0u);

    client_->fill(window, kBlue);
    auto changed = collector->completeFrameAfter(0, [](const PixelBuffer& p) { return near(pixelAt(p, 400, 350), kBlue); });
    ASSERT_TRUE(changed && changed->pixels()->change);
    // Pictures grabbed in between (none, unless the server drew the window late) are
    // named by the frames before this one: it is told against the last of them.
    uint64_t before = 0;
    for (const auto& sample : collector->samples()) {
        if (sample == changed) break;
        if (sample->pixels() && sample->pixels()->change) before = sample->pixels()->change->picture;
    }
    const platform::PictureChange& change = *changed->pixels()->change;
    EXPECT_EQ(change.previousPicture, before);
    ASSERT_FALSE(change.rows.empty());
    // The rows of the window, and no row above it: the rest of the screen did not change.
    EXPECT_LE(change.rows.front().begin, 300);
    EXPECT_GE(change.rows.back().end, 400);
    EXPECT_GE(change.rows.front().begin, 300 - 1) << "rows above the window are not told as changed";
    EXPECT_LE(change.rows.back().end, 400 + 1);
}

// Pictures are grabbed into memory blocks that still hold an earlier picture, only where
// the screen changed since: every frame must still show the whole screen as it was.
TEST_F(ScreenStream, EveryFrameShowsTheWholeScreenWhereverItsMemoryWasGrabbedBefore) {
    constexpr int kWindows = 3, kSteps = 15;
    const int16_t tops[kWindows] = {60, 420, 800};
    std::vector<xcb_window_t> windows;
    std::vector<Colour> shown;
    for (int i = 0; i < kWindows; ++i) {
        shown.push_back(Colour{uint8_t(30 + 60 * i), 30, 30});
        windows.push_back(client_->window(200, tops[i], 300, 100, shown.back()));
    }
    // The screen's states, one window recoloured at each step; a frame must show one of them.
    std::vector<std::vector<Colour>> states = {shown};
    std::mutex mutex;
    std::vector<std::vector<Colour>> seen;
    std::deque<SampleBufferRef> held;  // a few frames kept a while, so that the blocks take turns
    auto collector = std::make_shared<Collector>();
    collector->keepsSamples = false;
    collector->onSample = [&](const SampleBufferRef& sample) {
        if (sample->frameStatus() != FrameStatus::complete || !sample->pixels()) return;
        std::vector<Colour> colours;
        for (int i = 0; i < kWindows; ++i) colours.push_back(pixelAt(*sample->pixels(), 350, tops[i] + 50));
        std::lock_guard guard(mutex);
        seen.push_back(colours);
        held.push_back(sample);
        if (held.size() > 2) held.pop_front();
    };
    auto stream = start(configuration(60), collector);
    for (int step = 0; step < kSteps; ++step) {
        const int window = step % kWindows;
        shown[window] = Colour{uint8_t(40 + 13 * step), uint8_t(250 - 11 * step), uint8_t(60 + 9 * step)};
        states.push_back(shown);
        client_->fill(windows[window], shown[window]);
        ASSERT_TRUE(eventually([&] {
            std::lock_guard guard(mutex);
            return !seen.empty() && near(seen.back()[window], shown[window]);
        })) << "step " << step;
    }
    stream->stopCapture();
    std::lock_guard guard(mutex);
    for (size_t frame = 0; frame < seen.size(); ++frame) {
        const bool aState = std::any_of(states.begin(), states.end(), [&](const auto& state) {
            for (int i = 0; i < kWindows; ++i) {
                if (!near(seen[frame][i], state[i])) return false;
            }
            return true;
        });
        EXPECT_TRUE(aState) << "frame " << frame << " mixes pictures of different times";
    }
}

// The grabber fetches into a memory block only the rows changed since the picture the
// block holds. Whichever block a grab lands in (pictures held and let go in any order,
// some never looked at), the picture must be the screen byte for byte, the pictures still
// held must stay as they were, and the rows a picture says changed must hold every row
// that differs from the picture before it.
TEST_F(ScreenStream, EveryGrabIsTheWholeScreenWhateverPictureItsMemoryHeldBefore) {
    using platform::linux_backend::GrabbedPicture;
    using platform::linux_backend::XFrameGrabber;
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    ASSERT_FALSE(xcb_connection_has_error(c));
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const int32_t width = screen->width_in_pixels, height = screen->height_in_pixels;
    const size_t rowBytes = size_t(width) * 4;
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, screen->root, 0, nullptr);
    const xcb_window_t window = client_->window(100, 100, 400, 300, kRed);
    auto screenNow = [&] {
        auto* reply = xcb_get_image_reply(
            c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, 0, 0, uint16_t(width), uint16_t(height), ~0u),
            nullptr);
        std::vector<uint8_t> pixels;
        if (reply) pixels.assign(xcb_get_image_data(reply), xcb_get_image_data(reply) + rowBytes * size_t(height));
        free(reply);
        return pixels;
    };
    auto rowsEqual = [&](const uint8_t* a, const uint8_t* b, int32_t row) {
        return std::memcmp(a + size_t(row) * rowBytes, b + size_t(row) * rowBytes, rowBytes) == 0;
    };
    auto digest = [&](const GrabbedPicture& picture) {
        return std::hash<std::string_view>{}({reinterpret_cast<const char*>(picture.view.data), rowBytes * size_t(height)});
    };

    XFrameGrabber grabber(ContentFilter::displayExcludingWindows(wholeScreen(), {}), std::nullopt, false, 4);
    std::mt19937 random(11);
    struct Held {
        GrabbedPicture picture;
        size_t digest;
    };
    std::vector<Held> held;
    std::vector<uint8_t> before;
    uint64_t previous = 0;
    for (int step = 0; step < 60; ++step) {
        for (int change = 0, changes = 1 + int(random() % 3); change < changes; ++change) {
            const auto top = int16_t(random() % uint32_t(height)), tall = int16_t(1 + random() % 120);
            const auto left = int16_t(random() % uint32_t(width)), wide = int16_t(1 + random() % 600);
            switch (random() % 4) {
            case 0: {  // a scroll
                const auto by = int16_t(1 + random() % 40);
                xcb_copy_area(c, screen->root, screen->root, gc, 0, int16_t(top + by), 0, top, uint16_t(width), uint16_t(tall));
                break;
            }
            case 1: {  // a window moved, painting where it was and where it goes
                const uint32_t place[2] = {uint32_t(left), uint32_t(top)};
                xcb_configure_window(c, window, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, place);
                break;
            }
            default: {
                const uint32_t colour = uint32_t(random()) & 0xffffff;
                xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
                const xcb_rectangle_t rectangle{left, top, uint16_t(wide), uint16_t(tall)};
                xcb_poly_fill_rectangle(c, screen->root, gc, 1, &rectangle);
            }
            }
        }
        const std::vector<uint8_t> now = screenNow();  // also waits until the server drew
        ASSERT_EQ(now.size(), rowBytes * size_t(height));
        grabber.changed();
        auto picture = grabber.grab();
        ASSERT_TRUE(picture) << "step " << step;
        for (int32_t row = 0; row < height; ++row) {
            ASSERT_TRUE(rowsEqual(picture->view.data, now.data(), row)) << "step " << step << ": row " << row << " is stale";
        }
        if (previous != 0 && picture->change.previousPicture == previous) {
            size_t span = 0;
            for (int32_t row = 0; row < height; ++row) {
                const auto& rows = picture->change.rows;
                while (span < rows.size() && rows[span].end <= row) ++span;
                const bool told = span < rows.size() && rows[span].begin <= row;
                if (!told) {
                    ASSERT_TRUE(rowsEqual(before.data(), now.data(), row)) << "step " << step << ": row " << row << " changed untold";
                }
            }
        }
        previous = picture->change.picture;
        before = now;
        // The blocks take turns: up to three pictures stay held, let go in any order.
        held.push_back({std::move(*picture), 0});
        held.back().digest = digest(held.back().picture);
        const size_t keep = random() % 4;
        while (held.size() > keep) {
            const size_t index = random() % held.size();
            EXPECT_EQ(digest(held[index].picture), held[index].digest) << "step " << step << ": a held picture was overwritten";
            held.erase(held.begin() + ptrdiff_t(index));
        }
    }
    xcb_disconnect(c);
}

// Painting that goes on while the grabs run lands between the damage a grab takes and
// its rows being read: once it stops, a grab into any of the blocks, whatever picture it
// held, must still be the screen as it is.
TEST_F(ScreenStream, AfterPaintingDuringTheGrabsAGrabIntoAnyBlockIsTheWholeScreen) {
    using platform::linux_backend::GrabbedPicture;
    using platform::linux_backend::XFrameGrabber;
    constexpr size_t kBlocks = 4;
    XFrameGrabber grabber(ContentFilter::displayExcludingWindows(wholeScreen(), {}), std::nullopt, false, kBlocks);
    std::atomic<bool> painting{true};
    std::thread painter([&] {
        xcb_connection_t* c = xcb_connect(nullptr, nullptr);
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        const xcb_gcontext_t gc = xcb_generate_id(c);
        xcb_create_gc(c, gc, screen->root, 0, nullptr);
        std::mt19937 random(5);
        for (int i = 0; painting; ++i) {
            const uint32_t colour = uint32_t(random()) & 0xffffff;
            xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
            const xcb_rectangle_t rectangle{int16_t(random() % 1900), int16_t(random() % 1070), uint16_t(1 + random() % 300),
                                            uint16_t(1 + random() % 40)};
            xcb_poly_fill_rectangle(c, screen->root, gc, 1, &rectangle);
            if (i % 8 == 0) xcb_copy_area(c, screen->root, screen->root, gc, 0, 20, 0, 0, 1920, 1000);
            free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));  // one change at a time
        }
        xcb_disconnect(c);
    });
    std::mt19937 random(9);
    std::deque<GrabbedPicture> held;
    for (int grab = 0; grab < 150; ++grab) {
        grabber.changed();
        if (auto picture = grabber.grab()) held.push_back(std::move(*picture));
        while (held.size() > random() % kBlocks) held.erase(held.begin() + ptrdiff_t(random() % held.size()));
    }
    painting = false;
    painter.join();
    held.clear();
    client_->sync();
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    auto* reply = xcb_get_image_reply(c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, 0, 0, 1920, 1080, ~0u),
                                      nullptr);
    ASSERT_TRUE(reply);
    const uint8_t* now = xcb_get_image_data(reply);
    // Every block in turn: each one grabbed into stays held until all are.
    for (size_t block = 0; block < kBlocks; ++block) {
        grabber.changed();
        auto picture = grabber.grab();
        ASSERT_TRUE(picture) << "block " << block;
        for (int32_t row = 0; row < 1080; ++row) {
            ASSERT_EQ(std::memcmp(picture->view.data + size_t(row) * picture->view.bytesPerRow, now + size_t(row) * 1920 * 4,
                                  1920 * 4), 0) << "block " << block << ": row " << row << " is stale";
        }
        held.push_back(std::move(*picture));
    }
    free(reply);
    xcb_disconnect(c);
}

TEST_F(ScreenStream, ASlowConsumerMakesTheStreamDropFramesBeyondTheQueueDepth) {
    constexpr int32_t kDepth = 3;
    auto collector = std::make_shared<Collector>();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> firstCall{true};
    collector->onSample = [&](const SampleBufferRef&) {
        if (firstCall.exchange(false)) released.wait();  // the consumer hangs on its first frame
    };
    auto c = configuration(60);
    c.queueDepth = kDepth;
    auto stream = start(c, collector);
    // About 18 frames' time passes while the consumer hangs.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int64_t releasedAt = nowNanoseconds();
    release.set_value();
    ASSERT_TRUE(collector->waitFor([&](const auto& samples) {
        return !samples.empty() && nanoseconds(samples.back()->presentationTimeStamp()) > releasedAt;
    }));
    stream->stopCapture();
    size_t takenWhileHanging = 0;
    for (const auto& sample : collector->samples()) {
        if (nanoseconds(sample->presentationTimeStamp()) < releasedAt - 20'000'000) ++takenWhileHanging;
    }
    // The hanging frame and those waiting behind it: never more than the depth.
    EXPECT_LE(takenWhileHanging, size_t(kDepth));
}

TEST_F(ScreenStream, AConsumerKeepingEveryFrameDoesNotMakeTheStreamHoldMorePictures) {
    auto window = client_->window(0, 0, 400, 400, kRed);
    std::atomic<bool> drawing{true};
    std::thread painter([&] {
        XTestClient painterClient;
        for (int i = 0; drawing; ++i) {
            painterClient.fill(window, i % 2 ? kRed : kBlue);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    auto collector = std::make_shared<Collector>();  // keeps every sample it gets
    auto c = configuration(60);
    c.queueDepth = 4;
    auto stream = start(c, collector);
    // Five times the pictures the stream may hold: frames keep coming, without pictures once
    // the memory is spent. Waited for by count, as a busy machine delivers fewer a second.
    const size_t enough = 5 * (size_t(c.queueDepth) + 2);
    bool framesKeptComing = collector->waitFor([&](const auto& samples) { return samples.size() >= enough; });
    stream->stopCapture();
    drawing = false;
    painter.join();
    EXPECT_TRUE(framesKeptComing) << collector->count() << " frames";
    size_t pictures = 0;
    for (const auto& sample : collector->samples()) pictures += sample->pixels() ? 1 : 0;
    EXPECT_LE(pictures, size_t(c.queueDepth) + 2) << "the stream's frame memory is bounded";
}

TEST_F(ScreenStream, NothingIsDeliveredOnceStopCaptureHasReturned) {
    auto collector = std::make_shared<Collector>();
    auto stream = streams_->makeStream(ContentFilter::displayExcludingWindows(wholeScreen(), {}), configuration(60), {});
    // The global queue runs callbacks side by side; each one is slow.
    collector->onSample = [](const SampleBufferRef&) { std::this_thread::sleep_for(std::chrono::milliseconds(30)); };
    stream->addStreamOutput(collector, StreamOutputType::screen, platform::globalQueue());
    stream->startCapture();
    ASSERT_TRUE(collector->waitFor([](const auto& samples) { return samples.size() >= 5; }));
    stream->stopCapture();
    size_t atStop = collector->count();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(collector->count(), atStop);
}

// The pool of grabbed pictures is sized by the bytes of a picture: many small ones,
// few large ones, never fewer than the minimum nor more than the queue allows.
TEST(FrameMemoryPool, BlocksAreCountedInBytesWithinTheirBounds) {
    using platform::linux_backend::blocksWithin;
    using platform::linux_backend::kGrabbedPicturesBytes;
    using platform::linux_backend::kMinimumGrabbedPictures;
    struct Case {
        size_t pictureBytes, maximum, expected;
    };
    const Case cases[] = {
        {1920 * 1080 * 4, 8, 6},                            // 8.3 MB pictures: six fit
        {3840 * 2160 * 4, 8, kMinimumGrabbedPictures},      // 33 MB: one would fit, the minimum holds
        {640 * 480 * 4, 8, 8},                              // small: as many as the queue allows
        {7680 * 4320 * 4, 2, 3},                            // the minimum even above a lower maximum
        {0, 5, 5},                                          // an empty picture takes no room
    };
    for (const auto& c : cases) {
        EXPECT_EQ(blocksWithin(kGrabbedPicturesBytes, c.pictureBytes, kMinimumGrabbedPictures, c.maximum), c.expected)
            << c.pictureBytes << " bytes, at most " << c.maximum;
    }
}

// Blocks made ready before the first frames are the ones handed out then: nothing is
// allocated when they are taken, and the capacity still bounds the pool.
TEST(FrameMemoryPool, PreparedBlocksAreHandedOutFirstAndCountTowardsTheCapacity) {
    using platform::linux_backend::FrameMemory;
    using platform::linux_backend::FrameMemoryPool;
    std::atomic<int> allocations{0};
    auto heap = FrameMemoryPool::heap();
    auto pool = std::make_shared<FrameMemoryPool>(3, [&](size_t size) {
        ++allocations;
        return heap(size);
    });
    pool->prepare(5, 64 * 1024);
    EXPECT_EQ(allocations.load(), 3) << "no more than the capacity is prepared";
    EXPECT_EQ(pool->blocksOut(), 0u);
    std::vector<std::shared_ptr<FrameMemory>> taken;
    for (int i = 0; i < 3; ++i) {
        auto block = pool->acquire(64 * 1024);
        ASSERT_TRUE(block);
        EXPECT_GE(block->size, 64u * 1024);
        EXPECT_EQ(block->data[block->size - 1], 0) << "prepared memory is zeroed";
        taken.push_back(std::move(block));
    }
    EXPECT_EQ(allocations.load(), 3) << "prepared blocks are handed out without allocating";
    EXPECT_FALSE(pool->acquire(64 * 1024)) << "the capacity is spent";
    taken.pop_back();
    EXPECT_TRUE(pool->acquire(64 * 1024)) << "a block given back is handed out again";
    pool->prepare(2, 64 * 1024);
    EXPECT_EQ(allocations.load(), 3) << "a full pool prepares nothing";
}

// At a stop the producer has handed samples to a consumer's queue that have not run yet
// (audio drained from the server just before): they still arrive, and nothing after.
TEST(DeliveryGate, AStopLetsWhatWasHandedOverArriveAndNothingAfter) {
    auto gate = std::make_shared<platform::linux_backend::DeliveryGate>(10);
    auto queue = platform::makeSerialQueue("consumer");
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> arrived{0};
    gate->open();
    ASSERT_TRUE(gate->post(*queue, [&] {
        released.wait();  // the consumer is busy while the others wait behind it
        ++arrived;
    }));
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(gate->post(*queue, [&] { ++arrived; }));
    auto stopping = std::async(std::launch::async, [&] {
        bool delivered = gate->waitUntilDelivered(std::chrono::seconds(30));
        gate->close();
        return delivered;
    });
    release.set_value();
    EXPECT_TRUE(stopping.get());
    EXPECT_EQ(arrived.load(), 5);
    EXPECT_FALSE(gate->post(*queue, [&] { ++arrived; })) << "a closed gate takes nothing";
    queue->sync([] {});
    EXPECT_EQ(arrived.load(), 5);
}

TEST_F(ScreenStream, AWindowIsCapturedWholeEvenWhereAnotherWindowCoversIt) {
    auto target = client_->window(500, 300, 240, 160, kGreen);
    client_->window(560, 340, 100, 60, kRed);  // on top of the target
    platform::Window window;
    window.windowID = target;
    window.frame = {{500, 300}, {240, 160}};
    auto c = configuration(30);
    c.width = 240;
    c.height = 160;
    auto collector = std::make_shared<Collector>();
    auto stream = start(c, collector, ContentFilter::desktopIndependentWindow(window));
    auto frame = collector->completeFrameAfter(0, [](const PixelBuffer& p) { return near(pixelAt(p, 100, 60), kGreen); });
    ASSERT_TRUE(frame) << "the covered part shows the window's own contents";
    EXPECT_EQ(frame->pixels()->width, 240);
    EXPECT_TRUE(near(pixelAt(*frame->pixels(), 0, 0), kGreen));
    EXPECT_TRUE(near(pixelAt(*frame->pixels(), 239, 159), kGreen));
}

class RecordingDelegate final : public platform::StreamDelegate {
public:
    void streamDidStopWithError(platform::Stream&, const platform::PlatformError& error) override {
        std::lock_guard guard(mutex);
        errors.push_back(error.localizedDescription());
    }
    std::mutex mutex;
    std::vector<std::string> errors;
};

TEST_F(ScreenStream, TheDelegateIsToldOnceWhenTheXServerGoesAway) {
    auto delegate = std::make_shared<RecordingDelegate>();
    auto collector = std::make_shared<Collector>();
    auto stream = streams_->makeStream(ContentFilter::displayExcludingWindows(wholeScreen(), {}), configuration(60), delegate);
    stream->addStreamOutput(collector, StreamOutputType::screen, platform::makeSerialQueue("screen"));
    stream->startCapture();
    ASSERT_TRUE(collector->waitFor([](const auto& samples) { return !samples.empty(); }));
    client_.reset();
    server_.stop();
    EXPECT_TRUE(test_support::eventually([&] {
        std::lock_guard guard(delegate->mutex);
        return !delegate->errors.empty();
    }));
    // Room for a second, wrong report: a few more frame intervals of the grabber.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stream->stopCapture();
    std::lock_guard guard(delegate->mutex);
    ASSERT_EQ(delegate->errors.size(), 1u);
    EXPECT_NE(delegate->errors[0].find("X server"), std::string::npos) << delegate->errors[0];
}

struct NoServerCase {
    const char* name;
    const char* display;          // nullptr: unset
    const char* waylandDisplay;   // nullptr: unset
    const char* expectedWords;
};

class ScreenStreamWithoutX : public ::testing::TestWithParam<NoServerCase> {};

TEST_P(ScreenStreamWithoutX, StartingFailsWithAClearError) {
    const NoServerCase& c = GetParam();
    auto restore = [](const char* name, const char* value) {
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    };
    std::optional<std::string> display = std::getenv("DISPLAY") ? std::optional<std::string>(std::getenv("DISPLAY")) : std::nullopt;
    restore("DISPLAY", c.display);
    restore("WAYLAND_DISPLAY", c.waylandDisplay);
    auto streams = platform::linux_backend::makeLinuxPlatform()->streams;
    StreamConfiguration configuration;
    auto stream = streams->makeStream(ContentFilter::displayExcludingWindows(wholeScreen(), {}), configuration, {});
    try {
        stream->startCapture();
        ADD_FAILURE() << "the start did not fail";
    } catch (const platform::PlatformError& error) {
        EXPECT_EQ(error.domain(), platform::kStreamErrorDomain);
        EXPECT_EQ(error.code(), platform::kStreamErrorFailedToStart);
        EXPECT_NE(error.localizedDescription().find("The screen cannot be captured"), std::string::npos);
        EXPECT_NE(error.localizedDescription().find(c.expectedWords), std::string::npos) << error.localizedDescription();
    }
    restore("DISPLAY", display ? display->c_str() : nullptr);
    unsetenv("WAYLAND_DISPLAY");
}

INSTANTIATE_TEST_SUITE_P(Sessions, ScreenStreamWithoutX,
                         ::testing::Values(NoServerCase{"NoDisplay", nullptr, nullptr, "DISPLAY is not set"},
                                           NoServerCase{"WaylandWithoutXWayland", nullptr, "wayland-0", "Wayland"},
                                           NoServerCase{"UnreachableDisplay", ":987", nullptr, "\":987\""}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
