#pragma once
// The core of the lumbra plug-in: attached iOS devices (listing, names, trust,
// connections and disconnections), the recording of one device's screen into a
// movie file, and the camera and microphone lists as one JSON text.
//
// Calling conventions of every ios_ function:
// - Strings given to the core are NUL-terminated UTF-8, borrowed for the call.
// - Strings the core returns are heap blocks of the C allocator owned by the
//   caller: the list with ios_free_device_list, the JSON text with
//   ios_free_string, a name or model with free.
// - A string handed to a callback is valid only while the callback runs.
// - Booleans are C booleans, counts signed 32-bit integers.
// No function throws.

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
#include <string>
#include <vector>

namespace Lumbra {

// Record types of the interface; nothing in the core builds or reads them.
struct IOSDeviceInfo {
    std::string deviceId;
    std::string name;
    std::string model;
    bool connected = false;
};

struct AllDevicesResult {
    std::vector<std::string> webcams;
    std::vector<std::string> audios;
};

// Installs the platform the core runs on; called at every use, so it must make
// the installation once and be cheap after that. The plug-in sets it when it is
// loaded, so the ios_ functions work also when called through the C interface
// alone, before Node has loaded the module (or without Node).
using PlatformInstaller = void (*)();
void setPlatformInstaller(PlatformInstaller install);

} // namespace Lumbra

extern "C" {
#endif

#define LUMBRA_EXPORT __attribute__((visibility("default")))

typedef void (*ios_device_callback)(const char* deviceId);
typedef void (*ios_recording_started_callback)(void);
typedef void (*ios_text_callback)(const char* text);

// Makes screen-capture devices visible and starts reporting iOS devices connecting
// and disconnecting (on the main queue) to the callbacks set below. Each call adds
// one more pair of observers.
LUMBRA_EXPORT void ios_init_device_monitoring(void);
// The unique IDs of the connected iOS devices; the count is always written.
// Null when no device qualifies (or the list cannot be allocated; the count is then 0).
LUMBRA_EXPORT char** ios_list_devices(int32_t* outCount);
// Frees the first `count` non-null entries and the array. A negative count frees
// only the array; a null list nothing.
LUMBRA_EXPORT void ios_free_device_list(char** deviceIds, int32_t count);
// Whether a device with the ID exists; its name and model go where the non-null
// out-pointers point (null when a copy cannot be allocated).
LUMBRA_EXPORT bool ios_get_device_info(const char* deviceId, char** outName, char** outModel);
// Connected and not suspended (a suspended device does not trust this computer).
LUMBRA_EXPORT bool ios_is_device_trusted(const char* deviceId);
LUMBRA_EXPORT void ios_set_device_connected_callback(ios_device_callback callback);
LUMBRA_EXPORT void ios_set_device_disconnected_callback(ios_device_callback callback);
// Empties both device callbacks and removes the observers: nothing is reported
// until a callback is set again, which puts the observers back.
LUMBRA_EXPORT void ios_cleanup(void);
// {"webcams":[{"id":..,"name":..},...],"audios":[...]}: compact, "/" escaped.
// The fixed text {"webcams":[],"audios":[]} when it cannot be written; null only
// when not even that can be allocated.
LUMBRA_EXPORT char* ios_list_all_devices(void);
LUMBRA_EXPORT void ios_free_string(char* ptr);

// Builds a capture session for the device and starts it in the background; the
// file starts 0.5 s later on the main queue. False (with the message reported to
// the error callback) when a check or the session set-up fails.
LUMBRA_EXPORT bool ios_start_recording(const char* deviceId, const char* outputPath);
// Asks the file to finish; the stopped callback gets its path later.
LUMBRA_EXPORT bool ios_stop_recording(void);
// Tears the recording down at once; its file's finish may still be reported.
LUMBRA_EXPORT bool ios_cancel_recording(void);
LUMBRA_EXPORT bool ios_is_recording(void);
LUMBRA_EXPORT void ios_set_recording_started_callback(ios_recording_started_callback callback);
LUMBRA_EXPORT void ios_set_recording_stopped_callback(ios_text_callback callback);
LUMBRA_EXPORT void ios_set_recording_error_callback(ios_text_callback callback);

#ifdef __cplusplus
}
#endif
