#include "private_pipewire_server.h"

#include "eventually.h"
#include "private_servers.h"

#include <sys/stat.h>

#include <cstdlib>

namespace test_support {

PrivatePipeWireServer::PrivatePipeWireServer() {
    const char* previous = std::getenv("PULSE_SERVER");
    if (previous) previousServer_ = previous;
    const std::string& runtime = runtime_.path();
    if (runtime.empty()) return;
    chmod(runtime.c_str(), 0700);  // a runtime folder is its owner's alone
    const std::string busSocket = runtime + "/bus";
    const std::string pulseSocket = runtime + "/pulse/native";
    // Everything the servers look up or store stays in the runtime folder: WirePlumber
    // keeps the default devices it was told in its state folder, which would carry over
    // to the next test.
    const ChildProcess::EnvironmentChanges environment{
        {"XDG_RUNTIME_DIR", runtime},
        {"PIPEWIRE_RUNTIME_DIR", runtime},
        {"PULSE_RUNTIME_PATH", runtime + "/pulse"},
        {"XDG_STATE_HOME", runtime + "/state"},
        {"XDG_CONFIG_HOME", runtime + "/config"},
        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + busSocket},
        {"DISPLAY", std::nullopt},
        {"PIPEWIRE_REMOTE", std::nullopt},
        {"PULSE_SERVER", std::nullopt},
    };
    bus_ = ChildProcess::background({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=unix:path=" + busSocket},
                                    -1, environment);
    if (!eventually([&] { return canConnect(busSocket); }, std::chrono::milliseconds(5))) return;
    pipewire_ = ChildProcess::background({"pipewire"}, -1, environment);
    if (!eventually([&] { return canConnect(runtime + "/pipewire-0"); }, std::chrono::milliseconds(5))) return;
    sessionManager_ = ChildProcess::background({"wireplumber"}, -1, environment);
    pulse_ = ChildProcess::background({"pipewire-pulse"}, -1, environment);
    if (!eventually([&] { return canConnect(pulseSocket); }, std::chrono::milliseconds(5))) return;
    address_ = "unix:" + pulseSocket;
    setenv("PULSE_SERVER", address_.c_str(), 1);
    started_ = true;
}

PrivatePipeWireServer::~PrivatePipeWireServer() {
    pulse_.stop();
    sessionManager_.stop();
    pipewire_.stop();
    bus_.stop();
    if (previousServer_) setenv("PULSE_SERVER", previousServer_->c_str(), 1);
    else unsetenv("PULSE_SERVER");
}

} // namespace test_support
