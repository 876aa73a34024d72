#pragma once
// The asset a container holds: its duration and its audio and video tracks.

#include "platform/media_asset.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdint>

namespace platform::linux_backend {

class BudgetedFile;

// The mov family usually states every fact read here in its header (a
// fragmented file does not); then the first packets need not be read and
// decoded to learn the streams.
bool headerStatesEverything(const AVFormatContext& context);

// Reads the asset from an opened container. Bit rates the container does not
// state are measured from at most `bitRateBudgetBytes` of packets of `file`.
MediaAsset makeAsset(AVFormatContext& context, const BudgetedFile& file, int64_t bitRateBudgetBytes);

} // namespace platform::linux_backend
