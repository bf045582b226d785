# The cameras: stream requests, the depth camera (its capture thread and SDK
# callbacks) and the USB camera, behind one Camera interface.

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
  ${CMAKE_CURRENT_LIST_DIR}/Camera.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Camera.h
  ${CMAKE_CURRENT_LIST_DIR}/DepthCamera.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DepthCamera.h
  ${CMAKE_CURRENT_LIST_DIR}/DepthCaptureLoop.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DepthCallbacks.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DepthCalibration.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DepthCalibration.h
  ${CMAKE_CURRENT_LIST_DIR}/UsbCamera.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UsbCamera.h
  ${CMAKE_CURRENT_LIST_DIR}/UsbCameraConfig.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UsbCameraConfig.h
  ${CMAKE_CURRENT_LIST_DIR}/CapturePolicy.h
  ${CMAKE_CURRENT_LIST_DIR}/PreviewThread.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PreviewThread.h)
target_include_directories(kavrel_camera PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(kavrel_camera
  PUBLIC kavrel_camera_rules kavrel_framequeues kavrel_decoder kavrel_v4l2usb kavrel_context kavrel_config kavrel_log
  PRIVATE obsdk opencv_core Threads::Threads)

# The cameras a capture page needs, built from the device configuration and
# reported to the page on the GUI thread.
add_library(kavrel_camera_rig STATIC
  ${CMAKE_CURRENT_LIST_DIR}/CameraRig.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CameraRig.h)
target_include_directories(kavrel_camera_rig PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(kavrel_camera_rig PUBLIC kavrel_camera kavrel_config kavrel_log Qt5::Core)
