# Power management: the systemd-logind idle inhibitor over D-Bus.
pkg_check_modules(POWER_MANAGEMENT_DBUS REQUIRED IMPORTED_TARGET dbus-1)
target_link_libraries(platform_linux PRIVATE PkgConfig::POWER_MANAGEMENT_DBUS)
