# Screen streams: XCB grabs over SHM, the pointer from XFixes, change detection by
# XDamage, window contents through XComposite; scaling and packing with libyuv;
# system audio from PulseAudio.
pkg_check_modules(SCREEN_STREAM_XCB REQUIRED IMPORTED_TARGET xcb xcb-shm xcb-xfixes xcb-damage xcb-composite)
pkg_check_modules(SCREEN_STREAM_PULSE REQUIRED IMPORTED_TARGET libpulse)
target_link_libraries(platform_linux PRIVATE PkgConfig::SCREEN_STREAM_XCB PkgConfig::SCREEN_STREAM_PULSE)
find_library(LIBYUV_LIBRARY NAMES yuv REQUIRED)
find_path(LIBYUV_INCLUDE_DIR NAMES libyuv.h REQUIRED)
target_include_directories(platform_linux PRIVATE ${LIBYUV_INCLUDE_DIR})
target_link_libraries(platform_linux PRIVATE ${LIBYUV_LIBRARY})
