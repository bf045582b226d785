#include "DepthCaptureRules.h"

#include <algorithm>

#include <nlohmann/json.hpp>

int32_t computeSaveScale(int32_t fps, int32_t shotIntervalMs)
{
    if (fps <= 0)
        fps = 30;
    if (shotIntervalMs <= 0)
        shotIntervalMs = 1000;
    const int64_t product = static_cast<int64_t>(fps) * shotIntervalMs;
    if (product < 2000)
        return 1;
    return static_cast<int32_t>(product / 1000);
}

std::string makeImuSampleText(const ImuTriple& accel, const ImuTriple& gyro, uint64_t accelTimestampUs,
    uint64_t gyroTimestampUs)
{
    // nlohmann::json (not ordered_json) keeps keys sorted, which is the order readers expect.
    nlohmann::json sample;
    sample["Accel"] = {{"x", accel.x}, {"y", accel.y}, {"z", accel.z}};
    sample["Gyro"] = {{"x", gyro.x}, {"y", gyro.y}, {"z", gyro.z}};
    sample["accel_timestamp_us"] = accelTimestampUs;
    sample["gyro_timestamp_us"] = gyroTimestampUs;
    sample["timestamp_us"] = std::min(accelTimestampUs, gyroTimestampUs);
    return sample.dump();
}
