// The request objects of "start", "resume" and "preview": decoding, the checks of
// a recording request and its mapping onto the engine's options, as the command
// handlers run them on whatever text follows the command word.

#include "Tavrik/OptionMapping.h"
#include "Tavrik/Requests.h"

#include "platform/fake/fake_platform.h"
#include "platform/platform.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

// The mapping reads the main display's number from it when the request names none.
platform::Platform& fakePlatform() {
    static const std::shared_ptr<platform::Platform> fake = platform::fake::makeFakePlatform();
    return *fake;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    (void)tavrik::decodePreviewConfig(text);
    auto config = tavrik::decodeRecordConfig(text);
    if (!config) return 0;
    for (auto kind : {tavrik::RequestKind::start, tavrik::RequestKind::resume}) {
        auto refusal = tavrik::checkRecordConfig(*config, kind);
        if (refusal) {
            check(!refusal->message.empty());
            check(refusal->code == "ERROR_STARTING" || refusal->code == "INVALID_CONFIG");
            continue;
        }
        auto options = tavrik::recordingOptions(*config, fakePlatform());
        // What the engine relies on: a frame rate it can count in 32 bits, and a crop
        // of finite, non-negative size.
        check(options.framesPerSecond >= 1 && options.framesPerSecond <= INT32_MAX);
        if (const auto& crop = options.cropRect) {
            check(std::isfinite(crop->origin.x) && std::isfinite(crop->origin.y));
            check(std::isfinite(crop->size.width) && crop->size.width >= 0);
            check(std::isfinite(crop->size.height) && crop->size.height >= 0);
        }
        check(options.microphoneDeviceID.has_value() == config->microphoneID.has_value());
    }
    return 0;
}
