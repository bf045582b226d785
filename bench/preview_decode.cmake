# Milliseconds per preview frame of the two MJPEG decode paths and a bare decode.
add_executable(bench_preview_decode ${CMAKE_CURRENT_LIST_DIR}/bench_preview_decode.cpp)
target_link_libraries(bench_preview_decode PRIVATE kavrel_decoder ${OpenCV_LIBS} PkgConfig::TURBOJPEG)
