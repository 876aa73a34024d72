// Paints the whole X screen anew every tick until it is terminated: a page of
// text-like marks scrolling a few rows a tick, and along the top edge the tick
// number in 32 black or white blocks (bit 0 on the left), so that a recording
// can be checked frame by frame for repeated and skipped pictures.
// On SIGUSR1 it prints one line about the ticks since the last such line:
//   ticks <painted> late <finished over one tick interval after their time> worst_ms <latest>
// which tells a painter starved of the processor from a recorder that missed pictures.
// Usage: recording_painter [ticks_per_second]   (default 120); draws on $DISPLAY.
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

constexpr int kScrollRows = 3;
constexpr int kBits = 32;
constexpr int kBandHeight = 40;

volatile std::sig_atomic_t stopRequested = 0;
void requestStop(int) { stopRequested = 1; }
volatile std::sig_atomic_t reportRequested = 0;
void requestReport(int) { reportRequested = 1; }

long long nanosecondsBetween(const timespec& from, const timespec& to) {
    return (to.tv_sec - from.tv_sec) * 1'000'000'000LL + (to.tv_nsec - from.tv_nsec);
}

uint32_t nextRandom(uint32_t& state) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

// Dark "glyphs" of random shapes on a light page, in lines like text, with a few coloured words.
std::vector<uint32_t> pageRow(int y, int width) {
    std::vector<uint32_t> row(size_t(width), 0xf4f4f0);
    const int line = y / 20, inLine = y % 20;
    if (inLine >= 14) return row;
    uint32_t state = 0x9e3779b9u ^ uint32_t(line * 7919);
    for (int x = 0; x < width; x += 9) {
        const uint32_t glyph = nextRandom(state);
        if ((glyph & 31) == 0) { x += 18; continue; }  // a space between words
        const uint32_t ink = (glyph >> 24) < 20 ? 0x2060c0 : 0x202020;
        for (int column = 0; column < 7 && x + column < width; ++column) {
            if ((glyph >> ((inLine / 2) * 3 + column % 3)) & 1) row[size_t(x + column)] = ink;
        }
    }
    return row;
}

void sleepUntil(timespec& deadline, long nanoseconds) {
    deadline.tv_nsec += nanoseconds;
    while (deadline.tv_nsec >= 1'000'000'000) {
        deadline.tv_nsec -= 1'000'000'000;
        ++deadline.tv_sec;
    }
    // A report asked for in the middle of the sleep must not make the next tick early.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR && !stopRequested) {}
}

} // namespace

int main(int argc, char** argv) {
    const int rate = argc > 1 ? std::atoi(argv[1]) : 120;
    if (rate <= 0) return 2;
    std::signal(SIGTERM, requestStop);
    std::signal(SIGINT, requestStop);
    std::signal(SIGUSR1, requestReport);

    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "recording_painter: cannot connect to the X server\n");
        return 1;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const int width = screen->width_in_pixels, height = screen->height_in_pixels;

    // A borderless window over the whole screen, outside any window manager.
    const xcb_window_t window = xcb_generate_id(c);
    const uint32_t windowValues[] = {screen->black_pixel, 1};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, uint16_t(width), uint16_t(height), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, windowValues);
    xcb_map_window(c, window);

    // The page, twice the screen's height, so that any scroll offset shows a full screen.
    const int pageHeight = height * 2;
    const xcb_pixmap_t page = xcb_generate_id(c);
    xcb_create_pixmap(c, screen->root_depth, page, screen->root, uint16_t(width), uint16_t(pageHeight));
    const xcb_gcontext_t gc = xcb_generate_id(c);
    const uint32_t gcValues[] = {0, 0};
    xcb_create_gc(c, gc, page, XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES, gcValues);
    constexpr int kStripRows = 16;  // keeps each request well under the X request size limit
    std::vector<uint32_t> strip;
    for (int top = 0; top < pageHeight; top += kStripRows) {
        const int rows = std::min(kStripRows, pageHeight - top);
        strip.clear();
        for (int y = top; y < top + rows; ++y) {
            const auto row = pageRow(y % height, width);
            strip.insert(strip.end(), row.begin(), row.end());
        }
        xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, page, gc, uint16_t(width), uint16_t(rows), 0, int16_t(top), 0,
                      screen->root_depth, uint32_t(strip.size() * 4), reinterpret_cast<const uint8_t*>(strip.data()));
    }
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));

    const int blockWidth = width / kBits;
    const long interval = 1'000'000'000L / rate;
    long long painted = 0, late = 0, worst = 0;
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    for (uint32_t tick = 0; !stopRequested; ++tick) {
        if (reportRequested) {
            reportRequested = 0;
            std::printf("ticks %lld late %lld worst_ms %.1f\n", painted, late, double(worst) / 1e6);
            std::fflush(stdout);
            painted = late = worst = 0;
        }
        const int offset = int((uint64_t(tick) * kScrollRows) % uint64_t(height));
        xcb_copy_area(c, page, window, gc, 0, int16_t(offset), 0, 0, uint16_t(width), uint16_t(height));
        std::vector<xcb_rectangle_t> ones, zeros;
        for (int bit = 0; bit < kBits; ++bit) {
            xcb_rectangle_t block{int16_t(bit * blockWidth), 0, uint16_t(blockWidth), uint16_t(kBandHeight)};
            ((tick >> bit) & 1 ? ones : zeros).push_back(block);
        }
        for (auto [pixel, blocks] : {std::pair{screen->white_pixel, &ones}, std::pair{screen->black_pixel, &zeros}}) {
            if (blocks->empty()) continue;
            xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &pixel);
            xcb_poly_fill_rectangle(c, window, gc, uint32_t(blocks->size()), blocks->data());
        }
        // A round trip: the tick's drawing is on the screen before the next one starts.
        xcb_generic_error_t* error = nullptr;
        free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), &error));
        if (error || xcb_connection_has_error(c)) {
            free(error);
            break;
        }
        timespec done{};
        clock_gettime(CLOCK_MONOTONIC, &done);
        const long long behind = nanosecondsBetween(deadline, done);
        ++painted;
        if (behind > interval) ++late;
        worst = std::max(worst, behind);
        sleepUntil(deadline, interval);
    }
    xcb_disconnect(c);
    return 0;
}
