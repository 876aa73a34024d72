# Displays, screens and windows: XCB with RandR (monitors, EDID) and the EWMH/ICCCM properties.
pkg_check_modules(XCB_LISTING REQUIRED IMPORTED_TARGET xcb xcb-randr xcb-ewmh xcb-icccm)
target_link_libraries(platform_linux PRIVATE PkgConfig::XCB_LISTING)
