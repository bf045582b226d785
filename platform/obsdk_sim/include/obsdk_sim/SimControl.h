#pragma once
// Test hooks of the simulated depth camera. Product code never includes this:
// it exists only with the stand-in, not with the vendor's SDK.

#include <cstdint>

namespace obsim {

// Threads the simulated SDK is running right now (pipelines, IMU, filters).
int liveThreads();
// Frames (including frame sets) not yet released by their last owner.
int64_t liveFrames();
// Handles of any kind (pipelines, configs, devices, lists, filters) not yet deleted.
int64_t liveHandles();
// Frame sets a pipeline or a filter threw away because nobody took them in time.
uint64_t droppedFrameSets();
// Frame periods the simulated sensor skipped because its thread fell behind
// (a busy machine); these show as gaps in the frame indices.
uint64_t skippedFrames();
// Forgets fault-injection counters (camera-absent and start-failure attempts).
void resetFaults();

} // namespace obsim
