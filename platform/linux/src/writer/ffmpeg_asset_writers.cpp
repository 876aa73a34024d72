#include "platform/linux/ffmpeg_asset_writers.h"

#include "writer/ffmpeg_asset_writer.h"
#include "writer/ffmpeg_asset_writer_input.h"

#include <mutex>
#include <stdexcept>

extern "C" {
#include <libavutil/log.h>
}

namespace platform::linux_backend {

namespace {

class FfmpegAssetWriters final : public AssetWriters {
public:
    explicit FfmpegAssetWriters(FfmpegAssetWriterOptions options) : options_(std::move(options)) {
        // The program speaks only through its events: FFmpeg and the encoders stay silent.
        static std::once_flag quiet;
        std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });
    }

    std::shared_ptr<AssetWriter> makeWriter(const std::string& path, FileType fileType) override {
        return FfmpegAssetWriter::create(path, fileType, options_);
    }

    std::shared_ptr<AssetWriterInput> makeInput(MediaType mediaType, OutputSettings settings) override {
        const bool fits = (mediaType == MediaType::audio && std::holds_alternative<AudioSettings>(settings)) ||
                          (mediaType == MediaType::video && std::holds_alternative<VideoSettings>(settings));
        if (!fits) throw std::invalid_argument("The output settings do not fit the media type");
        return std::make_shared<FfmpegAssetWriterInput>(mediaType, std::move(settings));
    }

private:
    const FfmpegAssetWriterOptions options_;
};

} // namespace

std::shared_ptr<AssetWriters> makeFfmpegAssetWriters(FfmpegAssetWriterOptions options) {
    return std::make_shared<FfmpegAssetWriters>(std::move(options));
}

} // namespace platform::linux_backend
