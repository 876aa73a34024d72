#pragma once
// Encoder settings of the files of a recording, by codec and options.

#include "Dovezode/RecordingOptions.h"
#include "Dovezode/VideoCodec.h"

#include "platform/asset_writer.h"
#include "platform/format_description.h"

namespace Dovezode {

platform::AudioSettings systemAudioSettings(const RecordingOptions& options);
platform::AudioSettings microphoneSettings(const RecordingOptions& options, int32_t channelCount);

// The main video: the codec's assistant preset of the writers sized to the frame and paced by the
// stream's frame interval where there is one, then the frame's width and height and
// the codec's colour properties.
platform::VideoSettings mainVideoSettings(platform::AssetWriters& writers, VideoCodec codec,
                                          platform::VideoDimensions frame, platform::MediaTime frameInterval);
// The webcam video: codec, the frame's width and height, the codec's colour properties.
platform::VideoSettings webcamVideoSettings(VideoCodec codec, platform::VideoDimensions frame);

} // namespace Dovezode
