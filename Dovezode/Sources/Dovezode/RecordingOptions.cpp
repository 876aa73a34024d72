#include "Dovezode/RecordingOptions.h"

namespace Dovezode {

platform::MediaTime frameIntervalOf(const RecordingOptions& options) {
    return platform::MediaTime::make(1, static_cast<int32_t>(options.framesPerSecond));
}

} // namespace Dovezode
