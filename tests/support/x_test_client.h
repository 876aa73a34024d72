#pragma once
// The tests' own X client: makes windows (plain or filled with a colour) and
// monitors on the private X server, and moves the pointer.

#include <xcb/xcb.h>

#include <optional>
#include <string>
#include <vector>

namespace test_support {

struct Colour {
    uint8_t red = 0, green = 0, blue = 0;
    uint32_t pixel() const { return uint32_t(red) << 16 | uint32_t(green) << 8 | blue; }
};

struct NewWindow {
    std::optional<std::string> utf8Title = std::nullopt;    // _NET_WM_NAME
    std::optional<std::string> legacyTitle = std::nullopt;  // WM_NAME, ISO 8859-1
    std::optional<std::pair<std::string, std::string>> windowClass = std::nullopt;  // instance, class
    bool withProcessID = false;
    int16_t x = 10;
    int16_t y = 20;
    uint16_t width = 300;
    uint16_t height = 200;
    bool map = true;
    bool desktopType = false;
    bool above = false;
    bool startIconic = false;
};

struct NewMonitor {
    std::string name;
    bool withOutput = false;  // the server's only output
    int16_t x = 0;
    int16_t y = 0;
    uint16_t width = 0;
    uint16_t height = 0;
};

class XTestClient {
public:
    XTestClient();  // connects to $DISPLAY
    ~XTestClient();
    bool connected() const;

    xcb_window_t createWindow(const NewWindow& wanted);
    // A mapped, borderless window filled with the colour, outside any window manager's care.
    xcb_window_t window(int16_t x, int16_t y, uint16_t width, uint16_t height, Colour colour);
    void fill(xcb_window_t window, Colour colour);
    void raise(xcb_window_t window);
    void warpPointer(int16_t x, int16_t y);
    void setInputFocus(xcb_window_t window);
    void requestActivation(xcb_window_t window);

    xcb_atom_t atom(const std::string& name);
    // The X server's one RandR output.
    uint32_t firstOutput();
    void setMonitor(const NewMonitor& wanted);
    void setPrimaryOutput(uint32_t output);
    void setEdidProductName(uint32_t output, const std::string& name);
    void setWorkArea(int32_t x, int32_t y, uint32_t width, uint32_t height);
    // Switches the server's one output to a mode of that size (made when it has none) and
    // sizes the screen to it, as `xrandr --output ... --mode WxH` does. No larger than
    // the server's largest screen (Xvfb: the one it started with). False when refused.
    bool setScreenSize(uint16_t width, uint16_t height);

    // Waits until the server has handled every request sent so far.
    void sync();

private:
    void setProperty(xcb_window_t window, xcb_atom_t property, xcb_atom_t type, uint8_t format, uint32_t count,
                     const void* data);

    xcb_connection_t* connection_;
    xcb_screen_t* screen_ = nullptr;
};

} // namespace test_support
