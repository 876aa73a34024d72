#include "Dovezode/RecordingOptions.h"

namespace Dovezode {

RecordingOptions::RecordingOptions(std::filesystem::path destination, std::optional<std::string> targetID,
                                   std::optional<int32_t> excludedProcessID, int64_t framesPerSecond,
                                   std::optional<platform::Rect> cropRect, bool showCursor, bool highlightClicks,
                                   VideoCodec videoCodec, bool losslessAudio, bool recordSystemAudio,
                                   std::optional<std::string> microphoneDeviceID,
                                   std::optional<std::filesystem::path> micDestination,
                                   std::optional<std::filesystem::path> sysDestination,
                                   std::optional<std::string> webcamDeviceID,
                                   std::optional<std::filesystem::path> webcamDestination,
                                   AudioQualityOptions microphoneAudioQuality,
                                   std::optional<WebcamResolution> webcamResolution)
    : destination_(std::move(destination)),
      targetID_(std::move(targetID)),
      excludedProcessID_(excludedProcessID),
      framesPerSecond_(framesPerSecond),
      cropRect_(cropRect),
      showCursor_(showCursor),
      highlightClicks_(highlightClicks),
      videoCodec_(videoCodec),
      losslessAudio_(losslessAudio),
      recordSystemAudio_(recordSystemAudio),
      microphoneDeviceID_(std::move(microphoneDeviceID)),
      micDestination_(std::move(micDestination)),
      sysDestination_(std::move(sysDestination)),
      webcamDeviceID_(std::move(webcamDeviceID)),
      webcamDestination_(std::move(webcamDestination)),
      microphoneAudioQuality_(microphoneAudioQuality),
      webcamResolution_(webcamResolution) {}

} // namespace Dovezode
