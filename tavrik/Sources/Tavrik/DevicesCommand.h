#pragma once
// The "devices" query: lists one kind of capture source, or microphones and
// cameras together, as one "devices" event whose members hold the lists as
// pretty-printed JSON text.

#include "platform/platform.h"

#include <string>

namespace tavrik {

// `subcommand` is the kind word, already lower-cased; "screens", "windows",
// "audios", "webcams"; any other word (the empty one too) lists microphones and
// cameras. A failed display or window listing answers "error" with "DEVICES_ERROR".
// The lists are the platform's.
void listDevices(platform::Platform& platform, const std::string& subcommand);

} // namespace tavrik
