#include "cursor_monitor.h"

#include "platform/accessibility.h"
#include "platform/platform.h"

#include <chrono>
#include <stop_token>
#include <string>
#include <system_error>

namespace glintor {

namespace {

constexpr int32_t kDefaultPollInterval = 100;
constexpr int32_t kMinimumPollInterval = 10;
constexpr int kStopWaitMilliseconds = 5000;

struct ConfigState {
    std::mutex mutex;  // guards the two below
    int32_t pollInterval = kDefaultPollInterval;
    TrackingBounds trackingBounds = TrackingBounds::everywhere();
};

ConfigState& config() {
    static auto* state = new ConfigState();
    return *state;
}

CursorAXMonitor::ThreadStarter& threadStarter() {
    static auto* starter = new CursorAXMonitor::ThreadStarter(
        [](std::function<void()> body) { return std::thread(std::move(body)); });
    return *starter;
}

std::shared_ptr<platform::AccessibilityService> accessibility() {
    try {
        return platform::installed().accessibility;
    } catch (const std::exception&) {
        return nullptr;
    }
}

void CallJs(Napi::Env env, Napi::Function callback, void* context, std::string* kind);
using CursorCallback = Napi::TypedThreadSafeFunction<void, std::string, CallJs>;

} // namespace

struct MonitorRun {
    std::atomic<bool> shouldStop{false};
    std::atomic<bool> running{false};
    std::atomic<bool> threadFinished{true};
    // Requested with shouldStop: ends the worker's wait for a busy accessibility queue.
    std::stop_source stopSource;
    // threadMutex with threadCondition: the stop wait, and the worker's sleep
    // between polls, which a stop request cuts short.
    std::mutex threadMutex;
    std::condition_variable threadCondition;
    // callbackMutex guards callbackValid and tsCallback. callbackValid is cleared by
    // the cleanup that releases tsCallback and by tsCallback's finalizer, after which
    // the function must not be touched.
    std::mutex callbackMutex;
    std::atomic<bool> callbackValid{false};
    CursorCallback tsCallback;

    void requestStop() {
        std::lock_guard lock(threadMutex);
        shouldStop = true;
        stopSource.request_stop();
        threadCondition.notify_all();
    }

    // True when the worker loop has ended within the timeout.
    bool WaitForThreadStop(int timeoutMilliseconds) {
        std::unique_lock lock(threadMutex);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
        threadCondition.wait_until(lock, deadline, [&] { return threadFinished.load(); });
        return threadFinished;
    }

    // Sleeps for the poll interval unless a stop request comes first.
    void sleepBetweenPolls(int32_t milliseconds) {
        std::unique_lock lock(threadMutex);
        threadCondition.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return shouldStop.load(); });
    }

    void markFinished() {
        std::lock_guard lock(threadMutex);
        running = false;
        threadFinished = true;
        threadCondition.notify_all();
    }

    // Releases the thread-safe function once; what is queued is still delivered.
    void releaseCallback() {
        std::lock_guard lock(callbackMutex);
        if (callbackValid && tsCallback) {
            callbackValid = false;
            tsCallback.Release();
        }
    }
};

namespace {

// An exception the host's callback threw reaches the host as an uncaught exception
// ('uncaughtException', or the process ends with it), as one thrown in any other
// callback of the event loop would; it is not swallowed here.
void ReportCallbackException(napi_env env) {
    napi_value exception = nullptr;
    if (napi_get_and_clear_last_exception(env, &exception) != napi_ok || exception == nullptr) return;
    napi_fatal_exception(env, exception);
}

void CallJs(Napi::Env env, Napi::Function callback, void*, std::string* kind) {
    std::unique_ptr<std::string> item(kind);
    // No environment: the function is being torn down and its queue emptied.
    if (env == nullptr || callback.IsEmpty() || !item) return;
    if (env.IsExceptionPending()) return;
    // Plain Node-API calls: a failure here (an environment that is stopping, a
    // callback that ends its thread) is left to Node as it stands, where
    // node-addon-api would try to build an Error object and abort the process.
    napi_value text = nullptr;
    if (napi_create_string_utf8(env, item->data(), item->size(), &text) != napi_ok) return;
    napi_value undefined = nullptr;
    if (napi_get_undefined(env, &undefined) != napi_ok) return;
    if (napi_call_function(env, undefined, callback, 1, &text, nullptr) == napi_pending_exception) {
        ReportCallbackException(env);
    }
}

// The finalizer of one run's thread-safe function: from now on the function is gone.
void FinalizeCursorCallback(Napi::Env, std::shared_ptr<MonitorRun>* run, void*) {
    {
        std::lock_guard lock((*run)->callbackMutex);
        (*run)->callbackValid = false;
    }
    delete run;
}

void MonitorLoop(std::shared_ptr<MonitorRun> run, std::shared_ptr<platform::AccessibilityService> service) {
    std::string lastReported;
    SafeLog("Cursor monitor started");
    while (!run->shouldStop) {
        int32_t interval = CursorMonitorConfig::pollInterval();
        if (run->shouldStop) break;
        CursorAtMouse found;
        try {
            found = QueryCursorAtMouse(run->stopSource.get_token());
        } catch (const std::exception&) {
            found = {"arrow", std::nullopt};
        }
        const std::string& kind = found.kind;
        if (!run->shouldStop && kind != lastReported) {
            // The bounds test uses the location the kind was found at, so a kind found
            // outside is never reported because the pointer moved inside meanwhile.
            // When the query read no location the pointer is read now; without one
            // the pointer counts as inside.
            std::optional<platform::Point> location = found.location;
            if (!location && service) location = service->pointerLocation();
            if (!location || CursorMonitorConfig::trackingBoundsContain(*location)) {
                lastReported = kind;
                std::lock_guard lock(run->callbackMutex);
                if (run->callbackValid && run->tsCallback) {
                    auto* item = new std::string(kind);
                    if (run->tsCallback.NonBlockingCall(item) != napi_ok) {
                        delete item;
                        SafeLog("Cursor report could not be queued; monitor ends");
                        break;
                    }
                }
            }
        }
        if (interval > 0 && !run->shouldStop) run->sleepBetweenPolls(interval);
    }
    SafeLog("Cursor monitor ended");
    run->markFinished();
}

} // namespace

int32_t CursorMonitorConfig::pollInterval() {
    std::lock_guard lock(config().mutex);
    return config().pollInterval;
}

void CursorMonitorConfig::setPollInterval(int32_t milliseconds) {
    std::lock_guard lock(config().mutex);
    config().pollInterval = milliseconds;
}

void CursorMonitorConfig::setTrackingBounds(TrackingBounds bounds) {
    std::lock_guard lock(config().mutex);
    config().trackingBounds = bounds;
}

bool CursorMonitorConfig::trackingBoundsContain(platform::Point point) {
    std::lock_guard lock(config().mutex);
    return config().trackingBounds.contains(point);
}

Napi::Object CursorAXMonitor::Init(Napi::Env env, Napi::Object exports) {
    Napi::Function constructor = DefineClass(env, "CursorAXMonitor",
                                             {
                                                 InstanceMethod("start", &CursorAXMonitor::Start),
                                                 InstanceMethod("stop", &CursorAXMonitor::Stop),
                                                 InstanceMethod("checkPermissions", &CursorAXMonitor::CheckPermissions),
                                                 InstanceMethod("setPollInterval", &CursorAXMonitor::SetPollInterval),
                                                 InstanceMethod("getPollInterval", &CursorAXMonitor::GetPollInterval),
                                                 InstanceMethod("isRunning", &CursorAXMonitor::IsRunning),
                                             });
    exports.Set("CursorAXMonitor", constructor);
    return exports;
}

CursorAXMonitor::CursorAXMonitor(const Napi::CallbackInfo& info) : Napi::ObjectWrap<CursorAXMonitor>(info) {}

CursorAXMonitor::~CursorAXMonitor() { CleanupThread(); }

void CursorAXMonitor::setThreadStarterForTesting(ThreadStarter starter) { threadStarter() = std::move(starter); }

void CursorAXMonitor::CleanupThread() {
    if (run_) {
        run_->requestStop();
        if (run_->WaitForThreadStop(kStopWaitMilliseconds)) {
            if (monitorThread_.joinable()) monitorThread_.join();
        } else if (monitorThread_.joinable()) {
            // The worker holds its own run; it ends at its next look at shouldStop.
            monitorThread_.detach();
        }
        run_->releaseCallback();
        run_->running = false;
    }
    run_.reset();
}

Napi::Value CursorAXMonitor::Start(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    // A running worker, or one that ended by itself and is not joined yet, goes first.
    if (run_) CleanupThread();

    if (info.Length() < 1 || !info[0].IsFunction()) {
        Napi::TypeError::New(env, "Callback function required").ThrowAsJavaScriptException();
        return env.Undefined();
    }
    auto service = accessibility();
    if (!service || !service->processTrusted()) {
        Napi::Error::New(env,
                         "Accessibility permission required. Enable in System Preferences > Security & Privacy > "
                         "Privacy > Accessibility")
            .ThrowAsJavaScriptException();
        return env.Undefined();
    }

    if (info.Length() >= 2 && info[1].IsObject()) {
        Napi::Object bounds = info[1].As<Napi::Object>();
        if (bounds.Has("x") && bounds.Has("y") && bounds.Has("width") && bounds.Has("height")) {
            // A value that is not a number reads as 0 and leaves Node-API's TypeError
            // pending; the values after it then read as 0 too.
            auto readNumber = [&](const char* key) -> double {
                if (env.IsExceptionPending()) return 0;
                Napi::Value value = bounds.Get(key);
                if (env.IsExceptionPending() || value.IsEmpty()) return 0;
                if (!value.IsNumber()) {
                    Napi::TypeError::New(env, "A number was expected").ThrowAsJavaScriptException();
                    return 0;
                }
                return value.As<Napi::Number>().DoubleValue();
            };
            double x = readNumber("x");
            double y = readNumber("y");
            double width = readNumber("width");
            double height = readNumber("height");
            CursorMonitorConfig::setTrackingBounds(TrackingBounds::of(x, y, width, height));
        }
    }

    auto run = std::make_shared<MonitorRun>();
    {
        std::lock_guard lock(run->callbackMutex);
        auto* finalizerData = new std::shared_ptr<MonitorRun>(run);
        run->tsCallback = CursorCallback::New(env, info[0].As<Napi::Function>(), "CursorChangeCallback", 0, 1,
                                              nullptr, FinalizeCursorCallback, finalizerData);
        // A failed creation leaves a JavaScript error pending and no function: the
        // worker then runs without reporting.
        if (!run->tsCallback) delete finalizerData;
        run->callbackValid = true;
    }
    run->shouldStop = false;
    run->threadFinished = false;
    run->running = true;
    run_ = run;

    try {
        monitorThread_ = threadStarter()([run, service] { MonitorLoop(run, service); });
    } catch (const std::system_error& error) {
        run->releaseCallback();
        run->markFinished();
        run_.reset();
        Napi::Error::New(env, std::string("Cursor monitor thread could not be started: ") + error.what())
            .ThrowAsJavaScriptException();
    }
    return env.Undefined();
}

Napi::Value CursorAXMonitor::Stop(const Napi::CallbackInfo& info) {
    if (run_) CleanupThread();
    return Napi::Boolean::New(info.Env(), true);
}

Napi::Value CursorAXMonitor::CheckPermissions(const Napi::CallbackInfo& info) {
    auto service = accessibility();
    return Napi::Boolean::New(info.Env(), service && service->processTrusted());
}

Napi::Value CursorAXMonitor::SetPollInterval(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    if (info.Length() < 1 || !info[0].IsNumber()) {
        Napi::TypeError::New(env, "Number expected").ThrowAsJavaScriptException();
        return env.Undefined();
    }
    int32_t interval = info[0].As<Napi::Number>().Int32Value();
    if (interval < kMinimumPollInterval + 1) interval = kMinimumPollInterval;
    CursorMonitorConfig::setPollInterval(interval);
    return Napi::Number::New(env, interval);
}

Napi::Value CursorAXMonitor::GetPollInterval(const Napi::CallbackInfo& info) {
    return Napi::Number::New(info.Env(), CursorMonitorConfig::pollInterval());
}

Napi::Value CursorAXMonitor::IsRunning(const Napi::CallbackInfo& info) {
    return Napi::Boolean::New(info.Env(), run_ && run_->running);
}

Napi::Object InitAll(Napi::Env env, Napi::Object exports) { return CursorAXMonitor::Init(env, exports); }

} // namespace glintor
