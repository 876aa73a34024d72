// The test build of the plug-in: the fake platform, and an extra export "fake"
// whose functions let JavaScript tests decide which devices exist, deliver their
// connections, make a session refuse or fail, and report a movie file's start and finish.

#include "plugin_support.h"

#include "platform/capture_session.h"
#include "platform/fake/fake_capture.h"
#include "platform/fake/fake_devices.h"
#include "platform/fake/fake_platform.h"
#include "platform/queues.h"

#include <chrono>
#include <future>
#include <mutex>

namespace lumbra_binding {
namespace {

// Leaked on purpose: the platform outlives every environment of the process.
platform::fake::FakePlatform& fakePlatform() {
    static auto* instance = new platform::fake::FakePlatform();
    return *instance;
}

platform::Platform& services() { return *fakePlatform().platform(); }

std::string stringMember(const Napi::Object& object, const char* key, const std::string& fallback = {}) {
    Napi::Value value = object.Get(key);
    return value.IsString() ? value.As<Napi::String>().Utf8Value() : fallback;
}

bool boolMember(const Napi::Object& object, const char* key, bool fallback) {
    Napi::Value value = object.Get(key);
    return value.IsBoolean() ? value.As<Napi::Boolean>().Value() : fallback;
}

platform::CaptureDeviceType deviceType(const std::string& name) {
    using platform::CaptureDeviceType;
    if (name == "builtInMicrophone") return CaptureDeviceType::builtInMicrophone;
    if (name == "microphone") return CaptureDeviceType::microphone;
    if (name == "builtInWideAngleCamera") return CaptureDeviceType::builtInWideAngleCamera;
    if (name == "continuityCamera") return CaptureDeviceType::continuityCamera;
    if (name == "externalUnknown") return CaptureDeviceType::externalUnknown;
    return CaptureDeviceType::external;
}

// {id, name, manufacturer, model, media: "muxed"|"video"|"audio", type, connected, suspended}
platform::CaptureDevice deviceFrom(const Napi::Object& object) {
    platform::CaptureDevice device;
    device.uniqueID = stringMember(object, "id");
    device.localizedName = stringMember(object, "name");
    device.manufacturer = stringMember(object, "manufacturer");
    device.modelID = stringMember(object, "model");
    std::string media = stringMember(object, "media", "muxed");
    device.mediaTypes = {media == "video"   ? platform::MediaType::video
                         : media == "audio" ? platform::MediaType::audio
                                            : platform::MediaType::muxed};
    device.deviceType = deviceType(stringMember(object, "type", "external"));
    device.connected = boolMember(object, "connected", true);
    device.suspended = boolMember(object, "suspended", false);
    return device;
}

Napi::Value AddDevice(const Napi::CallbackInfo& info) {
    platform::fake::fakeDevices(services()).addDevice(deviceFrom(info[0].As<Napi::Object>()));
    return info.Env().Undefined();
}

Napi::Value RemoveDevice(const Napi::CallbackInfo& info) {
    bool removed = platform::fake::fakeDevices(services()).removeDevice(info[0].As<Napi::String>().Utf8Value());
    return Napi::Boolean::New(info.Env(), removed);
}

// updateDevice(id, {connected?, suspended?})
Napi::Value UpdateDevice(const Napi::CallbackInfo& info) {
    auto changes = info[1].As<Napi::Object>();
    bool hasConnected = changes.Get("connected").IsBoolean();
    bool hasSuspended = changes.Get("suspended").IsBoolean();
    bool connected = boolMember(changes, "connected", true);
    bool suspended = boolMember(changes, "suspended", false);
    bool updated = platform::fake::fakeDevices(services()).updateDevice(
        info[0].As<Napi::String>().Utf8Value(), [&](platform::CaptureDevice& device) {
            if (hasConnected) device.connected = connected;
            if (hasSuspended) device.suspended = suspended;
        });
    return Napi::Boolean::New(info.Env(), updated);
}

// postConnection(device) and postDisconnection(device): the notification centre's reports.
Napi::Value PostConnection(const Napi::CallbackInfo& info) {
    platform::fake::fakeDeviceNotifications(services())
        .post(platform::DeviceNotification::wasConnected, deviceFrom(info[0].As<Napi::Object>()));
    return info.Env().Undefined();
}

Napi::Value PostDisconnection(const Napi::CallbackInfo& info) {
    platform::fake::fakeDeviceNotifications(services())
        .post(platform::DeviceNotification::wasDisconnected, deviceFrom(info[0].As<Napi::Object>()));
    return info.Env().Undefined();
}

Napi::Value ObserverCount(const Napi::CallbackInfo& info) {
    return Napi::Number::New(info.Env(),
                             static_cast<double>(platform::fake::fakeDeviceNotifications(services()).observerCount()));
}

Napi::Value ScreenCaptureDevicesAllowed(const Napi::CallbackInfo& info) {
    return Napi::Boolean::New(info.Env(), platform::fake::fakeDevices(services()).screenCaptureDevicesAllowed());
}

// failNext(operation, [message], [code]): the operation by its name (fakeOperationName):
// "captureSessions.makeDeviceInput" throws the error; "captureSession.addInput" and
// "captureSession.addOutput" make the session refuse; "captureSession.startRunning"
// leaves the session not running. A name no fake knows throws a TypeError.
Napi::Value FailNext(const Napi::CallbackInfo& info) {
    const std::string name = info[0].IsString() ? info[0].As<Napi::String>().Utf8Value() : std::string();
    const auto operation = platform::fake::fakeOperationNamed(name);
    if (!operation) {
        Napi::TypeError::New(info.Env(), "No fake operation is named \"" + name + "\"").ThrowAsJavaScriptException();
        return info.Env().Undefined();
    }
    std::string message = info.Length() > 1 && info[1].IsString() ? info[1].As<Napi::String>().Utf8Value() : "Failure";
    int64_t code = info.Length() > 2 && info[2].IsNumber() ? info[2].As<Napi::Number>().Int64Value()
                                                           : platform::kCaptureErrorUnknown;
    fakePlatform().failures().failNext(*operation, platform::PlatformError(platform::kCaptureErrorDomain, code, message));
    return info.Env().Undefined();
}

// The movie-file output of the index (made in that order), or the last one when no index is given.
std::shared_ptr<platform::fake::FakeMovieFileOutput> outputAt(const Napi::CallbackInfo& info, size_t argument) {
    auto& sessions = platform::fake::fakeCaptureSessions(services());
    if (info.Length() > argument && info[argument].IsNumber()) {
        auto outputs = sessions.movieFileOutputs();
        auto index = info[argument].As<Napi::Number>().Uint32Value();
        return index < outputs.size() ? outputs[index] : nullptr;
    }
    return sessions.lastMovieFileOutput();
}

// reportStart([index]): the movie file has started. False when it was never asked to record.
Napi::Value ReportStart(const Napi::CallbackInfo& info) {
    auto output = outputAt(info, 0);
    return Napi::Boolean::New(info.Env(), output && output->reportStart());
}

// reportFinish([message, code, index]): the movie file has finished, with an error when a message is given.
Napi::Value ReportFinish(const Napi::CallbackInfo& info) {
    auto output = outputAt(info, 2);
    std::optional<platform::PlatformError> error;
    if (info.Length() > 0 && info[0].IsString()) {
        int64_t code = info.Length() > 1 && info[1].IsNumber() ? info[1].As<Napi::Number>().Int64Value() : 0;
        error.emplace(platform::kCaptureErrorDomain, code, info[0].As<Napi::String>().Utf8Value());
    }
    return Napi::Boolean::New(info.Env(), output && output->reportFinish(std::move(error)));
}

Napi::Object describeRecording(Napi::Env env, const std::shared_ptr<platform::fake::FakeMovieFileOutput>& output) {
    Napi::Object result = Napi::Object::New(env);
    result.Set("path", output->outputPath());
    result.Set("askedToRecord", output->wasAskedToRecord());
    result.Set("recording", output->isRecording());
    result.Set("stops", output->stopCount());
    for (const auto& session : platform::fake::fakeCaptureSessions(services()).sessions()) {
        for (const auto& movie : session->movieFileOutputs()) {
            if (movie == output) {
                result.Set("sessionRunning", session->isRunning());
                result.Set("preset", session->sessionPreset());
            }
        }
    }
    return result;
}

// recordings(): {path, askedToRecord, recording, stops, sessionRunning, preset} of every movie file, oldest first.
Napi::Value Recordings(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    auto outputs = platform::fake::fakeCaptureSessions(services()).movieFileOutputs();
    Napi::Array result = Napi::Array::New(env, outputs.size());
    for (size_t i = 0; i < outputs.size(); ++i) result.Set(static_cast<uint32_t>(i), describeRecording(env, outputs[i]));
    return result;
}

// removeAfterNextListing(id): the device vanishes right after the next listing.
Napi::Value RemoveAfterNextListing(const Napi::CallbackInfo& info) {
    platform::fake::fakeDevices(services()).removeAfterNextListing(info[0].As<Napi::String>().Utf8Value());
    return info.Env().Undefined();
}

// waitMainQueue(ms): blocks until a task queued on the main queue with this delay has run,
// so every main-queue step due earlier has run too.
Napi::Value WaitMainQueue(const Napi::CallbackInfo& info) {
    auto delay = std::chrono::milliseconds(info[0].As<Napi::Number>().Int64Value());
    std::promise<void> ran;
    platform::mainQueue()->asyncAfter(delay, [&ran] { ran.set_value(); });
    ran.get_future().wait();
    return info.Env().Undefined();
}

Napi::Value SessionCount(const Napi::CallbackInfo& info) {
    return Napi::Number::New(info.Env(),
                             static_cast<double>(platform::fake::fakeCaptureSessions(services()).sessions().size()));
}

} // namespace

void installPlatform() {
    static std::once_flag once;
    std::call_once(once, [] { fakePlatform().install(); });
}

void addTestControls(Napi::Env env, Napi::Object exports) {
    Napi::Object fake = Napi::Object::New(env);
    fake.Set("addDevice", Napi::Function::New(env, AddDevice));
    fake.Set("removeDevice", Napi::Function::New(env, RemoveDevice));
    fake.Set("updateDevice", Napi::Function::New(env, UpdateDevice));
    fake.Set("postConnection", Napi::Function::New(env, PostConnection));
    fake.Set("postDisconnection", Napi::Function::New(env, PostDisconnection));
    fake.Set("observerCount", Napi::Function::New(env, ObserverCount));
    fake.Set("screenCaptureDevicesAllowed", Napi::Function::New(env, ScreenCaptureDevicesAllowed));
    fake.Set("failNext", Napi::Function::New(env, FailNext));
    fake.Set("reportStart", Napi::Function::New(env, ReportStart));
    fake.Set("reportFinish", Napi::Function::New(env, ReportFinish));
    fake.Set("recordings", Napi::Function::New(env, Recordings));
    fake.Set("removeAfterNextListing", Napi::Function::New(env, RemoveAfterNextListing));
    fake.Set("waitMainQueue", Napi::Function::New(env, WaitMainQueue));
    fake.Set("sessionCount", Napi::Function::New(env, SessionCount));
    exports.Set("fake", fake);
}

} // namespace lumbra_binding
