#pragma once
// Stream requests of a camera and how they come out of the device configuration.

#include <cstdint>
#include <vector>

struct camera_entry;
struct camera_config;

// One stream request, in the depth camera SDK's own codes.
struct CameraConfig {
    int32_t streamType = 0;  // 2 = colour, 3 = depth; other values are ignored
    int32_t format = 0;      // 5 = MJPG, 8 = Y16
    int32_t width = 0;
    int32_t height = 0;
    int32_t fps = 0;

    bool operator==(const CameraConfig& other) const;
    bool operator!=(const CameraConfig& other) const { return !(*this == other); }
};

namespace camera_stream {
inline constexpr int32_t kColor = 2;
inline constexpr int32_t kDepth = 3;
} // namespace camera_stream

namespace camera_format {
inline constexpr int32_t kYUYV = 0;
inline constexpr int32_t kYUY2 = 1;
inline constexpr int32_t kMJPG = 5;
inline constexpr int32_t kY16 = 8;
inline constexpr int32_t kRGB = 22;
inline constexpr int32_t kBGR = 23;
} // namespace camera_format

// What one configuration entry asks for: the depth camera's colour entry
// ("Gemini_corlor", id 0) gives an MJPG colour stream, its depth entry
// ("Gemini_depeth", id 0) a Y16 depth stream; anything else gives nothing.
std::vector<CameraConfig> cameraConfigsFromEntry(const camera_entry& entry);

// The depth camera's requests: camera1's contribution, then camera2's.
std::vector<CameraConfig> depthCameraConfigs(const camera_config& config);

// The first colour request, or nullptr.
const CameraConfig* firstColorConfig(const std::vector<CameraConfig>& configs);
