#pragma once
// Power management on Linux: an idle inhibitor of systemd-logind, taken over the
// system D-Bus (the bus at $DBUS_SYSTEM_BUS_ADDRESS when set). Where logind cannot
// be reached the activity does nothing; beginning one never fails.

#include "platform/activity.h"

#include <memory>

namespace platform::linux_backend {

std::shared_ptr<PowerManagement> makeLogindPowerManagement();

} // namespace platform::linux_backend
