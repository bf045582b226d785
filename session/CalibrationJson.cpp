#include "CalibrationJson.h"

#include <nlohmann/json.hpp>

using json = nlohmann::ordered_json;

namespace calibration_json {
namespace {

json orNull(const std::optional<StreamCalibration::Pinhole>& p)
{
    if (!p)
        return nullptr;
    return {{"fx", p->fx}, {"fy", p->fy}, {"cx", p->cx}, {"cy", p->cy}};
}

json orNull(const std::optional<StreamCalibration::Distortion>& d)
{
    if (!d)
        return nullptr;
    return {{"model", d->model},
        {"coefficients",
            {{"k1", d->k1}, {"k2", d->k2}, {"k3", d->k3}, {"k4", d->k4}, {"k5", d->k5}, {"k6", d->k6}, {"p1", d->p1},
                {"p2", d->p2}}}};
}

json orNull(const std::optional<StreamCalibration::Rigid>& r)
{
    if (!r)
        return nullptr;
    return {{"rotation", r->rotation}, {"translation_m", r->translationM}};
}

json stream(const StreamCalibration::Stream& s, bool usb)
{
    json out = {{"width", s.width}, {"height", s.height}, {"format", s.format}};
    out["fps"] = s.fps > 0 ? json(s.fps) : json(nullptr);
    out["payload"] = s.payload;
    out["intrinsics"] = orNull(s.intrinsics);
    if (!usb)
        out["distortion"] = orNull(s.distortion);
    return out;
}

json inertial(const char* unit, const std::optional<StreamCalibration::Inertial>& i)
{
    json out = {{"unit", unit}};
    out["noise_density"] = i ? json(i->noiseDensity) : json(nullptr);
    out["random_walk"] = i ? json(i->randomWalk) : json(nullptr);
    out["bias"] = i ? json(i->bias) : json(nullptr);
    return out;
}

} // namespace

std::string render(const StreamCalibration& c)
{
    json out;
    out["format_version"] = formatVersion;
    out["calibration_known"] = c.known();
    json streams = json::object();
    if (c.colour)
        streams["color"] = stream(*c.colour, c.usbCamera);
    if (c.usbCamera) {
        out["device"] = {{"name", c.name}};
        out["streams"] = streams;
    } else {
        out["device"] = {{"name", c.name}, {"serial", c.serial}, {"firmware", c.firmware},
            {"sdk_version", c.sdkVersion.empty() ? json(nullptr) : json(c.sdkVersion)}};
        out["depth_aligned_to"] = "color";
        out["depth_unit_m"] = c.depthUnitM ? json(*c.depthUnitM) : json(nullptr);
        if (c.depth)
            streams["depth"] = stream(*c.depth, false);
        out["streams"] = streams;
        if (c.depthToColour || c.imuToColour)
            out["extrinsics"] = {{"depth_to_color", orNull(c.depthToColour)}, {"imu_to_color", orNull(c.imuToColour)}};
        else
            out["extrinsics"] = nullptr;
        if (c.imuDelivered)
            out["imu"] = {{"accelerometer", inertial("m/s^2", c.accelerometer)},
                {"gyroscope", inertial("rad/s", c.gyroscope)}};
        else
            out["imu"] = nullptr;
    }
    // Names come from the device: invalid UTF-8 is replaced, never thrown on.
    return out.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

} // namespace calibration_json
