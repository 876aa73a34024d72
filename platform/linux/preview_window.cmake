# Preview window: an XCB window shaped with the Shape extension, drawn over MIT-SHM,
# camera frames scaled with libyuv.
pkg_check_modules(PREVIEW_WINDOW_XCB REQUIRED IMPORTED_TARGET xcb xcb-shape xcb-shm xcb-icccm)
target_link_libraries(platform_linux PRIVATE PkgConfig::PREVIEW_WINDOW_XCB)
find_library(LIBYUV_LIBRARY NAMES yuv REQUIRED)
find_path(LIBYUV_INCLUDE_DIR NAMES libyuv.h REQUIRED)
target_include_directories(platform_linux PRIVATE ${LIBYUV_INCLUDE_DIR})
target_link_libraries(platform_linux PRIVATE ${LIBYUV_LIBRARY})
