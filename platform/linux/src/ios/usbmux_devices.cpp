#include "ios/usbmux_devices.h"

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <plist/plist.h>
#include <usbmuxd.h>

#include <cstdlib>
#include <map>
#include <mutex>

namespace platform::linux_backend {
namespace {

constexpr const char* kLockdownLabel = "kalvesta";

struct PlistDeleter {
    void operator()(plist_t plist) const { plist_free(plist); }
};
using PlistRef = std::unique_ptr<void, PlistDeleter>;

std::string plistString(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING) return {};
    char* text = nullptr;
    plist_get_string_val(node, &text);
    std::string result = text ? text : "";
    std::free(text);
    return result;
}

// The host ID this computer was paired with, from the pair record usbmuxd keeps.
std::optional<std::string> pairedHostID(const std::string& udid) {
    char* data = nullptr;
    uint32_t size = 0;
    if (usbmuxd_read_pair_record(udid.c_str(), &data, &size) != 0 || !data) return std::nullopt;
    plist_t record = nullptr;
    plist_from_memory(data, size, &record);
    std::free(data);
    PlistRef owner(record);
    if (!record || plist_get_node_type(record) != PLIST_DICT) return std::nullopt;
    auto hostID = plistString(plist_dict_get_item(record, "HostID"));
    if (hostID.empty()) return std::nullopt;
    return hostID;
}

CaptureDevice baseDevice(const std::string& udid) {
    CaptureDevice device;
    device.uniqueID = udid;
    device.manufacturer = kAppleManufacturer;
    device.deviceType = CaptureDeviceType::external;
    device.mediaTypes = {MediaType::muxed};
    device.connected = true;
    return device;
}

// Name and model from lockdown; trusted when this computer holds a pair record
// the device accepts for a session. Without a pair record, or when the device
// refuses the session (pairing dialog pending, password protected, unknown host
// ID) or cannot be reached, the device is suspended.
CaptureDevice describe(const std::string& udid) {
    auto device = baseDevice(udid);
    device.suspended = true;
    idevice_t handle = nullptr;
    if (idevice_new_with_options(&handle, udid.c_str(), IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS) return device;
    lockdownd_client_t client = nullptr;
    if (lockdownd_client_new(handle, &client, kLockdownLabel) == LOCKDOWN_E_SUCCESS) {
        for (auto [key, field] : {std::pair{"DeviceName", &device.localizedName}, std::pair{"ProductType", &device.modelID}}) {
            plist_t value = nullptr;
            if (lockdownd_get_value(client, nullptr, key, &value) == LOCKDOWN_E_SUCCESS) *field = plistString(value);
            if (value) plist_free(value);
        }
        if (auto hostID = pairedHostID(udid)) {
            char* sessionID = nullptr;
            int sslEnabled = 0;
            if (lockdownd_start_session(client, hostID->c_str(), &sessionID, &sslEnabled) == LOCKDOWN_E_SUCCESS) {
                device.suspended = false;
                lockdownd_stop_session(client, sessionID);
            }
            std::free(sessionID);
        }
        lockdownd_client_free(client);
    }
    idevice_free(handle);
    return device;
}

std::vector<std::string> attachedUdids() {
    usbmuxd_device_info_t* list = nullptr;
    int count = usbmuxd_get_device_list(&list);
    std::vector<std::string> udids;
    for (int i = 0; i < count; ++i) {
        if (list[i].conn_type == CONNECTION_TYPE_USB) udids.emplace_back(list[i].udid);
    }
    if (list) usbmuxd_device_list_free(&list);
    return udids;
}

class UsbmuxDeviceNotifications final : public DeviceNotificationCenter {
public:
    ~UsbmuxDeviceNotifications() override {
        std::lock_guard lock(subscriptionMutex_);
        if (subscription_) usbmuxd_events_unsubscribe(subscription_);
    }

    std::shared_ptr<DeviceObserverHandle> addObserver(DeviceNotification name, std::shared_ptr<Queue> queue,
                                                      DeviceObserverBlock block) override {
        auto handle = observers_->add(name, std::move(queue), std::move(block));
        std::lock_guard lock(subscriptionMutex_);
        if (!subscription_) usbmuxd_events_subscribe(&subscription_, &UsbmuxDeviceNotifications::onEvent, this);
        return handle;
    }

    void removeObserver(const std::shared_ptr<DeviceObserverHandle>& observer) override {
        observers_->remove(observer);
        std::lock_guard lock(subscriptionMutex_);
        if (subscription_ && observers_->size() == 0) {
            usbmuxd_events_unsubscribe(subscription_);
            subscription_ = nullptr;
        }
    }

private:
    // On libusbmuxd's listener thread. The device is described on a queue of
    // ours, in event order, so that the listener is never held up by lockdown.
    static void onEvent(const usbmuxd_event_t* event, void* userData) {
        auto* self = static_cast<UsbmuxDeviceNotifications*>(userData);
        if (event->device.conn_type != CONNECTION_TYPE_USB) return;
        std::string udid = event->device.udid;
        auto observers = self->observers_;
        auto known = self->known_;
        if (event->event == UE_DEVICE_ADD) {
            self->events_->async([observers, known, udid] {
                auto device = describe(udid);
                known->remember(device);
                observers->post(DeviceNotification::wasConnected, device);
            });
        } else if (event->event == UE_DEVICE_REMOVE) {
            self->events_->async([observers, known, udid] {
                auto device = known->forget(udid).value_or(baseDevice(udid));
                device.connected = false;
                observers->post(DeviceNotification::wasDisconnected, device);
            });
        }
    }

    // The devices seen attaching, so that a detached one is reported with its name and model.
    struct KnownDevices {
        void remember(const CaptureDevice& device) {
            std::lock_guard lock(mutex);
            devices[device.uniqueID] = device;
        }
        std::optional<CaptureDevice> forget(const std::string& udid) {
            std::lock_guard lock(mutex);
            auto found = devices.find(udid);
            if (found == devices.end()) return std::nullopt;
            auto device = std::move(found->second);
            devices.erase(found);
            return device;
        }
        std::mutex mutex;  // guards devices
        std::map<std::string, CaptureDevice> devices;
    };

    std::shared_ptr<DeviceObserverList> observers_ = std::make_shared<DeviceObserverList>();
    std::shared_ptr<KnownDevices> known_ = std::make_shared<KnownDevices>();
    std::shared_ptr<Queue> events_ = makeSerialQueue("usbmuxd events");
    std::mutex subscriptionMutex_;  // guards subscription_
    usbmuxd_subscription_context_t subscription_ = nullptr;
};

} // namespace

std::vector<CaptureDevice> listUsbmuxDevices() {
    std::vector<CaptureDevice> devices;
    for (const auto& udid : attachedUdids()) devices.push_back(describe(udid));
    return devices;
}

std::optional<CaptureDevice> usbmuxDevice(const std::string& udid) {
    for (const auto& attached : attachedUdids()) {
        if (attached == udid) return describe(udid);
    }
    return std::nullopt;
}

std::shared_ptr<DeviceNotificationCenter> makeUsbmuxDeviceNotifications() {
    return std::make_shared<UsbmuxDeviceNotifications>();
}

} // namespace platform::linux_backend
