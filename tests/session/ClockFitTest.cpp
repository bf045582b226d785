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

TEST(ClockFit, ReadersPickTheRunOfADeviceTimeAndRefuseABrokenFile)
{
    clock_fit::RunClock a, b;
    a.firstDeviceUs = 100, a.lastDeviceUs = 200;
    b.firstDeviceUs = 10, b.lastDeviceUs = 50;  // the camera restarted its clock
    const std::vector<clock_fit::RunClock> runs = {a, b};
    EXPECT_EQ(clock_fit::runFor(runs, 150), &runs[0]);
    EXPECT_EQ(clock_fit::runFor(runs, 20), &runs[1]);
    EXPECT_EQ(clock_fit::runFor(runs, 70), &runs[1]) << "the nearest run";
    EXPECT_EQ(clock_fit::runFor({}, 70), nullptr);
    for (const char* broken : {"", "{", "[]", R"({"runs":[{"first_device_us":1}]})", R"({"runs":{}})"})
        EXPECT_FALSE(clock_fit::parse(broken).error.empty()) << broken;
}

} // namespace
