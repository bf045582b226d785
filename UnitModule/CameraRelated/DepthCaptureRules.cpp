#include "DepthCaptureRules.h"

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
