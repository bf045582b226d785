// The device-to-UTC mapping fitted from (device time, host receive time)
// pairs whose receive is delayed by a latency that is mostly small and
// sometimes large, as USB transport and scheduling make it.

#include <random>

#include <gtest/gtest.h>

#include "ClockFit.h"

namespace {

struct Scenario {
    const char* name;
    double driftPpm;       // how much faster the host clock runs than the device's
    double seconds;
    double latencyMeanMs;  // exponential tail on top of 1 ms
};

TEST(ClockFit, MapsDeviceTimesOntoTheHostClockWithinAMillisecond)
{
    const Scenario scenarios[] = {
        {"short run, no drift", 0, 3, 2},
        {"minute at 40 ppm", 40, 60, 2},
        {"minute at -25 ppm, busy host", -25, 60, 8},
        {"ten minutes at 10 ppm", 10, 600, 3},
    };
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        std::mt19937 random(7);
        std::exponential_distribution<double> latency(1.0 / s.latencyMeanMs);
        const uint64_t deviceStart = 5000000000ULL;             // the camera's clock: since its power-up
        const int64_t utcStart = 1765000000000000LL;           // host UTC µs at deviceStart
        const auto trueUtcUs = [&](uint64_t deviceUs) {
            return utcStart + static_cast<int64_t>((deviceUs - deviceStart) * (1 + s.driftPpm / 1e6));
        };
        clock_fit::Fitter fitter;
        std::vector<uint64_t> samples;
        // IMU at 200 Hz and frames at 30 Hz on the same device clock.
        for (uint64_t us = deviceStart; us < deviceStart + uint64_t(s.seconds * 1e6); us += 5000)
            samples.push_back(us);
        for (uint64_t us = deviceStart + 1234; us < deviceStart + uint64_t(s.seconds * 1e6); us += 33333)
            samples.push_back(us);
        for (uint64_t us : samples)
            fitter.add(us, trueUtcUs(us) + 1000 + static_cast<int64_t>(latency(random) * 1000));
        const auto run = fitter.fit();
        ASSERT_TRUE(run);
        EXPECT_EQ(run->pairs, samples.size());
        // Mapped times sit at the receive times less the smallest latency (1 ms), not the mean.
        for (uint64_t us : {deviceStart + 2000, deviceStart + uint64_t(s.seconds * 5e5), deviceStart + uint64_t(s.seconds * 1e6) - 7000}) {
            const double errorMs = (run->toUtcNs(us) - trueUtcUs(us) * 1000) / 1e6;
            EXPECT_NEAR(errorMs, 1.0, 1.0) << "at " << (us - deviceStart) / 1e6 << " s";
        }
        // The record written for readers maps the same.
        const auto parsed = clock_fit::parse(clock_fit::render({*run}));
        ASSERT_TRUE(parsed.error.empty());
        ASSERT_EQ(parsed.runs.size(), 1u);
        EXPECT_EQ(parsed.runs[0].toUtcNs(deviceStart + 1000000), run->toUtcNs(deviceStart + 1000000));
    }
}

TEST(ClockFit, ReadersMapThroughTheRunOfADeviceTimeOrTheNearestAndRefuseABrokenFile)
{
    // Two runs: a reset device clock would make the second start low, so they are far apart here.
    const auto parsed = clock_fit::parse(R"({"format_version": 1, "runs": [
      {"first_device_us": 1000000, "last_device_us": 2000000, "device_us_ref": 1000000,
       "utc_ns_ref": 1700000000000000000, "drift_ppm": 100.0, "pairs": 30},
      {"first_device_us": 9000000, "last_device_us": 9500000, "device_us_ref": 9000000,
       "utc_ns_ref": 1700000100000000000, "drift_ppm": 0.0, "pairs": 15}]})");
    ASSERT_TRUE(parsed.error.empty()) << parsed.error;
    const struct {
        uint64_t deviceUs;
        int64_t utcNs;
    } cases[] = {
        {1000000, 1700000000000000000},              // the reference itself
        {1500000, 1700000000000000000 + 500050000},  // 0.5 s at +100 ppm
        {500000, 1700000000000000000 - 500050000},   // before every run: the first, extended backwards
        {2100000, 1700000000000000000 + 1100110000}, // just after run 1, far from run 2
        {8000000, 1700000100000000000 - 1000000000}, // nearer run 2
        {9250000, 1700000100000000000 + 250000000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(clock_fit::runFor(parsed.runs, c.deviceUs)->toUtcNs(c.deviceUs), c.utcNs) << c.deviceUs;
    EXPECT_EQ(clock_fit::runFor({}, 70), nullptr);

    // A damaged mapping far out of range saturates instead of wrapping around.
    clock_fit::RunClock extreme;
    extreme.utcNsRef = 9000000000000000000;
    extreme.driftPpm = 5000;
    EXPECT_EQ(extreme.toUtcNs(9000000000000000000ULL), INT64_MAX);
    EXPECT_EQ(extreme.toUtcNs(0), 9000000000000000000);

    const std::string endsBeforeItStarts = R"({"runs":[{"first_device_us":5,"last_device_us":1,"device_us_ref":1,)"
                                           R"("utc_ns_ref":1,"drift_ppm":0,"pairs":1}]})";
    const std::string implausibleDrift = R"({"runs":[{"first_device_us":1,"last_device_us":5,"device_us_ref":1,)"
                                         R"("utc_ns_ref":1,"drift_ppm":2e4,"pairs":1}]})";
    for (const std::string& broken : {std::string(), std::string("{"), std::string("[]"),
             std::string(R"({"runs":[{"first_device_us":1}]})"), std::string(R"({"runs":{}})"), endsBeforeItStarts,
             implausibleDrift})
        EXPECT_FALSE(clock_fit::parse(broken).error.empty()) << broken;
}

} // namespace
