#pragma once
// <device>/frames.csv: one row per frame set on the card, appended as the
// sets are written, with each image's device time and frame index and the
// host's UTC receive time, so images can be placed on one timeline without
// parsing file names.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace frames_index {

inline constexpr const char* fileName = "frames.csv";
inline constexpr const char* header =
    "set,color_file,depth_file,color_device_us,depth_device_us,color_index,depth_index,host_utc_ns,snapshot_id";

struct Row {
    uint64_t set = 0;           // from 1, across the whole session
    std::string colourFile;     // relative to the device folder; empty when the set has none
    std::string depthFile;      // empty for a USB camera
    uint64_t colourDeviceUs = 0;  // 0: the camera has no clock of its own (USB)
    uint64_t depthDeviceUs = 0;
    uint64_t colourIndex = 0;
    uint64_t depthIndex = 0;
    int64_t hostUtcNs = 0;
    uint64_t snapshotId = 0;    // 0: written empty (continuous runs)
};

std::string renderRow(const Row& row);

struct Parsed {
    std::vector<Row> rows;
    std::vector<std::string> errors;  // "line N: ..." for every line that is not a row
};
Parsed parse(std::string_view text);

} // namespace frames_index
