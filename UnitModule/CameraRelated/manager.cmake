# The camera manager: stream requests, the depth camera's capture thread and
# its SDK callbacks. The USB half joins from CameraManagerUsb.cpp when present.

# Rules and conversions that need no camera, testable on their own.
add_library(kavrel_camera_rules STATIC
  ${CMAKE_CURRENT_LIST_DIR}/CameraConfig.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CameraConfig.h
  ${CMAKE_CURRENT_LIST_DIR}/DepthCaptureRules.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DepthCaptureRules.h
  ${CMAKE_CURRENT_LIST_DIR}/DepthCapturePreview.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DepthCapturePreview.h)
target_include_directories(kavrel_camera_rules PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(kavrel_camera_rules
  PUBLIC kavrel_config
  PRIVATE nlohmann_json::nlohmann_json opencv_core opencv_imgproc)
