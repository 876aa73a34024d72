#pragma once
// What the running platform can do, stated by the backend instead of an
// operating-system version number. The fake backend lets a test choose either side.

namespace platform {

struct Capabilities {
    // Each concern adds the flags its callers branch on, with the default of the Linux backend.
};

} // namespace platform
