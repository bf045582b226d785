#pragma once
// The depth camera's decisions that need no camera: which frame sets of a
// continuous run are kept.

#include <cstdint>

// Continuous mode keeps every n-th frame set (the capture policy's stride), so that at `fps`
// about one frame set per `shotIntervalMs` is saved. fps <= 0 counts as 30,
// an interval <= 0 as 1000 ms; intervals below two frame periods keep all.
int32_t computeSaveScale(int32_t fps, int32_t shotIntervalMs);
