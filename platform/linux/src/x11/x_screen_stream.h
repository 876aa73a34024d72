#pragma once
// Screen streams on X11: one grabber thread per stream paced by the minimum frame
// interval, frames grabbed over SHM (XFixes pointer, XDamage change detection,
// XComposite for windows), system audio from the monitor of the default
// PulseAudio sink, and the microphone when the configuration asks for it.

#include "platform/screen_stream.h"

#include <memory>

namespace platform::linux_backend {

std::shared_ptr<StreamService> makeXScreenStreams();

} // namespace platform::linux_backend
