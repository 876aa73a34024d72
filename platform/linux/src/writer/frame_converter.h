#pragma once
// Converts captured frames (BGRA or packed 10-bit RGB) into the encoder's
// pixel format, with BT.709 coefficients.

#include "platform/sample_buffer.h"

#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

struct SwsContext;

namespace platform::linux_backend {

class FrameConverter {
public:
    // Throws PlatformError for a source format it cannot read.
    FrameConverter(FourCharCode sourceFormat, int width, int height, AVPixelFormat target);
    ~FrameConverter();
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // Writes the top-left width x height pixels of `source` into `frame`, which
    // has the target format and size. The source must be at least that large.
    void convert(const PixelBuffer& source, AVFrame* frame);
    // convert() for a source that differs from the picture `previous` was converted from
    // only in `rows` (in order, not overlapping): those rows are converted, the others
    // copied from `previous`. The 4:2:0 chroma of a pair of rows comes from both, so
    // each span widens to even rows.
    void convertChanged(const PixelBuffer& source, const std::vector<RowSpan>& rows, const AVFrame& previous,
                        AVFrame* frame);

private:
    // Throws PlatformError for a source smaller than the target or of another format.
    void checkSource(const PixelBuffer& source) const;
    void convertToI420(const PixelBuffer& source, AVFrame* frame);

    FourCharCode sourceFormat_;
    int width_;
    int height_;
    SwsContext* scaler_ = nullptr;  // only for targets the I420 kernel does not cover
    std::vector<uint8_t> bgraScratch_;  // packed 10-bit frames repacked to BGRA
};

} // namespace platform::linux_backend
