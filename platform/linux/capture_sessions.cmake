# Capture sessions: PulseAudio microphones, V4L2 cameras with MJPEG decoded by
# libavcodec and YUYV converted by libyuv.
pkg_check_modules(CAPTURE_SESSION_LIBS REQUIRED IMPORTED_TARGET libpulse libavcodec libavutil libswscale)
target_link_libraries(platform_linux PRIVATE PkgConfig::CAPTURE_SESSION_LIBS)
