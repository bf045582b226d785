#pragma once
// The depth camera's decisions that need no camera: which frame sets of a
// continuous run are kept, and the text of one IMU sample.

#include <cstdint>
#include <string>

// Continuous mode keeps every n-th frame set (the capture policy's stride), so that at `fps`
// about one frame set per `shotIntervalMs` is saved. fps <= 0 counts as 30,
// an interval <= 0 as 1000 ms; intervals below two frame periods keep all.
int32_t computeSaveScale(int32_t fps, int32_t shotIntervalMs);

struct ImuTriple {
    float x = 0;
    float y = 0;
    float z = 0;
};

// One IMU sample as compact JSON, keys in sorted order:
// {"Accel":{"x":..,"y":..,"z":..},"Gyro":{..},"accel_timestamp_us":..,
//  "gyro_timestamp_us":..,"timestamp_us":<the smaller of the two>}.
// Accelerometer in m/s^2 and gyroscope in rad/s, as the device delivers them.
std::string makeImuSampleText(const ImuTriple& accel, const ImuTriple& gyro, uint64_t accelTimestampUs,
    uint64_t gyroTimestampUs);
