#pragma once
// Shared, immutable media samples: timing, format and data.

#include "platform/format_description.h"
#include "platform/media_time.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace platform {

struct SampleTimingInfo {
    MediaTime duration = MediaTime::invalid();
    MediaTime presentationTimeStamp = MediaTime::invalid();
    MediaTime decodeTimeStamp = MediaTime::invalid();
};

// Status a screen stream attaches to each of its frames; `complete` (0) is a
// frame with new content, the others carry no picture worth writing.
enum class FrameStatus { complete = 0, idle = 1, blank = 2, suspended = 3, started = 4, stopped = 5 };

struct PixelPlane {
    const uint8_t* data = nullptr;
    size_t bytesPerRow = 0;
    int32_t width = 0;
    int32_t height = 0;
};

// Rows [begin, end) of a picture.
struct RowSpan {
    int32_t begin = 0;
    int32_t end = 0;
};

// What a producer of successive pictures knows of how one differs from the one before:
// outside `rows` its pixels equal those of the picture numbered `previousPicture`.
// Picture numbers are unique in the process; 0 stands for none.
struct PictureChange {
    uint64_t picture = 0;
    uint64_t previousPicture = 0;
    std::vector<RowSpan> rows;  // in order, not overlapping
};

// A new picture number, unique in the process, never 0.
uint64_t nextPictureNumber();

// Pixels of one video frame. `owner` keeps the memory behind the planes alive.
struct PixelBuffer {
    FourCharCode pixelFormat = 0;
    int32_t width = 0;
    int32_t height = 0;
    std::vector<PixelPlane> planes;
    std::shared_ptr<const void> owner;
    // Absent when the producer does not know what changed.
    std::optional<PictureChange> change;

    // A frame with one tightly packed plane of `bytesPerPixel` bytes a pixel, zero-filled.
    static std::shared_ptr<PixelBuffer> allocate(FourCharCode pixelFormat, int32_t width,
                                                 int32_t height, size_t bytesPerPixel);
    uint8_t* mutablePlane(size_t index) { return const_cast<uint8_t*>(planes.at(index).data); }
};

class SampleBuffer {
public:
    struct Contents {
        // False for a buffer the producer has invalidated.
        bool valid = true;
        bool dataReady = true;
        std::vector<SampleTimingInfo> timing;  // one entry, or one per sample
        int64_t sampleCount = 1;
        std::shared_ptr<const FormatDescription> format;  // may be absent
        // The screen-frame attachment; absent when the producer attaches none.
        std::optional<FrameStatus> frameStatus;
        // Audio: contiguous bytes of all samples. Video: the frame's pixels.
        std::shared_ptr<const std::vector<uint8_t>> audioData;
        std::shared_ptr<const PixelBuffer> pixels;
    };

    explicit SampleBuffer(Contents contents) : contents_(std::move(contents)) {}

    bool isValid() const { return contents_.valid; }
    bool isDataReady() const { return contents_.dataReady; }
    const std::vector<SampleTimingInfo>& timingInfo() const { return contents_.timing; }
    MediaTime presentationTimeStamp() const;
    MediaTime decodeTimeStamp() const;
    // Duration of the whole buffer: the entry's duration times the sample count
    // for a single entry, else the sum of the entries.
    MediaTime duration() const;
    int64_t sampleCount() const { return contents_.sampleCount; }
    const std::shared_ptr<const FormatDescription>& formatDescription() const { return contents_.format; }
    std::optional<FrameStatus> frameStatus() const { return contents_.frameStatus; }
    const std::shared_ptr<const std::vector<uint8_t>>& audioData() const { return contents_.audioData; }
    const std::shared_ptr<const PixelBuffer>& pixels() const { return contents_.pixels; }

    // A new buffer sharing this one's data, format and attachments, with other
    // timing entries. Fails (nullptr) unless there is one entry for the whole
    // buffer or one per sample.
    std::shared_ptr<const SampleBuffer> copyWithTiming(std::vector<SampleTimingInfo> timing) const;

    const Contents& contents() const { return contents_; }

private:
    Contents contents_;
};

using SampleBufferRef = std::shared_ptr<const SampleBuffer>;

} // namespace platform
