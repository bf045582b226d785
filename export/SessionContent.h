#pragma once
// What an export takes from a session folder, whatever the output format:
// per device its whole frame sets and IMU samples, each with the stamp it
// gets (device time mapped to UTC through clock.json) and the time the host
// received it, and the camera's calibration. The session files are read here
// and nowhere else; what cannot be used is listed with its reason.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ClockFit.h"
#include "RosMessages.h"
#include "SessionCheck.h"

namespace session_export {

struct StreamCalibration {
    uint32_t width = 0, height = 0;
    bool intrinsicsKnown = false;
    double fx = 0, fy = 0, cx = 0, cy = 0;
    std::string distortionModel;                  // as the camera names it, e.g. "brown_conrady"
    std::map<std::string, double> coefficients;   // k1..k6, p1, p2
};

struct Extrinsic {
    std::array<double, 9> rotation{};  // row-major; p_colour = R·p + t
    std::array<double, 3> translationM{};
};

struct Calibration {
    bool known = false;
    double depthUnitM = 0.001;
    bool depthUnitKnown = false;
    bool depthAlignedToColour = false;
    std::optional<StreamCalibration> colour, depth;
    std::optional<Extrinsic> depthToColour, imuToColour;
};

// calibration.json of a device folder; empty, with the reason in `why`, when it does not parse.
std::optional<Calibration> parseCalibration(const std::string& text, std::string& why);

// The ROS camera model of a stream: K, D ("plumb_bob" k1,k2,p1,p2,k3, or
// "rational_polynomial" with k4..k6 when any is non-zero), R identity, P.
// Empty, with the reason, when the stream has no intrinsics or an unknown distortion model.
std::optional<mcap_export::CameraModel> cameraModel(const StreamCalibration& stream, std::string& why);

// The unit quaternion (x, y, z, w) of a row-major rotation matrix.
std::array<double, 4> quaternionOf(const std::array<double, 9>& rotation);

struct FrameItem {
    std::string colour, depth;     // relative to the session folder; depth empty for a USB camera
    int64_t colourStamp = 0, depthStamp = 0;  // ns, UTC
    int64_t logTime = 0;           // ns, when the host received the set
};

struct ImuItem {
    int64_t stamp = 0, logTime = 0;
    std::array<double, 3> accel{}, gyro{};
};

struct DeviceContent {
    std::string name;              // in topics and frame names: the folder, "camera" when there is none
    std::string folder;            // relative to the session; "" when the images lie in the session folder
    bool usbCamera = false;        // colour images only
    std::optional<Calibration> calibration;
    std::vector<FrameItem> frames;  // in log-time order, stamps never backwards
    std::vector<ImuItem> imu;       // likewise
    bool hasImu = false;
};

struct SessionContent {
    std::vector<DeviceContent> devices;
    std::vector<std::string> notes;    // warnings about what the export lacks or how times were taken
    std::vector<std::string> leftOut;  // files and lines not exported, each with its reason
};

// Reads what the export needs of a session the checker has read. Frame sets
// the checker found damaged, or without their partner image, are left out.
SessionContent readSessionContent(const session_check::SessionReport& report);

} // namespace session_export
