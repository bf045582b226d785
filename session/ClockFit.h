#pragma once
// One timeline for a device: the mapping from the camera's own clock
// (device µs) to the host's UTC (ns), fitted per run from the pairs (device
// time, host receive time) of its frames and IMU samples. Transport and
// scheduling only ever delay a receive, so the fit follows the lower
// envelope of host - device: the smallest offset in each half second.
// Stored in <device>/clock.json, one entry per run.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace clock_fit {

inline constexpr const char* fileName = "clock.json";

struct RunClock {
    uint64_t firstDeviceUs = 0;
    uint64_t lastDeviceUs = 0;
    uint64_t deviceUsRef = 0;
    int64_t utcNsRef = 0;
    double driftPpm = 0;
    uint64_t pairs = 0;

    int64_t toUtcNs(uint64_t deviceUs) const;
};

class Fitter {
public:
    void add(uint64_t deviceUs, int64_t hostUtcUs);
    uint64_t pairs() const { return pairs_; }
    // None without a pair.
    std::optional<RunClock> fit() const;

    static constexpr uint64_t bucketUs = 500000;
    // Shorter runs get no drift: a slope over a few seconds is noise.
    static constexpr uint64_t minDriftSpanUs = 10000000;

private:
    struct Lowest {
        uint64_t deviceUs;
        int64_t offsetUs;  // host - device
    };
    std::map<uint64_t, Lowest> buckets_;  // by deviceUs / bucketUs
    uint64_t first_ = UINT64_MAX;
    uint64_t last_ = 0;
    uint64_t pairs_ = 0;
};

std::string render(const std::vector<RunClock>& runs);

struct Parsed {
    std::vector<RunClock> runs;
    std::string error;  // empty when the file is a clock.json
};
Parsed parse(std::string_view text);

// The run whose device span holds deviceUs, else the nearest; null when none.
const RunClock* runFor(const std::vector<RunClock>& runs, uint64_t deviceUs);

} // namespace clock_fit
