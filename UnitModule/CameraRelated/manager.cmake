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

add_library(kavrel_camera STATIC
  ${CMAKE_CURRENT_LIST_DIR}/CameraManager.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CameraManager.h
  ${CMAKE_CURRENT_LIST_DIR}/DepthCaptureLoop.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DepthCallbacks.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DepthCalibration.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DepthCalibration.h
  ${CMAKE_CURRENT_LIST_DIR}/CapturePolicy.h
  ${CMAKE_CURRENT_LIST_DIR}/PreviewThread.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PreviewThread.h)
target_include_directories(kavrel_camera PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(kavrel_camera
  PUBLIC kavrel_camera_rules kavrel_framequeues kavrel_decoder kavrel_context kavrel_config kavrel_log
  PRIVATE obsdk opencv_core Threads::Threads)

# The USB half of the manager (paramInit's usb_camera branch and
# capture_camera_loop) lives in CameraManagerUsb.cpp; until that file exists
# a USB request is logged and starts nothing.
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/CameraManagerUsb.cpp)
  target_sources(kavrel_camera PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/CameraManagerUsb.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UsbCameraConfig.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UsbCameraConfig.h)
  target_link_libraries(kavrel_camera PUBLIC kavrel_v4l2usb)
  target_compile_definitions(kavrel_camera PRIVATE KAVREL_CAMERA_HAS_USB=1)
endif()
