# iOS devices: usbmuxd's device list and events (libusbmuxd), lockdown (libimobiledevice), plists (libplist).
pkg_check_modules(IOS_DEVICE_LIBS REQUIRED IMPORTED_TARGET libimobiledevice-1.0 libusbmuxd-2.0 libplist-2.0)
target_link_libraries(platform_linux PRIVATE PkgConfig::IOS_DEVICE_LIBS)
