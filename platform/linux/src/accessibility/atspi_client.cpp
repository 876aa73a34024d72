#include "accessibility/atspi_client.h"

#include "accessibility/accessibility_bus.h"

#include <atspi/atspi-constants.h>

namespace platform::linux_backend {
namespace {

constexpr const char* kAccessible = "org.a11y.atspi.Accessible";
constexpr const char* kComponent = "org.a11y.atspi.Component";
constexpr const char* kValue = "org.a11y.atspi.Value";
constexpr const char* kNullPath = "/org/a11y/atspi/null";
// Caches of what never changes are emptied when they grow past this (objects and
// applications come and go).
constexpr size_t kCacheLimit = 4096;

// Null for a reference that names no bus name (a peer may send anything as one):
// libdbus ends the process when asked to build a call to such a name.
DBusMessage* methodCall(const AtspiReference& object, const char* interface, const char* method) {
    if (!dbus_validate_bus_name(object.busName.c_str(), nullptr) || !dbus_validate_path(object.path.c_str(), nullptr)) {
        return nullptr;
    }
    return dbus_message_new_method_call(object.busName.c_str(), object.path.c_str(), interface, method);
}

// Reads a (so) structure: a bus name and an object path.
std::optional<AtspiReference> readReference(DBusMessageIter* iterator) {
    if (dbus_message_iter_get_arg_type(iterator) != DBUS_TYPE_STRUCT) return std::nullopt;
    DBusMessageIter fields;
    dbus_message_iter_recurse(iterator, &fields);
    if (dbus_message_iter_get_arg_type(&fields) != DBUS_TYPE_STRING) return std::nullopt;
    const char* busName = nullptr;
    dbus_message_iter_get_basic(&fields, &busName);
    if (!dbus_message_iter_next(&fields) || dbus_message_iter_get_arg_type(&fields) != DBUS_TYPE_OBJECT_PATH) {
        return std::nullopt;
    }
    const char* path = nullptr;
    dbus_message_iter_get_basic(&fields, &path);
    return AtspiReference{busName ? busName : "", path ? path : ""};
}

// The reply's first argument as a variant's content.
bool enterVariant(DBusMessage* reply, DBusMessageIter* content) {
    DBusMessageIter iterator;
    if (!dbus_message_iter_init(reply, &iterator) || dbus_message_iter_get_arg_type(&iterator) != DBUS_TYPE_VARIANT) {
        return false;
    }
    dbus_message_iter_recurse(&iterator, content);
    return true;
}

std::optional<std::string> stringProperty(DBusMessage* reply) {
    DBusMessageIter content;
    if (!reply || !enterVariant(reply, &content) || dbus_message_iter_get_arg_type(&content) != DBUS_TYPE_STRING) {
        return std::nullopt;
    }
    const char* text = nullptr;
    dbus_message_iter_get_basic(&content, &text);
    return std::string(text ? text : "");
}

} // namespace

AtspiReference AtspiClient::desktop() { return {"org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root"}; }

bool AtspiClient::connect() {
    if (connection_ && dbus_connection_get_is_connected(connection_.get())) return true;
    connection_.reset();
    processOfBusName_.clear();
    roleOf_.clear();
    auto address = enabledAccessibilityBusAddress();
    if (!address) return false;
    connection_ = connectToBusBefore(*address, DBusClock::now() + kBusCheckLimit);
    if (!connection_) return false;
    ++connectionsMade_;
    return true;
}

void AtspiClient::forgetLostConnection() {
    if (!connection_) return;
    // Takes in what the bus sent meanwhile (a hang-up among it) without waiting.
    dbus_connection_read_write(connection_.get(), 0);
    if (!dbus_connection_get_is_connected(connection_.get())) connection_.reset();
}

DBusMessagePointer AtspiClient::call(DBusMessage* request) {
    timedOut_ = false;
    if (!connection_) {
        if (request) dbus_message_unref(request);
        return nullptr;
    }
    auto deadline = DBusClock::now() + callLimit_;
    DBusMessagePointer reply = callBefore(connection_.get(), request, deadline);
    if (!reply && DBusClock::now() >= deadline) timedOut_ = true;
    return reply;
}

DBusMessagePointer AtspiClient::property(const AtspiReference& object, const char* interface, const char* name) {
    DBusMessage* request = methodCall(object, "org.freedesktop.DBus.Properties", "Get");
    if (!request) return nullptr;
    if (!dbus_message_append_args(request, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID)) {
        dbus_message_unref(request);
        return nullptr;
    }
    return call(request);
}

std::optional<std::vector<AtspiReference>> AtspiClient::children(const AtspiReference& object) {
    DBusMessagePointer reply = call(methodCall(object, kAccessible, "GetChildren"));
    DBusMessageIter iterator;
    if (!reply || !dbus_message_iter_init(reply.get(), &iterator) ||
        dbus_message_iter_get_arg_type(&iterator) != DBUS_TYPE_ARRAY) {
        return std::nullopt;
    }
    std::vector<AtspiReference> found;
    DBusMessageIter element;
    dbus_message_iter_recurse(&iterator, &element);
    while (dbus_message_iter_get_arg_type(&element) != DBUS_TYPE_INVALID) {
        if (auto reference = readReference(&element)) found.push_back(std::move(*reference));
        dbus_message_iter_next(&element);
    }
    return found;
}

std::optional<uint32_t> AtspiClient::role(const AtspiReference& object) {
    auto key = std::make_pair(object.busName, object.path);
    if (auto known = roleOf_.find(key); known != roleOf_.end()) return known->second;
    DBusMessagePointer reply = call(methodCall(object, kAccessible, "GetRole"));
    dbus_uint32_t role = 0;
    if (!reply || !dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_UINT32, &role, DBUS_TYPE_INVALID)) {
        return std::nullopt;
    }
    if (roleOf_.size() >= kCacheLimit) roleOf_.clear();
    roleOf_[key] = role;
    return role;
}

std::optional<bool> AtspiClient::showing(const AtspiReference& object) {
    DBusMessagePointer reply = call(methodCall(object, kAccessible, "GetState"));
    DBusMessageIter iterator;
    if (!reply || !dbus_message_iter_init(reply.get(), &iterator) ||
        dbus_message_iter_get_arg_type(&iterator) != DBUS_TYPE_ARRAY) {
        return std::nullopt;
    }
    // Two 32-bit words: bit n of the pair is state n.
    DBusMessageIter word;
    dbus_message_iter_recurse(&iterator, &word);
    constexpr int kShowing = ATSPI_STATE_SHOWING;
    for (int index = 0; dbus_message_iter_get_arg_type(&word) == DBUS_TYPE_UINT32; ++index) {
        dbus_uint32_t bits = 0;
        dbus_message_iter_get_basic(&word, &bits);
        if (index == kShowing / 32) return ((bits >> (kShowing % 32)) & 1u) != 0;
        dbus_message_iter_next(&word);
    }
    return false;
}

std::optional<Rect> AtspiClient::screenExtents(const AtspiReference& object) {
    DBusMessage* request = methodCall(object, kComponent, "GetExtents");
    dbus_uint32_t coordinates = ATSPI_COORD_TYPE_SCREEN;
    if (!request || !dbus_message_append_args(request, DBUS_TYPE_UINT32, &coordinates, DBUS_TYPE_INVALID)) {
        if (request) dbus_message_unref(request);
        return std::nullopt;
    }
    DBusMessagePointer reply = call(request);
    DBusMessageIter iterator;
    if (!reply || !dbus_message_iter_init(reply.get(), &iterator) ||
        dbus_message_iter_get_arg_type(&iterator) != DBUS_TYPE_STRUCT) {
        return std::nullopt;
    }
    DBusMessageIter field;
    dbus_message_iter_recurse(&iterator, &field);
    dbus_int32_t values[4] = {0, 0, 0, 0};
    for (auto& value : values) {
        if (dbus_message_iter_get_arg_type(&field) != DBUS_TYPE_INT32) return std::nullopt;
        dbus_message_iter_get_basic(&field, &value);
        dbus_message_iter_next(&field);
    }
    return Rect{{double(values[0]), double(values[1])}, {double(values[2]), double(values[3])}};
}

std::optional<AtspiReference> AtspiClient::childAtPoint(const AtspiReference& object, int x, int y) {
    DBusMessage* request = methodCall(object, kComponent, "GetAccessibleAtPoint");
    dbus_int32_t px = x;
    dbus_int32_t py = y;
    dbus_uint32_t coordinates = ATSPI_COORD_TYPE_SCREEN;
    if (!request || !dbus_message_append_args(request, DBUS_TYPE_INT32, &px, DBUS_TYPE_INT32, &py, DBUS_TYPE_UINT32,
                                              &coordinates, DBUS_TYPE_INVALID)) {
        if (request) dbus_message_unref(request);
        return std::nullopt;
    }
    DBusMessagePointer reply = call(request);
    DBusMessageIter iterator;
    if (!reply || !dbus_message_iter_init(reply.get(), &iterator)) return std::nullopt;
    auto reference = readReference(&iterator);
    if (!reference) return std::nullopt;
    if (reference->path == kNullPath || reference->busName.empty()) return AtspiReference{};
    return reference;
}

std::optional<std::string> AtspiClient::description(const AtspiReference& object) {
    DBusMessagePointer reply = property(object, kAccessible, "Description");
    return stringProperty(reply.get());
}

std::optional<std::vector<std::string>> AtspiClient::interfaces(const AtspiReference& object) {
    DBusMessagePointer reply = call(methodCall(object, kAccessible, "GetInterfaces"));
    DBusMessageIter iterator;
    if (!reply || !dbus_message_iter_init(reply.get(), &iterator) ||
        dbus_message_iter_get_arg_type(&iterator) != DBUS_TYPE_ARRAY) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    DBusMessageIter element;
    dbus_message_iter_recurse(&iterator, &element);
    while (dbus_message_iter_get_arg_type(&element) == DBUS_TYPE_STRING) {
        const char* name = nullptr;
        dbus_message_iter_get_basic(&element, &name);
        names.emplace_back(name ? name : "");
        dbus_message_iter_next(&element);
    }
    return names;
}

std::optional<std::string> AtspiClient::valueText(const AtspiReference& object) {
    DBusMessagePointer reply = property(object, kValue, "Text");
    return stringProperty(reply.get());
}

std::optional<uint32_t> AtspiClient::processOf(const std::string& busName) {
    if (auto known = processOfBusName_.find(busName); known != processOfBusName_.end()) return known->second;
    DBusMessage* request = dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS,
                                                        "GetConnectionUnixProcessID");
    const char* name = busName.c_str();
    if (!request || !dbus_message_append_args(request, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID)) {
        if (request) dbus_message_unref(request);
        return std::nullopt;
    }
    DBusMessagePointer reply = call(request);
    dbus_uint32_t pid = 0;
    if (!reply || !dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_UINT32, &pid, DBUS_TYPE_INVALID)) {
        return std::nullopt;
    }
    if (processOfBusName_.size() >= kCacheLimit) processOfBusName_.clear();
    processOfBusName_[busName] = pid;
    return pid;
}

} // namespace platform::linux_backend
