#pragma once
// What a stream's coding is called and how its samples are laid out, as the
// container and libavformat describe them.

#include "platform/media_asset.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <memory>

namespace platform::linux_backend {

// QuickTime, mp4 and their kin, whose sample entries carry four-character codes.
bool isMovFamily(const AVFormatContext& context);

// The four-character code of the stream's coding: the sample entry's own code
// where the container has one, else the QuickTime code of the codec.
FourCharCode mediaSubtype(const AVFormatContext& context, const AVCodecParameters& codec);

std::shared_ptr<const FormatDescription> formatDescription(const AVFormatContext& context, const AVStream& stream,
                                                           FourCharCode subtype);

} // namespace platform::linux_backend
