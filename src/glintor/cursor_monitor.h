#pragma once
// The JavaScript class "CursorAXMonitor": a worker thread per running monitor polls
// the cursor kind and reports each change inside the tracking rectangle to a
// JavaScript callback through a thread-safe function.

#include "c3.h"

#include <napi.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace glintor {

// Process-wide settings shared by every monitor. Never destroyed: a worker that was
// left behind after a stop may still read them while the process exits.
class CursorMonitorConfig {
public:
    static int32_t pollInterval();
    static void setPollInterval(int32_t milliseconds);
    static void setTrackingBounds(TrackingBounds bounds);
    static bool trackingBoundsContain(platform::Point point);
};

// One start of a monitor: its worker's flags and its thread-safe function. The
// worker, the monitor and the function's finalizer each hold it, so a worker left
// behind after a stop, or a finalizer that runs after the monitor is gone, touches
// only its own run, never a later one's.
struct MonitorRun;

class CursorAXMonitor : public Napi::ObjectWrap<CursorAXMonitor> {
public:
    static Napi::Object Init(Napi::Env env, Napi::Object exports);

    explicit CursorAXMonitor(const Napi::CallbackInfo& info);
    ~CursorAXMonitor() override;

    // How worker threads are started; tests replace it to make the start fail.
    using ThreadStarter = std::function<std::thread(std::function<void()>)>;
    static void setThreadStarterForTesting(ThreadStarter starter);

private:
    Napi::Value Start(const Napi::CallbackInfo& info);
    Napi::Value Stop(const Napi::CallbackInfo& info);
    Napi::Value CheckPermissions(const Napi::CallbackInfo& info);
    Napi::Value SetPollInterval(const Napi::CallbackInfo& info);
    Napi::Value GetPollInterval(const Napi::CallbackInfo& info);
    Napi::Value IsRunning(const Napi::CallbackInfo& info);

    // Stops the current run's worker (waiting up to 5000 ms, then leaving it behind),
    // releases its thread-safe function and forgets the run.
    void CleanupThread();

    std::shared_ptr<MonitorRun> run_;  // the current start; null before the first
    std::thread monitorThread_;
};

Napi::Object InitAll(Napi::Env env, Napi::Object exports);

} // namespace glintor
