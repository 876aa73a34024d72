#pragma once
// Encodes the frames of one video input.
//
// Each frame is held until the next one arrives, so that its packet carries the
// frame's real duration: the file then lasts to the end of the last frame, or to
// the end time the writer sets.
//
// Key frames: at most the settings' key-frame duration (and frame count) apart, whatever
// the rate of the frames, and all of them placed here, so none comes a frame or two
// after another. A frame after which the next would come too late is made one; where
// the frames themselves are further apart (a still screen sends none), the held picture
// is sent again a key-frame interval later to carry the next one.
//
// No two frames are closer than half a frame interval: a picture that comes sooner
// after the held one replaces it.

#include "writer/frame_converter.h"
#include "writer/track_encoder.h"

#include "platform/asset_writer.h"

#include <map>
#include <memory>
#include <optional>

namespace platform::linux_backend {

class VideoEncoder final : public TrackEncoder {
public:
    // Opens the codec for the settings and the pixel format of the first frame.
    // Throws PlatformError.
    VideoEncoder(const VideoSettings& settings, FourCharCode sourcePixelFormat, bool globalHeader, PacketSink sink);

    const AVCodecContext* context() const override { return context_.get(); }
    // Where packets go from now on; for an encoder opened before its track was known.
    // Set before the first frame.
    void setSink(PacketSink sink) { sink_ = std::move(sink); }
    // Writes the encoder's own pictures once, so that the system backs their memory
    // now rather than while the first frames are converted. Changes nothing encoded.
    void backPictureMemory();
    uint32_t codecTag() const override { return codecTag_; }

    // `pts` in the codec's time base (1/kVideoTimescale), increasing; `duration`
    // is the sample's own duration in that time base, 0 when it has none.
    void append(const PixelBuffer& frame, int64_t pts, int64_t duration) {
        take(frame, pts, duration);
        encodeTaken();
    }
    // append() in two steps: take() converts the frame into the encoder's own picture,
    // after which the frame's memory is no longer read and may go back to its producer
    // while encodeTaken() encodes.
    void take(const PixelBuffer& frame, int64_t pts, int64_t duration);
    // take() for a frame already converted to the encoder's picture format and size.
    void takeConverted(const AVFrame& picture, int64_t pts, int64_t duration);
    // The picture take() or takeConverted() made, until encodeTaken(); null when none waits.
    const AVFrame* taken() const { return hasIncoming_ ? incoming_.get() : nullptr; }
    void encodeTaken();
    // The end of the track, in the codec's time base: the last frame lasts until it.
    void setEnd(int64_t endPts) { end_ = endPts; }
    void finish() override;

private:
    // Before a picture is overwritten whole: the codec may still refer to the frame's
    // pixels (frame-threaded encoders read them on their own threads later); the frame
    // then takes a new picture, whose pixels are left as they come.
    static void makeWritable(AVFrame* frame);
    // Converts `frame` into the incoming picture, only its changed rows where it says
    // what changed since the held picture.
    void convertIncoming(const PixelBuffer& frame);
    // Sends the held picture, lasting until `next`, and copies of it where the key-frame
    // interval needs them.
    void sendHeldUntil(int64_t next);
    // Sends the held picture lasting `duration`, a key frame where the rule needs one.
    void sendHeld(int64_t duration);
    int64_t minimumSpacing() const { return nominalFrameDuration_ / 2; }
    void send(const AVFrame* frame);

    std::unique_ptr<AVCodecContext, CodecContextDeleter> context_;
    std::unique_ptr<FrameConverter> converter_;
    std::unique_ptr<AVFrame, FrameDeleter> held_;
    std::unique_ptr<AVFrame, FrameDeleter> spare_;     // a copy of the held picture, for repeats
    std::unique_ptr<AVFrame, FrameDeleter> incoming_;  // the picture take() converted
    bool hasIncoming_ = false;
    int64_t incomingDuration_ = 0;
    uint64_t incomingPicture_ = 0;  // the producer's number of the picture converted, 0: unknown
    uint64_t heldPicture_ = 0;
    std::unique_ptr<AVPacket, PacketDeleter> packet_;
    bool hasHeld_ = false;
    int64_t heldOwnDuration_ = 0;
    int64_t lastInterval_ = 0;
    int64_t nominalFrameDuration_;
    std::map<int64_t, int64_t> durationByPts_;  // frames sent, packets not yet out
    int64_t keyInterval_ = 0;                   // in the time base; 0: no bound in time (the encoder's own keys)
    int keyFrameCount_ = 0;                     // with keyInterval_: at most this many frames apart, 0 for no bound
    int framesSinceKey_ = 0;                    // frames sent after the latest key frame
    std::optional<int64_t> lastKeyPts_;         // the latest key frame asked for or seen
    std::optional<int64_t> end_;
    uint32_t codecTag_ = 0;
    PacketSink sink_;
};

} // namespace platform::linux_backend
