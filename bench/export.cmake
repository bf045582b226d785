# Exports a synthetic 60 s session at 30 fps as MCAP and as TUM, and prints frame sets per second and MB/s.
add_executable(bench_export ${CMAKE_CURRENT_LIST_DIR}/bench_export.cpp)
target_link_libraries(bench_export PRIVATE kavrel_export kavrel_check opencv_core opencv_imgproc opencv_imgcodecs)
