#pragma once
// What a camera hands to a capture run: whole frame sets and IMU samples, as
// values. A camera thread fills one, moves it into the run's queue and never
// sees it again; the save worker owns it from the pop on.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "StreamCalibration.h"

// One image exactly as the camera delivered it (MJPG colour, Y16 depth).
struct CapturedImage {
    std::unique_ptr<uint8_t[]> data;  // null: the set has no such image
    uint64_t size = 0;
    int32_t width = 0;        // pixels; depth images need them to be encoded
    int32_t height = 0;
    uint64_t deviceUs = 0;    // the camera's own clock, microseconds
    uint64_t frameIndex = 0;  // the camera's count of this stream's frames
};

// Colour and depth of one moment, queued whole or dropped whole. The USB
// camera's sets carry colour only.
struct FrameSet {
    CapturedImage colour;
    CapturedImage depth;
    int64_t hostUtcUs = 0;  // when the host received the set, UTC microseconds
    std::string timestamp;  // the same moment as 17 local digits: it names the files
    uint64_t snapshotId = 0;  // the snapshot request it answers; 0 in continuous runs
    // What the camera said about these streams; shared by its sets, null when it said nothing.
    std::shared_ptr<const StreamCalibration> calibration;
};

// One motion sample of the depth camera's IMU.
struct ImuSample {
    double accel[3] = {0, 0, 0};  // m/s², as the SDK reports it
    double gyro[3] = {0, 0, 0};   // rad/s
    uint64_t accelUs = 0;         // device clock, microseconds
    uint64_t gyroUs = 0;
    int64_t hostUtcUs = 0;        // host receive time, UTC microseconds

    // Seconds as data.json records the sample: the earlier of its two device times.
    double time() const { return static_cast<double>(accelUs < gyroUs ? accelUs : gyroUs) / 1000000.0; }
};

// A snapshot the operator asked for. The cameras stamp the frame set they
// take for it with its id; once confirmed it goes to the save worker with its
// tags and comes back completed, listing the files written for it.
struct SnapshotRequest {
    uint64_t id = 0;                 // 0: images written outside any request (continuous runs)
    std::vector<std::string> tags;   // listed in manifest.json with its files
    std::vector<std::string> files;  // relative to the session folder, once written
};
