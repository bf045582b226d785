#pragma once
// The depth camera's account of the streams it delivers, read through the
// SDK's own calls from the frames themselves (what came, not what was asked
// for). A call the camera refuses leaves its figure unknown.

#include <memory>
#include <string>

#include "StreamCalibration.h"

namespace ob {
class Device;
class StreamProfile;
class VideoFrame;
class DepthFrame;
} // namespace ob

namespace depth_calibration {

struct Identity {
    std::string name, serial, firmware, sdkVersion;
};
// Name, serial and firmware of the device; empty fields when it does not say.
Identity identify(const std::shared_ptr<ob::Device>& device);

// colour and depth: one aligned frame set (depth in colour's geometry);
// accel, gyro: the IMU's stream profiles, null while no sample came.
std::shared_ptr<const StreamCalibration> read(const Identity& identity, ob::VideoFrame& colour,
    ob::DepthFrame& depth, const std::shared_ptr<ob::StreamProfile>& accel,
    const std::shared_ptr<ob::StreamProfile>& gyro);

} // namespace depth_calibration
