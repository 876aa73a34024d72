#pragma once
// What the lumbra binding needs beyond the core: the platform it runs on (the
// Linux one in the plug-in, the fake one in its test build) and the thread that
// serves the plug-in's main queue.

#include <napi.h>

namespace lumbra_binding {

// Installs the plug-in's platform, once per process.
void installPlatform();
// Adds the test build's control functions to the exports; nothing in the plug-in.
void addTestControls(Napi::Env env, Napi::Object exports);

// The host's main thread belongs to Node, so the plug-in serves its main queue on a
// thread of its own: started with the first environment that loads the plug-in,
// ended when the last one is torn down or the process exits.
void retainMainQueue();
void releaseMainQueue();

} // namespace lumbra_binding
