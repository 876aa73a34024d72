# Accessibility: AT-SPI2 (libatspi) for the elements, libdbus for the accessibility
# bus check, XCB for the pointer and the window stacking. A library of its own, so
# that the cursor plug-in links only this concern of the Linux backend.
pkg_check_modules(ACCESSIBILITY_LIBS REQUIRED IMPORTED_TARGET atspi-2 dbus-1 glib-2.0 gobject-2.0 xcb)
file(GLOB PLATFORM_LINUX_ACCESSIBILITY_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/accessibility/*.cpp)
add_library(platform_linux_accessibility ${PLATFORM_LINUX_ACCESSIBILITY_SOURCES})
target_include_directories(platform_linux_accessibility PUBLIC ${CMAKE_CURRENT_LIST_DIR}/include
                           PRIVATE ${CMAKE_CURRENT_LIST_DIR}/accessibility)
target_link_libraries(platform_linux_accessibility PUBLIC platform_core PRIVATE PkgConfig::ACCESSIBILITY_LIBS)
