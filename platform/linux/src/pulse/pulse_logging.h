#pragma once
// libpulse writes its own complaints (a socket it could not make, a server that went
// away) to standard error, where the program allows nothing but its own diagnostics.

namespace platform::linux_backend {

// Sends libpulse's logging to the system log instead, unless the user chose where it
// goes. Call before the first libpulse call; once is enough.
void keepLibpulseOffStandardError();

} // namespace platform::linux_backend
