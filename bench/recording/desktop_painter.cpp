// Paints a terminal in use over the whole X screen until it is terminated: a prompt
// on the bottom line typed into at a steady rate (a glyph a keystroke, the block
// cursor moving on), and every few seconds a command's output scrolling a new page
// of text over the lines above. Each change (a keystroke or a scroll) adds one to a
// counter drawn in 32 black or white blocks along the top edge (bit 0 on the left),
// so that a recording can be checked for every change.
//
// On standard output, one line a change once it is on the screen:
//   <counter> <k: keystroke | s: scroll> <wall clock ns when drawn> <ns after its time>
// Usage: desktop_painter [keystrokes_per_second] [seconds_between_scrolls]   (default 10, 2); draws on $DISPLAY.
#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>
#include <vector>

namespace {

constexpr int kBits = 32;
constexpr int kBandHeight = 40;
constexpr int kCellWidth = 9;
constexpr int kCellHeight = 18;
constexpr int kOutputPages = 4;       // distinct pages of output, shown in turn
constexpr int kTypedGlyphs = 64;      // glyph images the keystrokes draw from
constexpr int kPromptColumns = 2;     // "$ " before the typed text
constexpr uint32_t kBackground = 0x1c1c1c;
constexpr uint32_t kInk = 0xd0d0d0;
constexpr uint32_t kPromptInk = 0x60c060;

volatile std::sig_atomic_t stopRequested = 0;
void requestStop(int) { stopRequested = 1; }

uint32_t nextRandom(uint32_t& state) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

// One glyph cell: a random 7x12 pattern in its 9x18 cell, or blank (a space).
void drawGlyph(std::vector<uint32_t>& pixels, int stride, int left, int top, uint32_t glyph, uint32_t ink) {
    if ((glyph & 15) == 0) return;
    for (int y = 0; y < 12; ++y) {
        for (int x = 0; x < 7; ++x) {
            if ((glyph >> ((y / 2) * 3 + x % 3 + 4)) & 1) pixels[size_t(top + 3 + y) * size_t(stride) + size_t(left + 1 + x)] = ink;
        }
    }
}

long long wallNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

long long monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

void sleepUntil(long long monotonic) {
    timespec deadline{time_t(monotonic / 1'000'000'000LL), long(monotonic % 1'000'000'000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR && !stopRequested) {}
}

class Painter {
public:
    Painter(xcb_connection_t* c, xcb_screen_t* screen) : c_(c), screen_(screen) {
        width_ = screen->width_in_pixels;
        height_ = screen->height_in_pixels;
        columns_ = width_ / kCellWidth;
        rows_ = (height_ - kBandHeight) / kCellHeight;
        outputHeight_ = (rows_ - 1) * kCellHeight;

        window_ = xcb_generate_id(c);
        const uint32_t windowValues[] = {kBackground, 1};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0, uint16_t(width_), uint16_t(height_), 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT,
                          windowValues);
        xcb_map_window(c, window_);
        gc_ = xcb_generate_id(c);
        const uint32_t gcValues[] = {kBackground, 0};
        xcb_create_gc(c, gc_, window_, XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES, gcValues);

        // The output pages, one under the other, and the typed glyphs in a row.
        pages_ = makePixmap(width_, outputHeight_ * kOutputPages);
        uint32_t state = 0x2545f491u;
        for (int page = 0; page < kOutputPages; ++page) {
            std::vector<uint32_t> pixels(size_t(width_) * size_t(outputHeight_), kBackground);
            for (int row = 0; row < rows_ - 1; ++row) {
                // Lines of output of varying lengths, some empty.
                const int length = int(nextRandom(state) % uint32_t(columns_ + 40)) - 40;
                for (int column = 0; column < length; ++column)
                    drawGlyph(pixels, width_, column * kCellWidth, row * kCellHeight, nextRandom(state), kInk);
            }
            upload(pages_, pixels, width_, outputHeight_, page * outputHeight_);
        }
        glyphs_ = makePixmap(kCellWidth * (kTypedGlyphs + 2), kCellHeight);
        std::vector<uint32_t> cells(size_t(kCellWidth * (kTypedGlyphs + 2)) * kCellHeight, kBackground);
        for (int glyph = 0; glyph < kTypedGlyphs; ++glyph)
            drawGlyph(cells, kCellWidth * (kTypedGlyphs + 2), glyph * kCellWidth, 0, nextRandom(state) | 1, kInk);
        // The prompt's "$" and the cursor block, after the glyphs.
        drawGlyph(cells, kCellWidth * (kTypedGlyphs + 2), kTypedGlyphs * kCellWidth, 0, 0xffffffffu, kPromptInk);
        for (int y = 1; y < kCellHeight - 1; ++y)
            for (int x = 0; x < kCellWidth - 1; ++x)
                cells[size_t(y) * size_t(kCellWidth * (kTypedGlyphs + 2)) + size_t((kTypedGlyphs + 1) * kCellWidth + x)] = kInk;
        upload(glyphs_, cells, kCellWidth * (kTypedGlyphs + 2), kCellHeight, 0);
    }

    // The first picture: the first page of output, an empty prompt, counter 0.
    void start() {
        showPage();
        sync();
    }

    void keystroke() {
        if (column_ < columns_ - 1) {
            copyCell(int(nextRandom(random_) % kTypedGlyphs), column_);
            ++column_;
            copyCell(kTypedGlyphs + 1, column_);
        }
        ++counter_;
        drawCounter();
        sync();
    }

    void scroll() {
        page_ = (page_ + 1) % kOutputPages;
        showPage();
        ++counter_;
        drawCounter();
        sync();
    }

    uint32_t counter() const { return counter_; }
    bool failed() const { return failed_; }

private:
    xcb_pixmap_t makePixmap(int width, int height) {
        const xcb_pixmap_t pixmap = xcb_generate_id(c_);
        xcb_create_pixmap(c_, screen_->root_depth, pixmap, screen_->root, uint16_t(width), uint16_t(height));
        return pixmap;
    }

    void upload(xcb_pixmap_t pixmap, const std::vector<uint32_t>& pixels, int width, int height, int top) {
        constexpr int kStripRows = 16;  // keeps each request well under the X request size limit
        for (int y = 0; y < height; y += kStripRows) {
            const int rows = std::min(kStripRows, height - y);
            xcb_put_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc_, uint16_t(width), uint16_t(rows), 0, int16_t(top + y), 0,
                          screen_->root_depth, uint32_t(size_t(width) * size_t(rows) * 4),
                          reinterpret_cast<const uint8_t*>(pixels.data() + size_t(y) * size_t(width)));
        }
    }

    int promptTop() const { return kBandHeight + outputHeight_; }

    void copyCell(int glyph, int column) {
        xcb_copy_area(c_, glyphs_, window_, gc_, int16_t(glyph * kCellWidth), 0, int16_t(column * kCellWidth),
                      int16_t(promptTop()), kCellWidth, kCellHeight);
    }

    // A command's output: the next page over the lines above the prompt, and a new prompt.
    void showPage() {
        xcb_copy_area(c_, pages_, window_, gc_, 0, int16_t(page_ * outputHeight_), 0, kBandHeight, uint16_t(width_),
                      uint16_t(outputHeight_));
        setForeground(kBackground);
        const xcb_rectangle_t line{0, int16_t(promptTop()), uint16_t(width_), kCellHeight};
        xcb_poly_fill_rectangle(c_, window_, gc_, 1, &line);
        copyCell(kTypedGlyphs, 0);
        column_ = kPromptColumns;
        copyCell(kTypedGlyphs + 1, column_);
        drawCounter();
    }

    void drawCounter() {
        const int blockWidth = width_ / kBits;
        std::vector<xcb_rectangle_t> ones, zeros;
        for (int bit = 0; bit < kBits; ++bit) {
            xcb_rectangle_t block{int16_t(bit * blockWidth), 0, uint16_t(blockWidth), uint16_t(kBandHeight)};
            ((counter_ >> bit) & 1 ? ones : zeros).push_back(block);
        }
        for (auto [pixel, blocks] : {std::pair{screen_->white_pixel, &ones}, std::pair{screen_->black_pixel, &zeros}}) {
            if (blocks->empty()) continue;
            setForeground(pixel);
            xcb_poly_fill_rectangle(c_, window_, gc_, uint32_t(blocks->size()), blocks->data());
        }
    }

    void setForeground(uint32_t pixel) { xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &pixel); }

    // A round trip: the change is on the screen before it is reported.
    void sync() {
        xcb_generic_error_t* error = nullptr;
        free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), &error));
        if (error || xcb_connection_has_error(c_)) failed_ = true;
        free(error);
    }

    xcb_connection_t* c_;
    xcb_screen_t* screen_;
    int width_ = 0, height_ = 0, columns_ = 0, rows_ = 0, outputHeight_ = 0;
    xcb_window_t window_ = 0;
    xcb_gcontext_t gc_ = 0;
    xcb_pixmap_t pages_ = 0, glyphs_ = 0;
    int page_ = 0, column_ = kPromptColumns;
    uint32_t counter_ = 0;
    uint32_t random_ = 0x68e31da4u;
    bool failed_ = false;
};

} // namespace

int main(int argc, char** argv) {
    const double keystrokesPerSecond = argc > 1 ? std::atof(argv[1]) : 10;
    const double secondsBetweenScrolls = argc > 2 ? std::atof(argv[2]) : 2;
    if (keystrokesPerSecond <= 0 || secondsBetweenScrolls <= 0) return 2;
    std::signal(SIGTERM, requestStop);
    std::signal(SIGINT, requestStop);

    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "desktop_painter: cannot connect to the X server\n");
        return 1;
    }
    Painter painter(c, xcb_setup_roots_iterator(xcb_get_setup(c)).data);
    painter.start();
    std::printf("0 s %lld 0\n", wallNanoseconds());
    std::fflush(stdout);

    // Keystrokes at k / rate, scrolls half a keystroke interval after each scroll period,
    // so that no two changes fall on the same moment.
    const long long keystrokeInterval = (long long)(1e9 / keystrokesPerSecond);
    const long long scrollInterval = (long long)(1e9 * secondsBetweenScrolls);
    const long long origin = monotonicNanoseconds();
    long long nextKeystroke = origin + keystrokeInterval;
    long long nextScroll = origin + scrollInterval + keystrokeInterval / 2;
    while (!stopRequested && !painter.failed()) {
        const bool scroll = nextScroll < nextKeystroke;
        const long long due = scroll ? nextScroll : nextKeystroke;
        sleepUntil(due);
        if (stopRequested) break;
        if (scroll) {
            painter.scroll();
            nextScroll += scrollInterval;
        } else {
            painter.keystroke();
            nextKeystroke += keystrokeInterval;
        }
        std::printf("%u %c %lld %lld\n", painter.counter(), scroll ? 's' : 'k', wallNanoseconds(),
                    monotonicNanoseconds() - due);
        std::fflush(stdout);
    }
    xcb_disconnect(c);
    return 0;
}
