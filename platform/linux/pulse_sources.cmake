# Microphones: the PulseAudio sources.
pkg_check_modules(PULSE_SOURCES REQUIRED IMPORTED_TARGET libpulse)
target_link_libraries(platform_linux PRIVATE PkgConfig::PULSE_SOURCES)
