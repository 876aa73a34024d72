#include "writer/bgra_to_yuv.h"

namespace platform::linux_backend {

namespace {

// An AVX2 clone of each row function, chosen when the program loads. Under
// ThreadSanitizer the chooser would be instrumented and run before the sanitizer
// has started, crashing every program at load, so that build keeps one version.
#if defined(__SANITIZE_THREAD__)
#define KALVESTA_ROW_CLONES
#else
#define KALVESTA_ROW_CLONES __attribute__((target_clones("avx2", "default")))
#endif

// BT.709 limited range, coefficients scaled by 256:
//   Y  =  16 + ( 47 R + 157 G +  16 B) / 256
//   Cb = 128 + (-26 R -  87 G + 113 B) / 256
//   Cr = 128 + (112 R - 102 G -  10 B) / 256
// The Y sum stays below 65536, so it fits 16-bit lanes; chroma works on the
// average of each 2x2 block, which keeps its sums within signed 16 bits.

KALVESTA_ROW_CLONES
void lumaRow(const uint8_t* __restrict bgra, uint8_t* __restrict y, int width) {
    for (int x = 0; x < width; ++x) {
        const uint16_t b = bgra[4 * x], g = bgra[4 * x + 1], r = bgra[4 * x + 2];
        y[x] = static_cast<uint8_t>(static_cast<uint16_t>(47 * r + 157 * g + 16 * b + (16 << 8) + 128) >> 8);
    }
}

KALVESTA_ROW_CLONES
void chromaRow(const uint8_t* __restrict row0, const uint8_t* __restrict row1, uint8_t* __restrict u,
               uint8_t* __restrict v, int halfWidth) {
    for (int x = 0; x < halfWidth; ++x) {
        const uint8_t* a = row0 + 8 * x;
        const uint8_t* c = row1 + 8 * x;
        const auto b = static_cast<int16_t>((a[0] + a[4] + c[0] + c[4] + 2) >> 2);
        const auto g = static_cast<int16_t>((a[1] + a[5] + c[1] + c[5] + 2) >> 2);
        const auto r = static_cast<int16_t>((a[2] + a[6] + c[2] + c[6] + 2) >> 2);
        u[x] = static_cast<uint8_t>((static_cast<int16_t>(-26 * r - 87 * g + 113 * b + 128) >> 8) + 128);
        v[x] = static_cast<uint8_t>((static_cast<int16_t>(112 * r - 102 * g - 10 * b + 128) >> 8) + 128);
    }
}

} // namespace

void bgraToI420Bt709(const uint8_t* bgra, size_t bgraStride, int width, int height, const I420Planes& out) {
    for (int row = 0; row + 1 < height; row += 2) {
        const uint8_t* row0 = bgra + static_cast<size_t>(row) * bgraStride;
        const uint8_t* row1 = row0 + bgraStride;
        lumaRow(row0, out.y + static_cast<size_t>(row) * out.yStride, width);
        lumaRow(row1, out.y + static_cast<size_t>(row + 1) * out.yStride, width);
        chromaRow(row0, row1, out.u + static_cast<size_t>(row / 2) * out.uStride,
                  out.v + static_cast<size_t>(row / 2) * out.vStride, width / 2);
    }
}

} // namespace platform::linux_backend
