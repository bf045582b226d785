#pragma once
// The USB camera's stream request, taken from the device configuration's
// third camera entry.

#include <vector>

#include "CameraConfig.h"

struct camera_entry;

// A USB camera (camera_id 1) asks for one stream: {V4L2 pixel code from
// `pixel_format` (MJPG when absent or not four characters), 0, width, height,
// fps}. Any other entry asks for nothing.
std::vector<CameraConfig> usbCameraConfigs(const camera_entry& entry);
