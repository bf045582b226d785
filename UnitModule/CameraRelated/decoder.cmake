# MJPEG -> NV12 preview decoder: libjpeg-turbo fast path, OpenCV fallback.
add_library(kavrel_decoder STATIC
  ${CMAKE_CURRENT_LIST_DIR}/rk_mjpeg_decoder_v2.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rk_mjpeg_decoder_v2.h)
target_include_directories(kavrel_decoder PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(kavrel_decoder
  PUBLIC kavrel_log
  PRIVATE ${OpenCV_LIBS} PkgConfig::TURBOJPEG)

