// The test build of glintor: the CursorAXMonitor class over the scripted
// accessibility service, and a "fake" export that steers it.

#include "cursor_monitor.h"

#include "platform/fake/fake_accessibility.h"
#include "platform/platform.h"

#include <cerrno>
#include <map>
#include <mutex>
#include <system_error>

namespace {

using platform::fake::FakeAccessibility;
using platform::fake::FakeOperation;
using platform::fake::FakeHitScript;

FakeAccessibility& fake() {
    // One service for the process, never destroyed (monitor threads may outlive an environment).
    static auto* service = new std::shared_ptr<FakeAccessibility>(std::make_shared<FakeAccessibility>());
    return **service;
}

std::mutex threadFailuresMutex;
int threadStartsToFail = 0;  // guarded by threadFailuresMutex

platform::AccessibilityValue valueFrom(const Napi::Object& script, const char* valueKey, const char* statusKey) {
    platform::AccessibilityValue value;
    value.status = platform::accessibility_status::kSuccess;
    if (script.Has(statusKey)) value.status = script.Get(statusKey).As<Napi::Number>().Int32Value();
    Napi::Value text = script.Get(valueKey);
    if (text.IsString()) {
        value.value = text.As<Napi::String>().Utf8Value();
    } else if (!script.Has(statusKey)) {
        value.status = platform::accessibility_status::kNoValue;
    }
    if (value.status != platform::accessibility_status::kSuccess) value.value.reset();
    return value;
}

Napi::Object Controls(Napi::Env env) {
    Napi::Object controls = Napi::Object::New(env);
    controls.Set("setTrusted", Napi::Function::New(env, [](const Napi::CallbackInfo& info) {
                     fake().setTrusted(info[0].ToBoolean());
                 }));
    // setPointer(x, y), or setPointer(null) for a pointer that cannot be read.
    controls.Set("setPointer", Napi::Function::New(env, [](const Napi::CallbackInfo& info) {
                     if (info[0].IsNumber()) {
                         fake().setPointer(platform::Point{info[0].As<Napi::Number>().DoubleValue(),
                                                           info[1].As<Napi::Number>().DoubleValue()});
                     } else {
                         fake().setPointer(std::nullopt);
                     }
                 }));
    controls.Set("setSystemWideAvailable", Napi::Function::New(env, [](const Napi::CallbackInfo& info) {
                     fake().setSystemWideAvailable(info[0].ToBoolean());
                 }));
    // setHit({status, givesElement, role, roleStatus, description, descriptionStatus});
    // a missing role or description is absent (no value).
    controls.Set("setHit", Napi::Function::New(env, [](const Napi::CallbackInfo& info) {
                     Napi::Object script = info[0].As<Napi::Object>();
                     FakeHitScript hit;
                     if (script.Has("status")) hit.status = script.Get("status").As<Napi::Number>().Int32Value();
                     if (script.Has("givesElement")) hit.givesElement = script.Get("givesElement").ToBoolean();
                     hit.role = valueFrom(script, "role", "roleStatus");
                     hit.description = valueFrom(script, "description", "descriptionStatus");
                     fake().setHit(hit);
                 }));
    // throwAt(step): from now on only that step fails ("none": no step does); an unknown
    // step throws a TypeError.
    controls.Set("throwAt", Napi::Function::New(env, [](const Napi::CallbackInfo& info) {
                     static const std::map<std::string, FakeOperation> steps{
                         {"pointerLocation", FakeOperation::accessibilityPointerLocation},
                         {"systemWide", FakeOperation::accessibilitySystemWide},
                         {"elementAtPosition", FakeOperation::accessibilityElementAtPosition},
                         {"role", FakeOperation::accessibilityRole},
                         {"description", FakeOperation::accessibilityDescription}};
                     const std::string name = info[0].IsString() ? info[0].As<Napi::String>().Utf8Value() : "";
                     const auto step = steps.find(name);
                     if (name != "none" && step == steps.end()) {
                         Napi::TypeError::New(info.Env(), "No accessibility step is named \"" + name + "\"")
                             .ThrowAsJavaScriptException();
                         return;
                     }
                     for (const auto& [stepName, operation] : steps) fake().failures().clear(operation);
                     if (step != steps.end()) {
                         fake().failures().failAlways(
                             step->second, platform::PlatformError("AccessibilityErrorDomain", -1,
                                                                   "scripted accessibility failure"));
                     }
                 }));
    controls.Set("holdQueue", Napi::Function::New(env, [](const Napi::CallbackInfo&) { fake().holdQueue(); }));
    controls.Set("releaseQueue", Napi::Function::New(env, [](const Napi::CallbackInfo&) { fake().releaseQueue(); }));
    controls.Set("holdPointer", Napi::Function::New(env, [](const Napi::CallbackInfo&) { fake().holdPointer(); }));
    controls.Set("releasePointer",
                 Napi::Function::New(env, [](const Napi::CallbackInfo&) { fake().releasePointer(); }));
    controls.Set("pointerWaiters", Napi::Function::New(env, [](const Napi::CallbackInfo& info) {
                     return Napi::Number::New(info.Env(), static_cast<double>(fake().pointerWaiters()));
                 }));
    controls.Set("waitingWork", Napi::Function::New(env, [](const Napi::CallbackInfo& info) {
                     return Napi::Number::New(info.Env(), static_cast<double>(fake().waitingWork()));
                 }));
    controls.Set("hitTests", Napi::Function::New(env, [](const Napi::CallbackInfo& info) {
                     return Napi::Number::New(info.Env(), static_cast<double>(fake().hitTests()));
                 }));
    controls.Set("releasesOffQueue", Napi::Function::New(env, [](const Napi::CallbackInfo& info) {
                     return Napi::Number::New(info.Env(), static_cast<double>(fake().releasesOffQueue()));
                 }));
    // The next worker thread cannot be created (as when the process is out of threads).
    controls.Set("failNextThreadStart", Napi::Function::New(env, [](const Napi::CallbackInfo&) {
                     std::lock_guard lock(threadFailuresMutex);
                     ++threadStartsToFail;
                 }));
    return controls;
}

Napi::Object Initialize(Napi::Env env, Napi::Object exports) {
    static std::once_flag installed;
    std::call_once(installed, [] {
        auto services = std::make_shared<platform::Platform>();
        services->accessibility = std::shared_ptr<platform::AccessibilityService>(&fake(), [](auto*) {});
        platform::install(services);
        glintor::CursorAXMonitor::setThreadStarterForTesting([](std::function<void()> body) {
            {
                std::lock_guard lock(threadFailuresMutex);
                if (threadStartsToFail > 0) {
                    --threadStartsToFail;
                    throw std::system_error(EAGAIN, std::generic_category());
                }
            }
            return std::thread(std::move(body));
        });
    });
    glintor::InitAll(env, exports);
    exports.Set("fake", Controls(env));
    return exports;
}

} // namespace

NODE_API_MODULE(glintor_fake, Initialize)
