#pragma once
// Encodes the samples of one audio input (AAC or Apple Lossless), converting
// sample format, rate and channels from whatever the sample buffers carry, and
// placing each buffer at its presentation time: a gap becomes silence, an
// overlap is trimmed, so the file stays aligned with the other files recorded
// beside it however far the source's clock drifts.

#include "writer/track_encoder.h"

#include "platform/asset_writer.h"

#include <map>
#include <memory>
#include <optional>

struct SwrContext;
struct AVAudioFifo;

namespace platform::linux_backend {

class AudioEncoder final : public TrackEncoder {
public:
    // Throws PlatformError when the codec cannot be opened with the settings.
    AudioEncoder(const AudioSettings& settings, bool globalHeader, PacketSink sink);
    ~AudioEncoder() override;

    const AVCodecContext* context() const override { return context_.get(); }

    // `position`: where the buffer's first sample belongs, in samples of the output
    // rate from the session start (negative: it starts before the session).
    void append(const SampleBuffer& sample, int64_t position);
    void finish() override;

    // Drift smaller than this is left alone, so that timestamp jitter does not
    // chop the sound; larger drift is corrected by silence or trimming.
    int64_t driftTolerance() const;

private:
    void configureResampler(const AudioStreamDescription& description);
    void place(uint8_t** data, int count, int64_t position);
    void pushSilence(int64_t count);
    void encodeFullFrames(bool includePartial);
    void send(const AVFrame* frame);

    std::unique_ptr<AVCodecContext, CodecContextDeleter> context_;
    std::unique_ptr<AVFrame, FrameDeleter> frame_;
    std::unique_ptr<AVPacket, PacketDeleter> packet_;
    SwrContext* resampler_ = nullptr;
    std::optional<AudioStreamDescription> resamplerInput_;
    AVAudioFifo* fifo_ = nullptr;
    uint8_t** converted_ = nullptr;  // resampler output, planes of the codec's format
    int convertedCapacity_ = 0;
    int64_t timelineLength_ = 0;  // samples placed so far (silence included)
    int64_t samplesSent_ = 0;     // samples handed to the codec
    bool correcting_ = false;     // an overlap is being trimmed across buffers
    std::map<int64_t, int64_t> durationByPts_;
    PacketSink sink_;
};

} // namespace platform::linux_backend
