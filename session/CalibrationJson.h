#pragma once
// <device>/calibration.json: what the camera reported about the streams it
// delivered, in the units a dataset consumer works in (metres, row-major
// rotations, depth unit in metres per count). Figures the camera did not
// report are written as null, never filled in.

#include <string>

#include "StreamCalibration.h"

namespace calibration_json {

inline constexpr const char* fileName = "calibration.json";
inline constexpr int formatVersion = 1;

std::string render(const StreamCalibration& calibration);

} // namespace calibration_json
