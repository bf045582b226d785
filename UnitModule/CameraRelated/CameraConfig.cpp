#include "CameraConfig.h"

#include "config_manager.h"

bool CameraConfig::operator==(const CameraConfig& other) const
{
    return streamType == other.streamType && format == other.format && width == other.width
        && height == other.height && fps == other.fps;
}

std::vector<CameraConfig> cameraConfigsFromEntry(const camera_entry& entry)
{
    // Only id 0 is the depth camera; the USB camera (id 1) has a reader of its own.
    if (entry.camera_id != 0)
        return {};
    // The type names carry the configuration files' historic spelling.
    if (entry.camera_type_str == "Gemini_corlor")
        return {{camera_stream::kColor, camera_format::kMJPG, entry.width, entry.height, entry.fps}};
    if (entry.camera_type_str == "Gemini_depeth")
        return {{camera_stream::kDepth, camera_format::kY16, entry.width, entry.height, entry.fps}};
    return {};
}

std::vector<CameraConfig> depthCameraConfigs(const camera_config& config)
{
    std::vector<CameraConfig> configs = cameraConfigsFromEntry(config.camera1);
    for (const CameraConfig& c : cameraConfigsFromEntry(config.camera2))
        configs.push_back(c);
    return configs;
}

const CameraConfig* firstColorConfig(const std::vector<CameraConfig>& configs)
{
    for (const CameraConfig& c : configs)
        if (c.streamType == camera_stream::kColor)
            return &c;
    return nullptr;
}
