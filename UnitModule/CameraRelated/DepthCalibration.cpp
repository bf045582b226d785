#include "DepthCalibration.h"

#include <cstdio>
#include <cstdlib>

#include <libobsensor/ObSensor.hpp>

#include "Log.h"

namespace depth_calibration {
namespace {

std::string formatName(OBFormat format)
{
    switch (format) {
    case OB_FORMAT_MJPG: return "MJPG";
    case OB_FORMAT_Y16: return "Y16";
    case OB_FORMAT_Z16: return "Z16";
    case OB_FORMAT_YUYV: return "YUYV";
    case OB_FORMAT_RGB: return "RGB";
    case OB_FORMAT_BGR: return "BGR";
    case OB_FORMAT_NV12: return "NV12";
    default: return "format " + std::to_string(static_cast<int>(format));
    }
}

std::string distortionModel(OBCameraDistortionModel model)
{
    switch (model) {
    case OB_DISTORTION_NONE: return "none";
    case OB_DISTORTION_MODIFIED_BROWN_CONRADY: return "modified_brown_conrady";
    case OB_DISTORTION_INVERSE_BROWN_CONRADY: return "inverse_brown_conrady";
    case OB_DISTORTION_BROWN_CONRADY: return "brown_conrady";
    case OB_DISTORTION_BROWN_CONRADY_K6: return "brown_conrady_k6";
    case OB_DISTORTION_KANNALA_BRANDT4: return "kannala_brandt4";
    }
    return "unknown";
}

// Runs one SDK query; a refusal leaves the figure unknown (logged once per build of the calibration).
template <typename Query>
bool ask(const char* what, Query query)
{
    try {
        query();
        return true;
    } catch (const ob::Error& e) {
        LOGW << "The camera gives no " << what << ": " << e.getMessage();
    } catch (const std::exception& e) {
        LOGW << "The camera gives no " << what << ": " << e.what();
    }
    return false;
}

// The SDK's single-precision figure as the decimal it stands for (0.1f is
// 0.1, not 0.100000001490116), so files say what the camera said.
double decimal(float value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.7g", static_cast<double>(value));
    return std::strtod(text, nullptr);
}

StreamCalibration::Rigid rigid(const OBExtrinsic& e)
{
    StreamCalibration::Rigid r;
    for (int i = 0; i < 9; ++i)
        r.rotation[i] = decimal(e.rot[i]);
    for (int i = 0; i < 3; ++i)
        r.translationM[i] = decimal(e.trans[i]) / 1000.0;  // the SDK gives millimetres
    return r;
}

} // namespace

Identity identify(const std::shared_ptr<ob::Device>& device)
{
    Identity identity;
    if (!device)
        return identity;
    ask("device information", [&] {
        auto info = device->getDeviceInfo();
        const auto text = [](const char* value) { return value ? std::string(value) : std::string(); };
        identity.name = text(info->getName());
        identity.serial = text(info->getSerialNumber());
        identity.firmware = text(info->getFirmwareVersion());
    });
    return identity;
}

std::shared_ptr<const StreamCalibration> read(const Identity& identity, ob::VideoFrame& colour,
    ob::DepthFrame& depth, const std::shared_ptr<ob::StreamProfile>& accel,
    const std::shared_ptr<ob::StreamProfile>& gyro)
{
    auto c = std::make_shared<StreamCalibration>();
    c->name = identity.name;
    c->serial = identity.serial;
    c->firmware = identity.firmware;
    c->sdkVersion = identity.sdkVersion;

    std::shared_ptr<ob::StreamProfile> colourProfile;
    std::shared_ptr<ob::StreamProfile> depthProfile;
    ask("colour stream profile", [&] { colourProfile = colour.getStreamProfile(); });
    ask("depth stream profile", [&] { depthProfile = depth.getStreamProfile(); });

    StreamCalibration::Stream colourStream;
    colourStream.width = static_cast<int>(colour.getWidth());
    colourStream.height = static_cast<int>(colour.getHeight());
    colourStream.format = formatName(colour.getFormat());
    colourStream.payload = colour.getFormat() == OB_FORMAT_MJPG ? "jpeg" : "raw";
    if (colourProfile && colourProfile->is<ob::VideoStreamProfile>()) {
        auto video = colourProfile->as<ob::VideoStreamProfile>();
        ask("colour frame rate", [&] { colourStream.fps = static_cast<int>(video->getFps()); });
        ask("colour intrinsics", [&] {
            const OBCameraIntrinsic in = video->getIntrinsic();
            colourStream.intrinsics
                = StreamCalibration::Pinhole{decimal(in.fx), decimal(in.fy), decimal(in.cx), decimal(in.cy)};
        });
        ask("colour distortion", [&] {
            const OBCameraDistortion d = video->getDistortion();
            colourStream.distortion = StreamCalibration::Distortion{distortionModel(d.model), decimal(d.k1),
                decimal(d.k2), decimal(d.k3), decimal(d.k4), decimal(d.k5), decimal(d.k6), decimal(d.p1), decimal(d.p2)};
        });
    }

    // Depth aligned to colour: colour's pinhole model is the depth image's.
    StreamCalibration::Stream depthStream;
    depthStream.width = static_cast<int>(depth.getWidth());
    depthStream.height = static_cast<int>(depth.getHeight());
    depthStream.format = formatName(depth.getFormat());
    depthStream.payload = "png16";
    if (depthProfile && depthProfile->is<ob::VideoStreamProfile>())
        ask("depth frame rate", [&] { depthStream.fps = static_cast<int>(depthProfile->as<ob::VideoStreamProfile>()->getFps()); });
    if (depthStream.width == colourStream.width && depthStream.height == colourStream.height) {
        depthStream.intrinsics = colourStream.intrinsics;
        depthStream.distortion = colourStream.distortion;
    }
    ask("depth unit", [&] {
        const float millimetres = depth.getValueScale();
        if (millimetres > 0)
            c->depthUnitM = decimal(millimetres) / 1000.0;
    });
    if (colourProfile && depthProfile)
        ask("depth-to-colour extrinsic", [&] { c->depthToColour = rigid(depthProfile->getExtrinsicTo(colourProfile)); });

    c->imuDelivered = accel || gyro;
    if (accel && colourProfile)
        ask("IMU-to-colour extrinsic", [&] { c->imuToColour = rigid(accel->getExtrinsicTo(colourProfile)); });
    if (accel && accel->is<ob::AccelStreamProfile>())
        ask("accelerometer figures", [&] {
            const OBAccelIntrinsic in = accel->as<ob::AccelStreamProfile>()->getIntrinsic();
            c->accelerometer = StreamCalibration::Inertial{in.noiseDensity, in.randomWalk, {in.bias[0], in.bias[1], in.bias[2]}};
        });
    if (gyro && gyro->is<ob::GyroStreamProfile>())
        ask("gyroscope figures", [&] {
            const OBGyroIntrinsic in = gyro->as<ob::GyroStreamProfile>()->getIntrinsic();
            c->gyroscope = StreamCalibration::Inertial{in.noiseDensity, in.randomWalk, {in.bias[0], in.bias[1], in.bias[2]}};
        });
    c->colour = std::move(colourStream);
    c->depth = std::move(depthStream);
    return c;
}

} // namespace depth_calibration
