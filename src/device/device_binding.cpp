// The lumbra Node-API plug-in: thirteen JavaScript functions over the ios_ core,
// and five thread-safe channels that carry the core's callbacks to JavaScript.

#include "plugin_support.h"

#include "Lumbra/device.h"

#include <napi.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

namespace {

// An exception thrown by a host's callback reaches the host as an uncaught
// exception (its 'uncaughtException' handlers, or the end of the process), as a
// callback of its own event loop would: left pending here, Node would only warn
// and drop it, hiding the host's bug.
void raiseUncaught(napi_env env) {
    bool pending = false;
    if (napi_is_exception_pending(env, &pending) != napi_ok || !pending) return;
    napi_value error = nullptr;
    if (napi_get_and_clear_last_exception(env, &error) != napi_ok) return;
    napi_fatal_exception(env, error);
}

// A queued call's text; null for the started channel, which carries nothing.
// The call goes straight through Node-API: when the environment is stopping (a
// worker calling process.exit() inside a callback) the failed call must not be
// turned into an exception object, which would be fatal there; such a call
// leaves no exception pending.
void CallJs(Napi::Env env, Napi::Function callback, void* /*context*/, std::string* data) {
    std::unique_ptr<std::string> text(data);
    // Without an environment the channel is being torn down: only the copy is released.
    if (env == nullptr || callback.IsEmpty()) return;
    napi_value undefined = nullptr;
    if (napi_get_undefined(env, &undefined) != napi_ok) return;
    napi_value argument = nullptr;
    size_t argumentCount = 0;
    if (text) {
        if (napi_create_string_utf8(env, text->data(), text->size(), &argument) != napi_ok) return;
        argumentCount = 1;
    }
    if (napi_call_function(env, undefined, callback, argumentCount, &argument, nullptr) != napi_ok) raiseUncaught(env);
}

using ChannelFunction = Napi::TypedThreadSafeFunction<void, std::string, CallJs>;

struct ChannelSlot;

struct Channel {
    ChannelFunction function;
    ChannelSlot* slot;
};

// One process-wide channel slot. Its lock is held while a call is queued, while
// the channel is replaced and when the host finalises it (at release or at the
// teardown of its environment), so a channel is never used after it is gone.
struct ChannelSlot {
    ChannelSlot(const char* resourceName, bool blocking) : resourceName(resourceName), blocking(blocking) {}
    const char* resourceName;
    bool blocking;
    std::mutex mutex;  // guards current
    Channel* current = nullptr;
};

ChannelSlot tsConnectedCallback{"DeviceConnectedCallback", true};
ChannelSlot tsDisconnectedCallback{"DeviceDisconnectedCallback", true};
ChannelSlot tsRecordingStartedCallback{"RecordingStartedCallback", false};
ChannelSlot tsRecordingStoppedCallback{"RecordingStoppedCallback", false};
ChannelSlot tsRecordingErrorCallback{"RecordingErrorCallback", false};

// With an unlimited queue neither mode waits. A call that cannot be queued is dropped.
void queueCall(ChannelSlot& slot, std::unique_ptr<std::string> data) {
    std::lock_guard lock(slot.mutex);
    if (!slot.current) return;
    napi_status status = slot.blocking ? slot.current->function.BlockingCall(data.get())
                                       : slot.current->function.NonBlockingCall(data.get());
    if (status == napi_ok) data.release();
}

void queueText(ChannelSlot& slot, const char* text, const char* whenNull) {
    {
        std::lock_guard lock(slot.mutex);
        if (!slot.current) return;
    }
    queueCall(slot, std::make_unique<std::string>(text ? text : whenNull));
}

extern "C" void OnDeviceConnectedC(const char* deviceId) { queueText(tsConnectedCallback, deviceId, ""); }
extern "C" void OnDeviceDisconnectedC(const char* deviceId) { queueText(tsDisconnectedCallback, deviceId, ""); }
extern "C" void OnRecordingStartedC() { queueCall(tsRecordingStartedCallback, nullptr); }
extern "C" void OnRecordingStoppedC(const char* path) { queueText(tsRecordingStoppedCallback, path, ""); }
extern "C" void OnRecordingErrorC(const char* message) {
    queueText(tsRecordingErrorCallback, message, "Unknown error");
}

void finalizeChannel(Napi::Env, Channel* channel, void*) {
    {
        std::lock_guard lock(channel->slot->mutex);
        if (channel->slot->current == channel) channel->slot->current = nullptr;
    }
    delete channel;
}

// Fills the slot with a new channel for the function and releases the old one.
// The new channel is made first and swapped in under the lock, so every event
// finds one of the two: those queued before the swap still reach the old
// function (a release lets its queue drain), later ones the new.
void replaceChannel(Napi::Env env, ChannelSlot& slot, const Napi::Function& function) {
    auto* channel = new Channel{ChannelFunction(), &slot};
    channel->function = ChannelFunction::New(env, function, slot.resourceName, 0, 1, nullptr, finalizeChannel, channel);
    if (env.IsExceptionPending() || channel->function == nullptr) {
        // The pending exception reports the failure; the slot is left empty.
        delete channel;
        channel = nullptr;
    }
    Channel* old = nullptr;
    {
        std::lock_guard lock(slot.mutex);
        old = slot.current;
        slot.current = channel;
    }
    if (old) old->function.Release();
}

bool isString(const Napi::CallbackInfo& info, size_t index) {
    return info.Length() > index && info[index].IsString();
}

// The core takes NUL-terminated texts: one holding a NUL would reach it cut
// short, naming another device or file. It names none.
bool holdsNul(const std::string& text) { return text.find('\0') != std::string::npos; }

Napi::Value throwTypeError(Napi::Env env, const char* message, Napi::Value result) {
    Napi::TypeError::New(env, message).ThrowAsJavaScriptException();
    return result;
}

template <typename Setter, typename CFunction>
Napi::Value registerChannel(const Napi::CallbackInfo& info, ChannelSlot& slot, Setter setter, CFunction cFunction) {
    Napi::Env env = info.Env();
    if (info.Length() < 1 || !info[0].IsFunction()) return throwTypeError(env, "Function expected", env.Undefined());
    replaceChannel(env, slot, info[0].As<Napi::Function>());
    setter(cFunction);
    return env.Undefined();
}

Napi::Value stringOrNull(Napi::Env env, const char* text) {
    return text ? Napi::Value(Napi::String::New(env, text)) : env.Null();
}

Napi::Value ListIOSDevices(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    int32_t count = 0;
    char** ids = ios_list_devices(&count);
    Napi::Array devices = Napi::Array::New(env, count > 0 ? static_cast<size_t>(count) : 0);
    for (int32_t i = 0; ids && i < count; ++i) {
        if (!ids[i]) continue;
        char* name = nullptr;
        char* model = nullptr;
        ios_get_device_info(ids[i], &name, &model);
        bool trusted = ios_is_device_trusted(ids[i]);
        Napi::Object device = Napi::Object::New(env);
        device.Set("deviceId", Napi::String::New(env, ids[i]));
        device.Set("name", stringOrNull(env, name));
        device.Set("model", stringOrNull(env, model));
        device.Set("trusted", Napi::Boolean::New(env, trusted));
        devices.Set(static_cast<uint32_t>(i), device);
        std::free(name);
        std::free(model);
    }
    if (ids) ios_free_device_list(ids, count);
    return devices;
}

Napi::Value GetDeviceInfo(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    if (!isString(info, 0)) return throwTypeError(env, "Device ID string expected", env.Null());
    std::string deviceId = info[0].As<Napi::String>().Utf8Value();
    char* name = nullptr;
    char* model = nullptr;
    if (holdsNul(deviceId) || !ios_get_device_info(deviceId.c_str(), &name, &model)) return env.Null();
    Napi::Object device = Napi::Object::New(env);
    device.Set("deviceId", Napi::String::New(env, deviceId));
    device.Set("name", stringOrNull(env, name));
    device.Set("model", stringOrNull(env, model));
    std::free(name);
    std::free(model);
    return device;
}

Napi::Value IsDeviceTrusted(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    if (!isString(info, 0)) return throwTypeError(env, "Device ID string expected", env.Null());
    std::string deviceId = info[0].As<Napi::String>().Utf8Value();
    return Napi::Boolean::New(env, !holdsNul(deviceId) && ios_is_device_trusted(deviceId.c_str()));
}

Napi::Value OnDeviceConnected(const Napi::CallbackInfo& info) {
    return registerChannel(info, tsConnectedCallback, ios_set_device_connected_callback, OnDeviceConnectedC);
}

Napi::Value OnDeviceDisconnected(const Napi::CallbackInfo& info) {
    return registerChannel(info, tsDisconnectedCallback, ios_set_device_disconnected_callback, OnDeviceDisconnectedC);
}

Napi::Value StartIOSRecording(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    if (!isString(info, 0) || !isString(info, 1)) {
        return throwTypeError(env, "deviceId and outputPath strings expected", Napi::Boolean::New(env, false));
    }
    std::string deviceId = info[0].As<Napi::String>().Utf8Value();
    std::string outputPath = info[1].As<Napi::String>().Utf8Value();
    if (holdsNul(deviceId) || holdsNul(outputPath)) {
        // As for an ID no device has: the error goes to the error channel, the whole ID in it.
        queueCall(tsRecordingErrorCallback, std::make_unique<std::string>("Device not found: " + deviceId));
        return Napi::Boolean::New(env, false);
    }
    return Napi::Boolean::New(env, ios_start_recording(deviceId.c_str(), outputPath.c_str()));
}

Napi::Value StopIOSRecording(const Napi::CallbackInfo& info) {
    return Napi::Boolean::New(info.Env(), ios_stop_recording());
}

Napi::Value CancelIOSRecording(const Napi::CallbackInfo& info) {
    return Napi::Boolean::New(info.Env(), ios_cancel_recording());
}

Napi::Value IsRecording(const Napi::CallbackInfo& info) { return Napi::Boolean::New(info.Env(), ios_is_recording()); }

Napi::Value OnRecordingStarted(const Napi::CallbackInfo& info) {
    return registerChannel(info, tsRecordingStartedCallback, ios_set_recording_started_callback, OnRecordingStartedC);
}

Napi::Value OnRecordingStopped(const Napi::CallbackInfo& info) {
    return registerChannel(info, tsRecordingStoppedCallback, ios_set_recording_stopped_callback, OnRecordingStoppedC);
}

Napi::Value OnRecordingError(const Napi::CallbackInfo& info) {
    return registerChannel(info, tsRecordingErrorCallback, ios_set_recording_error_callback, OnRecordingErrorC);
}

Napi::Value ListAllDevices(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    char* json = ios_list_all_devices();
    if (!json) {
        Napi::Object empty = Napi::Object::New(env);
        empty.Set("webcams", Napi::Array::New(env));
        empty.Set("audios", Napi::Array::New(env));
        return empty;
    }
    std::string text(json);
    ios_free_string(json);
    // Whatever the host has installed as JSON.parse at this moment.
    Napi::Value jsonObject = env.Global().Get("JSON");
    if (env.IsExceptionPending()) return Napi::Value();
    Napi::Value parse = jsonObject.As<Napi::Object>().Get("parse");
    if (env.IsExceptionPending()) return Napi::Value();
    return parse.As<Napi::Function>().Call(jsonObject, {Napi::String::New(env, text)});
}

// Set when the plug-in is loaded, also by a plain dlopen without Node: the core
// installs the platform on its first use, so its C functions answer before Init.
struct PlatformOnFirstUse {
    PlatformOnFirstUse() { Lumbra::setPlatformInstaller(lumbra_binding::installPlatform); }
} platformOnFirstUse;

void releaseMainQueueOfEnvironment(void*) { lumbra_binding::releaseMainQueue(); }

Napi::Object Init(Napi::Env env, Napi::Object exports) {
    lumbra_binding::installPlatform();
    lumbra_binding::retainMainQueue();
    napi_add_env_cleanup_hook(env, releaseMainQueueOfEnvironment, nullptr);
    ios_init_device_monitoring();
    exports.Set("listIOSDevices", Napi::Function::New(env, ListIOSDevices));
    exports.Set("getDeviceInfo", Napi::Function::New(env, GetDeviceInfo));
    exports.Set("isDeviceTrusted", Napi::Function::New(env, IsDeviceTrusted));
    exports.Set("onDeviceConnected", Napi::Function::New(env, OnDeviceConnected));
    exports.Set("onDeviceDisconnected", Napi::Function::New(env, OnDeviceDisconnected));
    exports.Set("startIOSRecording", Napi::Function::New(env, StartIOSRecording));
    exports.Set("stopIOSRecording", Napi::Function::New(env, StopIOSRecording));
    exports.Set("cancelIOSRecording", Napi::Function::New(env, CancelIOSRecording));
    exports.Set("isRecording", Napi::Function::New(env, IsRecording));
    exports.Set("onRecordingStarted", Napi::Function::New(env, OnRecordingStarted));
    exports.Set("onRecordingStopped", Napi::Function::New(env, OnRecordingStopped));
    exports.Set("onRecordingError", Napi::Function::New(env, OnRecordingError));
    exports.Set("listAllDevices", Napi::Function::New(env, ListAllDevices));
    lumbra_binding::addTestControls(env, exports);
    return exports;
}

} // namespace

extern "C" {

NAPI_MODULE_EXPORT int32_t node_api_module_get_api_version_v1(void) { return 8; }

NAPI_MODULE_EXPORT napi_value napi_register_module_v1(napi_env env, napi_value exports) {
    return Napi::RegisterModule(env, exports, Init);
}

} // extern "C"
