#include "pulse/pulse_sources.h"

#include "common/utf8_text.h"
#include "pulse/pulse_logging.h"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <memory>

namespace platform::linux_backend {
namespace {

constexpr auto kServerTimeout = std::chrono::seconds(5);

struct Listing {
    bool done = false;
    bool failed = false;
    std::vector<CaptureDevice> microphones;
};

std::string property(const pa_proplist* properties, const char* key) {
    const char* value = properties ? pa_proplist_gets(properties, key) : nullptr;
    return value ? validUtf8(value) : std::string();
}

CaptureDevice microphone(const pa_source_info& source) {
    CaptureDevice device;
    device.uniqueID = validUtf8(source.name ? source.name : "");
    device.localizedName = validUtf8(source.description ? source.description : "");
    device.manufacturer = property(source.proplist, PA_PROP_DEVICE_VENDOR_NAME);
    device.modelID = property(source.proplist, PA_PROP_DEVICE_PRODUCT_NAME);
    // PulseAudio puts every microphone, built in or plugged in, behind one kind of source.
    device.deviceType = CaptureDeviceType::microphone;
    device.mediaTypes = {MediaType::audio};
    // A PulseAudio source that is idle-suspended is still ready for use: not a suspended device.
    device.connected = true;
    device.suspended = false;
    device.formats = {CaptureDeviceFormat{uint32_t(source.channel_map.channels), std::nullopt}};
    device.activeFormat = 0;
    return device;
}

void onSource(pa_context*, const pa_source_info* source, int endOfList, void* userdata) {
    auto* listing = static_cast<Listing*>(userdata);
    if (endOfList < 0) {
        listing->failed = true;
        listing->done = true;
        return;
    }
    if (endOfList > 0) {
        listing->done = true;
        return;
    }
    if (source->monitor_of_sink != PA_INVALID_INDEX) return;
    listing->microphones.push_back(microphone(*source));
}

struct MainLoop {
    pa_mainloop* loop = pa_mainloop_new();
    ~MainLoop() {
        if (loop) pa_mainloop_free(loop);
    }
};

struct Context {
    pa_context* context;
    explicit Context(pa_mainloop* loop) : context(pa_context_new(pa_mainloop_get_api(loop), "capture-device listing")) {}
    ~Context() {
        if (!context) return;
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};

// Runs the loop until the condition holds or the deadline passes; false on timeout or loop failure.
template <class Condition>
bool runUntil(pa_mainloop* loop, std::chrono::steady_clock::time_point deadline, Condition condition) {
    while (!condition()) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (pa_mainloop_prepare(loop, static_cast<int>(left.count())) < 0) return false;
        if (pa_mainloop_poll(loop) < 0) return false;
        if (pa_mainloop_dispatch(loop) < 0) return false;
    }
    return true;
}

} // namespace

std::vector<CaptureDevice> listPulseMicrophones() {
    keepLibpulseOffStandardError();
    MainLoop mainLoop;
    if (!mainLoop.loop) return {};
    Context context(mainLoop.loop);
    if (!context.context) return {};
    if (pa_context_connect(context.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return {};

    auto deadline = std::chrono::steady_clock::now() + kServerTimeout;
    auto settled = [&] {
        auto state = pa_context_get_state(context.context);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    };
    if (!runUntil(mainLoop.loop, deadline, settled) || pa_context_get_state(context.context) != PA_CONTEXT_READY) return {};

    Listing listing;
    auto operation = std::unique_ptr<pa_operation, decltype(&pa_operation_unref)>(
        pa_context_get_source_info_list(context.context, onSource, &listing), &pa_operation_unref);
    if (!operation) return {};
    bool finished = runUntil(mainLoop.loop, deadline, [&] { return listing.done; });
    if (!finished) {
        pa_operation_cancel(operation.get());
        return {};
    }
    if (listing.failed) return {};
    return std::move(listing.microphones);
}

} // namespace platform::linux_backend
