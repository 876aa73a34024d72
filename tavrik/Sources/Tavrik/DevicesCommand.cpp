#include "Tavrik/DevicesCommand.h"

#include "Tavrik/Emit.h"
#include "Tavrik/JsonWriter.h"

#include "Dovezode/Devices.h"

#include "platform/error.h"

namespace tavrik {
namespace {

// A list as pretty-printed JSON text with sorted keys; "[]" when it cannot be written.
template <class Record>
std::string listText(const std::vector<Record>& records) {
    return writeJson(Json(records), {.pretty = true}).value_or("[]");
}

Json devicesOfKind(platform::Platform& platform, const std::string& kind) {
    namespace Devices = Dovezode::Devices;
    if (kind == "screens") return {{"screens", listText(Devices::screen(platform))}};
    if (kind == "windows") return {{"windows", listText(Devices::window(platform, true, true))}};
    if (kind == "audios") return {{"audios", listText(Devices::audio(platform))}};
    if (kind == "webcams") return {{"webcams", listText(Devices::webcams(platform))}};
    auto microphones = Devices::audio(platform);
    auto cameras = Devices::webcams(platform);
    return {{"audios", listText(microphones)}, {"webcams", listText(cameras)}};
}

void emitDevicesError(const std::string& message) {
    emit("error", {{"message", message}, {"code", "DEVICES_ERROR"}});
}

} // namespace

void listDevices(platform::Platform& platform, const std::string& subcommand) {
    Json members;
    try {
        members = devicesOfKind(platform, subcommand);
    } catch (const platform::PlatformError& error) {
        emitDevicesError(error.localizedDescription());
        return;
    } catch (const std::exception& error) {
        // Not a platform failure, but the command loop must go on all the same.
        emitDevicesError(error.what());
        return;
    }
    emit("devices", members);
}

} // namespace tavrik
