# Checks a synthetic 1280x720 session and prints frame sets checked per second.
add_executable(bench_check ${CMAKE_CURRENT_LIST_DIR}/bench_check.cpp)
target_link_libraries(bench_check PRIVATE kavrel_check opencv_core opencv_imgproc opencv_imgcodecs)
