# Feeds the save worker at the depth camera's pace and reports what was saved and dropped.
add_executable(bench_save_pipeline ${CMAKE_CURRENT_LIST_DIR}/bench_save_pipeline.cpp)
target_link_libraries(bench_save_pipeline PRIVATE
  kavrel_tasks kavrel_framequeues kavrel_context kavrel_log Qt5::Core
  opencv_core opencv_imgproc opencv_imgcodecs)
# The heavy simulated scene's frames where the simulated camera is built.
if(TARGET kavrel_obsdk_sim)
  target_link_libraries(bench_save_pipeline PRIVATE kavrel_obsdk_sim)
  target_include_directories(bench_save_pipeline PRIVATE ${PROJECT_SOURCE_DIR}/platform/obsdk_sim/src)
  target_compile_definitions(bench_save_pipeline PRIVATE KAVREL_BENCH_SIM_FRAMES=1)
endif()
