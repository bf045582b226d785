# MJPEG -> NV12 preview decoder: libjpeg-turbo fast path, OpenCV fallback.
add_library(kavrel_decoder STATIC
  ${CMAKE_CURRENT_LIST_DIR}/rk_mjpeg_decoder_v2.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rk_mjpeg_decoder_v2.h)
target_include_directories(kavrel_decoder PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(kavrel_decoder
  PUBLIC kavrel_log
  PRIVATE ${OpenCV_LIBS} PkgConfig::TURBOJPEG)

# Sanitizer suppressions for third-party code, compiled into each program that
# links the queues or the decoder (an interface source is added once per program).
add_library(kavrel_tsan_suppressions INTERFACE)
target_sources(kavrel_tsan_suppressions INTERFACE ${CMAKE_CURRENT_LIST_DIR}/kavrel_tsan_suppressions.cpp)
target_link_libraries(kavrel_decoder PUBLIC kavrel_tsan_suppressions)
target_link_libraries(kavrel_framequeues PUBLIC kavrel_tsan_suppressions)
