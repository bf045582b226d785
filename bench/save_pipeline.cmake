# Feeds the save worker at the depth camera's pace and reports what was saved and dropped.
add_executable(bench_save_pipeline ${CMAKE_CURRENT_LIST_DIR}/bench_save_pipeline.cpp)
target_link_libraries(bench_save_pipeline PRIVATE
  kavrel_tasks kavrel_framequeues kavrel_context kavrel_log Qt5::Core
  opencv_core opencv_imgproc opencv_imgcodecs)
