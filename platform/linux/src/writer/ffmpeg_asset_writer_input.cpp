#include "writer/ffmpeg_asset_writer_input.h"

#include "writer/ffmpeg_asset_writer.h"

namespace platform::linux_backend {

bool FfmpegAssetWriterInput::attach(const std::shared_ptr<FfmpegAssetWriter>& writer, size_t index) {
    std::lock_guard lock(mutex_);
    if (!writer_.expired()) return false;
    writer_ = writer;
    index_ = index;
    return true;
}

bool FfmpegAssetWriterInput::isAttached() const {
    std::lock_guard lock(mutex_);
    return !writer_.expired();
}

std::shared_ptr<FfmpegAssetWriter> FfmpegAssetWriterInput::writer() const {
    std::lock_guard lock(mutex_);
    return writer_.lock();
}

bool FfmpegAssetWriterInput::isReadyForMoreMediaData() const {
    const auto owner = writer();
    return owner && owner->inputIsReady(index_);
}

bool FfmpegAssetWriterInput::append(const SampleBufferRef& sample) {
    const auto owner = writer();
    return owner && owner->appendToInput(index_, sample);
}

void FfmpegAssetWriterInput::markAsFinished() {
    if (const auto owner = writer()) owner->finishInput(index_);
}

} // namespace platform::linux_backend
