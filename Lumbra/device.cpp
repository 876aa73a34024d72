#include "Lumbra/device.h"

#include "Lumbra/json_text.h"

#include "Dovezode/Devices.h"
#include "platform/capture_session.h"
#include "platform/device_notifications.h"
#include "platform/platform.h"
#include "platform/queues.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr const char* kAppleManufacturer = "Apple Inc.";
// The session gets this long to run before its file is started.
constexpr auto kFileStartDelay = 500ms;
// A finished recording is cleaned up this long after its finish report.
constexpr auto kCleanupDelay = 100ms;

std::string text(const char* value) { return value ? value : ""; }

// A heap copy for the caller; null when the allocator cannot supply one.
char* heapCopy(const std::string& value) { return strdup(value.c_str()); }

std::string lowerAscii(std::string value) {
    for (auto& c : value) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return value;
}

std::atomic<Lumbra::PlatformInstaller> platformInstaller{nullptr};

// The platform, installed on first use when the plug-in gave the way to: the C
// functions may be called before Node loads the module, or without Node at all.
platform::Platform& services() {
    if (auto install = platformInstaller.load()) install();
    return platform::installed();
}

std::optional<platform::CaptureDevice> deviceWithUniqueID(const std::string& uniqueID) {
    return services().captureDevices->device(uniqueID);
}

// ---- Device monitoring

// Read on the main queue, written from the caller's thread.
std::atomic<ios_device_callback> deviceConnectedCallback{nullptr};
std::atomic<ios_device_callback> deviceDisconnectedCallback{nullptr};

struct Monitoring {
    std::mutex mutex;  // guards every field
    bool initialised = false;
    // Kept so that ios_cleanup can remove them.
    std::vector<std::shared_ptr<platform::DeviceObserverHandle>> observers;
};

Monitoring& monitoring() {
    static auto* instance = new Monitoring();
    return *instance;
}

void handleNotification(const platform::CaptureDevice& device, const std::atomic<ios_device_callback>& slot) {
    // Cameras and microphones are not iOS screen-capture devices: never reported.
    if (!device.hasMediaType(platform::MediaType::muxed)) return;
    auto callback = slot.load();
    if (callback) callback(device.uniqueID.c_str());
}

// Adds one pair of observers; needs monitoring().mutex held.
void addObserverPair(Monitoring& state) {
    auto center = services().deviceNotifications;
    if (!center) return;
    auto main = platform::mainQueue();
    state.observers.push_back(center->addObserver(platform::DeviceNotification::wasConnected, main,
                                                  [](const platform::CaptureDevice& device) {
                                                      handleNotification(device, deviceConnectedCallback);
                                                  }));
    state.observers.push_back(center->addObserver(platform::DeviceNotification::wasDisconnected, main,
                                                  [](const platform::CaptureDevice& device) {
                                                      handleNotification(device, deviceDisconnectedCallback);
                                                  }));
}

// After ios_cleanup removed the observers, setting a callback puts one pair back.
void restoreObservers() {
    auto& state = monitoring();
    std::lock_guard lock(state.mutex);
    if (state.initialised && state.observers.empty()) addObserverPair(state);
}

bool qualifies(const platform::CaptureDevice& device) {
    if (!device.hasMediaType(platform::MediaType::muxed)) return false;
    if (!device.connected) return false;
    if (device.manufacturer == kAppleManufacturer) return true;
    auto name = lowerAscii(device.localizedName);
    if (name.find("iphone") != std::string::npos || name.find("ipad") != std::string::npos) return true;
    auto model = lowerAscii(device.modelID);
    return model.find("iphone") != std::string::npos || model.find("ipad") != std::string::npos;
}

// ---- Recording

std::atomic<ios_recording_started_callback> recordingStartedCallback{nullptr};
std::atomic<ios_text_callback> recordingStoppedCallback{nullptr};
std::atomic<ios_text_callback> recordingErrorCallback{nullptr};

void reportError(const std::string& message) {
    auto callback = recordingErrorCallback.load();
    if (callback) callback(message.c_str());
}

class RecordingDelegate;

// The recording that exists; its generation tells a delayed step whether the
// recording that scheduled it is still the current one.
struct Recording {
    uint64_t generation = 0;
    std::shared_ptr<platform::CaptureSession> session;
    std::shared_ptr<platform::MovieFileOutput> output;
    std::shared_ptr<RecordingDelegate> delegate;
};

struct RecordingState {
    // Guards current and nextGeneration. Platform calls made under it never call back
    // into this module synchronously; callbacks of the host are never called under it.
    std::mutex mutex;
    std::optional<Recording> current;
    uint64_t nextGeneration = 1;
};

RecordingState& recordingState() {
    static auto* instance = new RecordingState();
    return *instance;
}

// Stops the session in the background (dropping it detaches its input and output).
void tearDown(std::shared_ptr<platform::CaptureSession> session) {
    if (!session) return;
    platform::globalQueue()->async([session = std::move(session)] {
        if (session->isRunning()) session->stopRunning();
    });
}

// Empties the module's recording, if it is still the one of `generation` (any when none given).
void cleanupRecordingSession(std::optional<uint64_t> generation = std::nullopt) {
    std::shared_ptr<platform::CaptureSession> session;
    {
        auto& state = recordingState();
        std::lock_guard lock(state.mutex);
        if (!state.current || (generation && state.current->generation != *generation)) return;
        session = std::move(state.current->session);
        state.current.reset();
    }
    tearDown(std::move(session));
}

class RecordingDelegate final : public platform::FileOutputRecordingDelegate {
public:
    explicit RecordingDelegate(uint64_t generation) : generation_(generation) {}

    void fileOutputDidStartRecording(platform::MovieFileOutput&, const std::string&) override {
        auto callback = recordingStartedCallback.load();
        if (callback) callback();
    }

    void fileOutputDidFinishRecording(platform::MovieFileOutput&, const std::string& outputPath,
                                      const std::optional<platform::PlatformError>& error) override {
        if (error) {
            reportError("Recording finished with error: " + error->localizedDescription() +
                        " (Code: " + std::to_string(error->code()) + ")");
        } else {
            auto callback = recordingStoppedCallback.load();
            if (callback) callback(outputPath.c_str());
        }
        // A cancelled recording's late finish leaves a newer recording alone.
        platform::mainQueue()->asyncAfter(kCleanupDelay, [generation = generation_] {
            cleanupRecordingSession(generation);
        });
    }

private:
    uint64_t generation_;
};

// On the main queue, half a second after the session's start returned.
void startFile(uint64_t generation, const std::shared_ptr<platform::CaptureSession>& session,
              const std::shared_ptr<platform::MovieFileOutput>& output, const std::string& outputPath) {
    {
        auto& state = recordingState();
        std::lock_guard lock(state.mutex);
        // The recording was cancelled (or replaced) meanwhile: nothing to start.
        if (!state.current || state.current->generation != generation) return;
        if (session->isRunning()) {
            output->startRecording(outputPath, state.current->delegate);
            return;
        }
    }
    reportError("Capture session failed to start");
    cleanupRecordingSession(generation);
}

bool startRecording(const std::string& deviceId, const std::string& outputPath) {
    auto& state = recordingState();
    bool recordingExists = false;
    {
        std::lock_guard lock(state.mutex);
        recordingExists = state.current.has_value();
    }
    if (recordingExists) {
        reportError("Recording already in progress");
        return false;
    }
    auto device = deviceWithUniqueID(deviceId);
    if (!device) {
        reportError("Device not found: " + deviceId);
        return false;
    }
    if (device->suspended) {
        reportError("Device is suspended (not trusted). Please trust this device on your iPhone/iPad.");
        return false;
    }
    if (!device->connected) {
        reportError("Device is not connected");
        return false;
    }
    auto& sessions = *services().captureSessions;
    auto session = sessions.makeSession();
    session->setSessionPreset(platform::session_preset::high);
    std::shared_ptr<platform::CaptureDeviceInput> input;
    try {
        input = sessions.makeDeviceInput(*device);
    } catch (const platform::PlatformError& error) {
        reportError("Failed to start recording: " + error.localizedDescription());
        return false;
    }
    if (!session->canAddInput(input)) {
        reportError("Cannot add device input to capture session");
        return false;
    }
    session->addInput(input);
    auto output = sessions.makeMovieFileOutput();
    if (!session->canAddOutput(output)) {
        reportError("Cannot add movie output to capture session");
        return false;
    }
    session->addOutput(output);

    uint64_t generation = 0;
    {
        std::lock_guard lock(state.mutex);
        // Another thread's start may have won meanwhile.
        recordingExists = state.current.has_value();
        if (!recordingExists) {
            generation = state.nextGeneration++;
            state.current = Recording{generation, session, output, std::make_shared<RecordingDelegate>(generation)};
        }
    }
    if (recordingExists) {
        reportError("Recording already in progress");
        return false;
    }
    platform::globalQueue()->async([generation, session, output, outputPath] {
        session->startRunning();
        platform::mainQueue()->asyncAfter(kFileStartDelay, [generation, session, output, outputPath] {
            startFile(generation, session, output, outputPath);
        });
    });
    return true;
}

} // namespace

void Lumbra::setPlatformInstaller(PlatformInstaller install) { platformInstaller = install; }

extern "C" {

void ios_init_device_monitoring(void) {
    try {
        auto& platform = services();
        platform.captureDevices->allowScreenCaptureDevices();
        auto& state = monitoring();
        std::lock_guard lock(state.mutex);
        state.initialised = true;
        addObserverPair(state);
    } catch (...) {
        // No platform to monitor: nothing is reported.
    }
}

char** ios_list_devices(int32_t* outCount) {
    std::vector<std::string> ids;
    try {
        for (const auto& device : services().captureDevices->devicesWithMediaType(platform::MediaType::muxed)) {
            if (qualifies(device)) ids.push_back(device.uniqueID);
        }
    } catch (...) {
        ids.clear();
    }
    // The count must not be null; a null one is not written.
    if (!outCount) return nullptr;
    *outCount = 0;
    if (ids.empty()) return nullptr;
    auto** list = static_cast<char**>(std::calloc(ids.size(), sizeof(char*)));
    if (!list) return nullptr;
    for (size_t i = 0; i < ids.size(); ++i) {
        list[i] = heapCopy(ids[i]);
        if (!list[i]) {
            ios_free_device_list(list, static_cast<int32_t>(i));
            return nullptr;
        }
    }
    *outCount = static_cast<int32_t>(ids.size());
    return list;
}

void ios_free_device_list(char** deviceIds, int32_t count) {
    if (!deviceIds) return;
    for (int32_t i = 0; i < count; ++i) std::free(deviceIds[i]);
    std::free(deviceIds);
}

bool ios_get_device_info(const char* deviceId, char** outName, char** outModel) {
    std::optional<platform::CaptureDevice> device;
    try {
        device = deviceWithUniqueID(text(deviceId));
    } catch (...) {
        return false;
    }
    if (!device) return false;
    if (outName) *outName = heapCopy(device->localizedName);
    if (outModel) *outModel = heapCopy(device->modelID);
    return true;
}

bool ios_is_device_trusted(const char* deviceId) {
    try {
        auto device = deviceWithUniqueID(text(deviceId));
        return device && device->connected && !device->suspended;
    } catch (...) {
        return false;
    }
}

void ios_set_device_connected_callback(ios_device_callback callback) {
    deviceConnectedCallback = callback;
    restoreObservers();
}

void ios_set_device_disconnected_callback(ios_device_callback callback) {
    deviceDisconnectedCallback = callback;
    restoreObservers();
}

void ios_cleanup(void) {
    deviceConnectedCallback = nullptr;
    deviceDisconnectedCallback = nullptr;
    auto& state = monitoring();
    std::lock_guard lock(state.mutex);
    try {
        auto center = services().deviceNotifications;
        for (const auto& observer : state.observers) {
            if (center) center->removeObserver(observer);
        }
    } catch (...) {
        // The platform is gone: so are its observers.
    }
    state.observers.clear();
}

char* ios_list_all_devices(void) {
    std::optional<std::string> json;
    try {
        std::vector<Lumbra::IdNameRecord> webcams;
        for (const auto& webcam : Dovezode::Devices::webcams(services()))
            webcams.push_back({webcam.id, webcam.name});
        std::vector<Lumbra::IdNameRecord> audios;
        for (const auto& audio : Dovezode::Devices::audio(services()))
            audios.push_back({audio.id, audio.name});
        json = Lumbra::allDevicesJson(webcams, audios);
    } catch (...) {
        json.reset();
    }
    if (json) {
        if (char* copy = heapCopy(*json)) return copy;
    }
    return strdup(Lumbra::kEmptyAllDevicesJson);
}

void ios_free_string(char* ptr) { std::free(ptr); }

bool ios_start_recording(const char* deviceId, const char* outputPath) {
    // Both texts are copied before anything else.
    std::string id = text(deviceId);
    std::string path = text(outputPath);
    try {
        return startRecording(id, path);
    } catch (const std::exception& error) {
        reportError(std::string("Failed to start recording: ") + error.what());
        return false;
    }
}

bool ios_stop_recording(void) {
    enum class Outcome { asked, noSession, notRecording } outcome;
    {
        auto& state = recordingState();
        std::lock_guard lock(state.mutex);
        if (!state.current) {
            outcome = Outcome::noSession;
        } else if (!state.current->output->isRecording()) {
            outcome = Outcome::notRecording;
        } else {
            state.current->output->stopRecording();
            outcome = Outcome::asked;
        }
    }
    switch (outcome) {
    case Outcome::asked: return true;
    case Outcome::noSession: reportError("No active recording session"); return false;
    case Outcome::notRecording: reportError("Output is not currently recording"); return false;
    }
    return false;
}

bool ios_cancel_recording(void) {
    std::shared_ptr<platform::CaptureSession> session;
    {
        auto& state = recordingState();
        std::lock_guard lock(state.mutex);
        if (!state.current) return false;
        if (state.current->output->isRecording()) state.current->output->stopRecording();
        session = std::move(state.current->session);
        state.current.reset();
    }
    tearDown(std::move(session));
    return true;
}

bool ios_is_recording(void) {
    auto& state = recordingState();
    std::lock_guard lock(state.mutex);
    return state.current && state.current->output->isRecording();
}

void ios_set_recording_started_callback(ios_recording_started_callback callback) { recordingStartedCallback = callback; }

void ios_set_recording_stopped_callback(ios_text_callback callback) { recordingStoppedCallback = callback; }

void ios_set_recording_error_callback(ios_text_callback callback) { recordingErrorCallback = callback; }

} // extern "C"
