# Asset writer: FFmpeg for encoding and muxing, libyuv for pixel repacking.
pkg_check_modules(ASSET_WRITER_FFMPEG REQUIRED IMPORTED_TARGET
  libavformat libavcodec libavutil libswresample libswscale)
find_library(LIBYUV_LIBRARY NAMES yuv REQUIRED)
find_path(LIBYUV_INCLUDE_DIR NAMES libyuv.h REQUIRED)
target_include_directories(platform_linux PRIVATE ${LIBYUV_INCLUDE_DIR})
target_link_libraries(platform_linux PRIVATE PkgConfig::ASSET_WRITER_FFMPEG ${LIBYUV_LIBRARY})
# The colour-conversion kernel relies on auto-vectorisation (AVX2 clone picked at run time).
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/src/bgra_to_yuv.cpp PROPERTIES COMPILE_OPTIONS "-O3")
