#pragma once
// What the writer needs of one track's encoder: its opened codec context and
// the packets it makes, handed to a sink in the codec's time base.

#include <functional>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace platform::linux_backend {

using PacketSink = std::function<void(AVPacket* packet)>;

class TrackEncoder {
public:
    virtual ~TrackEncoder() = default;
    virtual const AVCodecContext* context() const = 0;
    // The stream tag the muxer should write, 0 for its default.
    virtual uint32_t codecTag() const { return 0; }
    // Encodes what is still held and drains the codec. Throws PlatformError.
    virtual void finish() = 0;
};

// Owning pointers for FFmpeg objects.
struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

} // namespace platform::linux_backend
