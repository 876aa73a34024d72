# Media assets: container probing with libavformat.
pkg_check_modules(MEDIA_ASSET_LIBAV REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil)
target_link_libraries(platform_linux PRIVATE PkgConfig::MEDIA_ASSET_LIBAV)
