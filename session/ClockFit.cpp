#include "ClockFit.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include <nlohmann/json.hpp>

namespace clock_fit {

int64_t RunClock::toUtcNs(uint64_t deviceUs) const
{
    const double elapsedNs = (static_cast<double>(deviceUs) - static_cast<double>(deviceUsRef)) * 1000.0;
    const int64_t offsetNs = std::llround(std::clamp(elapsedNs * (1.0 + driftPpm / 1e6), -4e18, 4e18));
    // A damaged file must not overflow: the result stays within 0 .. 2^63.
    if (offsetNs < 0)
        return utcNsRef > -offsetNs ? utcNsRef + offsetNs : 0;
    return utcNsRef < INT64_MAX - offsetNs ? utcNsRef + offsetNs : INT64_MAX;
}

void Fitter::add(uint64_t deviceUs, int64_t hostUtcUs)
{
    if (deviceUs == 0 || hostUtcUs <= 0)
        return;  // the camera gave no time
    ++pairs_;
    first_ = std::min(first_, deviceUs);
    last_ = std::max(last_, deviceUs);
    const int64_t offset = hostUtcUs - static_cast<int64_t>(deviceUs);
    auto [it, inserted] = buckets_.try_emplace(deviceUs / bucketUs, Lowest{deviceUs, offset});
    if (!inserted && offset < it->second.offsetUs)
        it->second = {deviceUs, offset};
}

std::optional<RunClock> Fitter::fit() const
{
    if (buckets_.empty())
        return std::nullopt;
    RunClock run;
    run.firstDeviceUs = first_;
    run.lastDeviceUs = last_;
    run.pairs = pairs_;
    run.deviceUsRef = buckets_.begin()->second.deviceUs;
    // Least squares through the bucket minima, relative to the first of them.
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    const int64_t offsetRef = buckets_.begin()->second.offsetUs;
    for (const auto& [bucket, lowest] : buckets_) {
        const double x = static_cast<double>(lowest.deviceUs - run.deviceUsRef);
        const double y = static_cast<double>(lowest.offsetUs - offsetRef);
        n += 1;
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    double slope = 0;
    const double denominator = n * sxx - sx * sx;
    if (last_ - first_ >= minDriftSpanUs && buckets_.size() >= 3 && denominator > 0)
        slope = (n * sxy - sx * sy) / denominator;
    const double intercept = (sy - slope * sx) / n;
    run.driftPpm = slope * 1e6;
    run.utcNsRef = (static_cast<int64_t>(run.deviceUsRef) + offsetRef) * 1000
        + static_cast<int64_t>(std::llround(intercept * 1000.0));
    return run;
}

std::string render(const std::vector<RunClock>& runs)
{
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const RunClock& r : runs)
        list.push_back({{"first_device_us", r.firstDeviceUs}, {"last_device_us", r.lastDeviceUs},
            {"device_us_ref", r.deviceUsRef}, {"utc_ns_ref", r.utcNsRef}, {"drift_ppm", r.driftPpm},
            {"pairs", r.pairs}});
    const nlohmann::ordered_json out = {{"format_version", 1}, {"runs", list}};
    return out.dump(2) + "\n";
}

Parsed parse(std::string_view text)
{
    Parsed parsed;
    const auto doc = nlohmann::json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object() || !doc.contains("runs") || !doc["runs"].is_array()) {
        parsed.error = "not a clock file";
        return parsed;
    }
    for (const auto& entry : doc["runs"]) {
        const auto unsignedField = [&](const char* key, uint64_t& out) {
            if (!entry.is_object() || !entry.contains(key) || !entry[key].is_number_unsigned())
                return false;
            out = entry[key].get<uint64_t>();
            return true;
        };
        RunClock run;
        const bool ok = unsignedField("first_device_us", run.firstDeviceUs)
            && unsignedField("last_device_us", run.lastDeviceUs) && unsignedField("device_us_ref", run.deviceUsRef)
            && unsignedField("pairs", run.pairs) && entry.contains("utc_ns_ref")
            && entry["utc_ns_ref"].is_number_integer() && entry.contains("drift_ppm") && entry["drift_ppm"].is_number()
            && run.lastDeviceUs >= run.firstDeviceUs;
        if (!ok) {
            parsed.error = "a run without its mapping";
            continue;
        }
        run.utcNsRef = entry["utc_ns_ref"].get<int64_t>();
        run.driftPpm = entry["drift_ppm"].get<double>();
        if (std::fabs(run.driftPpm) > 1e4) {
            parsed.error = "a run's drift is not a plausible number";
            continue;
        }
        parsed.runs.push_back(run);
    }
    return parsed;
}

const RunClock* runFor(const std::vector<RunClock>& runs, uint64_t deviceUs)
{
    const RunClock* nearest = nullptr;
    uint64_t best = UINT64_MAX;
    for (const RunClock& run : runs) {
        if (deviceUs >= run.firstDeviceUs && deviceUs <= run.lastDeviceUs)
            return &run;
        const uint64_t distance = deviceUs < run.firstDeviceUs ? run.firstDeviceUs - deviceUs : deviceUs - run.lastDeviceUs;
        if (distance < best) {
            best = distance;
            nearest = &run;
        }
    }
    return nearest;
}

} // namespace clock_fit
