#include "private_servers.h"

#include "eventually.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace test_support {
namespace {

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

void restore(const char* name, const std::optional<std::string>& value) {
    if (value) setenv(name, value->c_str(), 1);
    else unsetenv(name);
}

// Reads the display number that Xvfb writes to the -displayfd descriptor once it accepts clients.
std::string readDisplayNumber(int fd) {
    std::string number;
    for (int attempt = 0; attempt < 100; ++attempt) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) continue;
        char buffer[16];
        ssize_t count = read(fd, buffer, sizeof buffer);
        if (count <= 0) break;
        number.append(buffer, static_cast<size_t>(count));
        if (number.find('\n') != std::string::npos) break;
    }
    while (!number.empty() && (number.back() == '\n' || number.back() == ' ')) number.pop_back();
    return number;
}

xcb_atom_t internAtom(xcb_connection_t* connection, const char* name) {
    auto* reply = xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, uint16_t(strlen(name)), name), nullptr);
    xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    free(reply);
    return atom;
}

bool listsClient(xcb_connection_t* connection, xcb_window_t root, xcb_atom_t clientList, xcb_window_t window) {
    auto* property = xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, root, clientList, XCB_ATOM_WINDOW, 0, 1024), nullptr);
    bool listed = false;
    if (property) {
        const auto* windows = static_cast<const xcb_window_t*>(xcb_get_property_value(property));
        int count = xcb_get_property_value_length(property) / 4;
        for (int i = 0; i < count; ++i) listed = listed || windows[i] == window;
    }
    free(property);
    return listed;
}

// The window manager is ready once it manages a newly mapped window: it publishes
// its check window a little before it takes over the map requests.
bool windowManagerManages(const std::string& display) {
    xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return false;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    xcb_atom_t clientList = internAtom(connection, "_NET_CLIENT_LIST");
    bool managed = false;
    for (int attempt = 0; attempt < 20 && !managed; ++attempt) {
        xcb_window_t probe = xcb_generate_id(connection);
        xcb_create_window(connection, XCB_COPY_FROM_PARENT, probe, screen->root, 0, 0, 10, 10, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
        xcb_map_window(connection, probe);
        xcb_flush(connection);
        for (int poll = 0; poll < 25 && !managed; ++poll) {
            managed = listsClient(connection, screen->root, clientList, probe);
            if (!managed) usleep(20000);
        }
        xcb_destroy_window(connection, probe);
        xcb_flush(connection);
    }
    free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    xcb_disconnect(connection);
    return managed;
}

} // namespace

bool canConnect(const std::string& socketPath) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

PrivateXServer::PrivateXServer(bool resetsWhenIdle) : previousDisplay_(environment("DISPLAY")) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return;
    // The write end must survive into Xvfb: hand it over by a fixed descriptor number.
    int handedFd = fcntl(pipeFds[1], F_DUPFD, 10);
    std::vector<std::string> arguments{"Xvfb", "-displayfd", std::to_string(handedFd), "-screen", "0", "1920x1080x24",
                                       "-nolisten", "tcp"};
    if (!resetsWhenIdle) arguments.push_back("-noreset");
    server_ = ChildProcess::background(arguments);
    close(handedFd);
    close(pipeFds[1]);
    std::string number = readDisplayNumber(pipeFds[0]);
    close(pipeFds[0]);
    if (number.empty()) return;
    display_ = ":" + number;
    setenv("DISPLAY", display_.c_str(), 1);
}

PrivateXServer::~PrivateXServer() {
    windowManager_.stop();
    server_.stop();
    restore("DISPLAY", previousDisplay_);
}

void PrivateXServer::stop() {
    windowManager_.stop();
    server_.stop();
}

bool PrivateXServer::startWindowManager() {
    windowManager_ = ChildProcess::background({"openbox", "--sm-disable"});
    return windowManagerManages(display_);
}

PrivatePulseServer::PrivatePulseServer(bool realTimeMicrophone, const std::vector<std::string>& extraModules)
    : previousServer_(environment("PULSE_SERVER")) {
    if (runtime_.path().empty()) return;
    std::string socketPath = runtime_.path() + "/native";
    setenv("PULSE_RUNTIME_PATH", runtime_.path().c_str(), 1);
    setenv("PULSE_STATE_PATH", runtime_.path().c_str(), 1);
    std::vector<std::string> arguments{"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                                       "--disallow-exit=no", "--disable-shm=yes",
                                       "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socketPath,
                                       std::string("--load=module-null-sink sink_name=") + kNullSink};
    if (realTimeMicrophone) {
        arguments.push_back("--load=module-null-sink sink_name=devices_test_microphone_sink");
        arguments.push_back("--load=module-sine sink=devices_test_microphone_sink frequency=440");
        arguments.push_back(std::string("--load=module-remap-source master=devices_test_microphone_sink.monitor source_name=") +
                            kSineSource);
    } else {
        arguments.push_back(std::string("--load=module-sine-source frequency=440 source_name=") + kSineSource);
    }
    for (const auto& module : extraModules) arguments.push_back("--load=" + module);
    // No session bus and no display: with DISPLAY set and no bus address, libdbus would
    // autolaunch a session bus through X11 (where dbus-x11 is installed), which outlives
    // the daemon. The daemon goes without one, as it may.
    daemon_ = ChildProcess::background(
        arguments, -1, {{"DISPLAY", std::nullopt}, {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + runtime_.path() + "/no-bus"}});
    address_ = "unix:" + socketPath;
    setenv("PULSE_SERVER", address_.c_str(), 1);
    started_ = eventually([&] { return canConnect(socketPath); }, std::chrono::milliseconds(20));
}

PrivatePulseServer::~PrivatePulseServer() {
    daemon_.stop();
    restore("PULSE_SERVER", previousServer_);
}

} // namespace test_support
