#pragma once
// The capture mode of a task, parsed once from its catalogue or meta.yaml text.

#include <optional>
#include <string>
#include <string_view>

enum class CaptureMode {
    SingleShot,      // "single_shot": each press takes one snapshot, confirmed and tagged
    ContinueShot,    // "continue_shot" (also written "continuous_shot"): start/stop, every n-th set
    ContinueRecord,  // "continue_record": start/stop, every n-th set
};

// The mode a text names, or nothing for a text that names none.
std::optional<CaptureMode> parseCaptureMode(std::string_view text);

// The mode of a task or session as everything that records or checks it
// decides: a text naming none counts as single shot, the catalogue's default.
CaptureMode captureModeOf(std::string_view text);

// The text the mode is written as ("single_shot", "continue_shot", "continue_record").
const char* captureModeText(CaptureMode mode);

inline bool isContinuous(CaptureMode mode) { return mode != CaptureMode::SingleShot; }

// The task that photographs soil on request saves no IMU samples, whatever its mode.
inline constexpr std::string_view kSoilCollectionTask = "soil_collection";
inline bool isSoilCollection(std::string_view taskLabel) { return taskLabel == kSoilCollectionTask; }
