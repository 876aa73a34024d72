#pragma once
// A client of the AT-SPI2 accessibility bus, speaking its D-Bus interfaces
// directly: every call has its own short deadline, the connection is made on
// demand and made again once the bus dropped it (the bus restarted), and nothing
// is cached from one query to the next but what never changes (an application's
// process, an object's role). Not thread-safe: the accessibility queue owns it.

#include "accessibility/bounded_dbus.h"
#include "platform/geometry.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform::linux_backend {

// An accessible object: the bus name of its application and its object path.
struct AtspiReference {
    std::string busName;
    std::string path;
    bool operator==(const AtspiReference&) const = default;
};

class AtspiClient {
public:
    explicit AtspiClient(std::chrono::milliseconds callLimit) : callLimit_(callLimit) {}

    // Connected to the accessibility bus (connecting when not, while the session
    // says accessibility is on); false when it cannot be reached.
    bool connect();
    // Forgets a connection the bus has dropped, so the next connect() makes a new one.
    void forgetLostConnection();

    // The registry's root: its children are the applications.
    static AtspiReference desktop();

    // Each call: nullopt when it failed. timedOut() tells whether the last failure
    // was an unanswered call (the deadline passed) rather than an error reply.
    std::optional<std::vector<AtspiReference>> children(const AtspiReference& object);
    std::optional<uint32_t> role(const AtspiReference& object);
    std::optional<bool> showing(const AtspiReference& object);
    std::optional<Rect> screenExtents(const AtspiReference& object);
    // The child at a point of the screen; an empty path when there is none.
    std::optional<AtspiReference> childAtPoint(const AtspiReference& object, int x, int y);
    std::optional<std::string> description(const AtspiReference& object);
    std::optional<std::vector<std::string>> interfaces(const AtspiReference& object);
    // The Value interface's text of the current value.
    std::optional<std::string> valueText(const AtspiReference& object);
    // The process of an application's connection, asked of the bus itself.
    std::optional<uint32_t> processOf(const std::string& busName);

    bool timedOut() const { return timedOut_; }
    // Counts the connections made: bus names of an earlier one mean nothing on a later one.
    uint64_t connectionsMade() const { return connectionsMade_; }

private:
    DBusMessagePointer call(DBusMessage* request);
    DBusMessagePointer property(const AtspiReference& object, const char* interface, const char* name);

    const std::chrono::milliseconds callLimit_;
    DBusConnectionPointer connection_;
    bool timedOut_ = false;
    uint64_t connectionsMade_ = 0;
    std::map<std::string, uint32_t> processOfBusName_;
    std::map<std::pair<std::string, std::string>, uint32_t> roleOf_;
};

} // namespace platform::linux_backend
