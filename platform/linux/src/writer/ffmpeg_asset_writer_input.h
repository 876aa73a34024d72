#pragma once
// An input of the FFmpeg writer: its settings, and the link to the writer that
// owns its queue once it has been added.

#include "platform/asset_writer.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace platform::linux_backend {

class FfmpegAssetWriter;

class FfmpegAssetWriterInput final : public AssetWriterInput {
public:
    FfmpegAssetWriterInput(MediaType mediaType, OutputSettings settings)
        : mediaType_(mediaType), settings_(std::move(settings)) {}

    MediaType mediaType() const override { return mediaType_; }
    const OutputSettings& outputSettings() const override { return settings_; }
    void setExpectsMediaDataInRealTime(bool realTime) override { realTime_ = realTime; }
    bool expectsMediaDataInRealTime() const override { return realTime_; }
    bool isReadyForMoreMediaData() const override;
    bool append(const SampleBufferRef& sample) override;
    void markAsFinished() override;

    // Links the input to its writer; false when it already belongs to one.
    bool attach(const std::shared_ptr<FfmpegAssetWriter>& writer, size_t index);
    bool isAttached() const;

private:
    std::shared_ptr<FfmpegAssetWriter> writer() const;

    const MediaType mediaType_;
    const OutputSettings settings_;
    std::atomic<bool> realTime_{false};
    mutable std::mutex mutex_;  // guards writer_ and index_, set once by attach
    std::weak_ptr<FfmpegAssetWriter> writer_;
    size_t index_ = 0;
};

} // namespace platform::linux_backend
