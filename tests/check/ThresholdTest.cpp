// The checker's limits tested on both sides of their boundary, on sessions
// recorded by the real save worker and then retimed. The limits are written
// out here, not taken from the checker: moving one must fail a test.

#include <nlohmann/json.hpp>

#include "CheckerTestSupport.h"
#include "ClockFit.h"
#include "RecordedSessions.h"

using namespace session_check;
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string copyOf(const std::string& session, const std::string& copy)
{
    check_test::copySession(session, copy);
    check_test::asOlderSession(copy);
    return copy;
}

// data.json as its version line followed by the samples, parsed.
std::vector<json> imuLines(const std::string& session)
{
    std::vector<json> result;
    for (const auto& line : save_test::lines(kavrel::test::readFile(session + "/D1/data.json")))
        result.push_back(json::parse(line));
    return result;
}

void writeImuLines(const std::string& session, const std::vector<json>& lines)
{
    std::string text;
    for (const auto& line : lines)
        text += line.dump() + "\n";
    kavrel::test::writeFile(session + "/D1/data.json", text);
}

double timeOf(const json& line) { return line["time"].get<double>(); }

} // namespace

class CheckerThresholds : public check_test::RecordedSessions { };

// Every interval between two IMU samples longer than 50 ms is a hole.
TEST_F(CheckerThresholds, ImuGapJustOverFiftyMillisecondsFailsJustUnderPasses)
{
    const std::string recorded = recordSession("single_shot", 2);
    for (const double gap : {0.049, 0.051}) {
        SCOPED_TRACE(gap);
        const std::string copy = copyOf(recorded, dir_.path().toStdString() + "/gap/20250612_150000");
        std::vector<json> lines = imuLines(copy);
        ASSERT_GT(lines.size(), 100u);
        const size_t at = lines.size() / 2;
        const double shift = gap - (timeOf(lines[at]) - timeOf(lines[at - 1]));
        for (size_t i = at; i < lines.size(); ++i)
            lines[i]["time"] = timeOf(lines[i]) + shift;
        writeImuLines(copy, lines);

        const SessionReport report = checkSession(copy);
        const bool hole = gap > 0.050;
        EXPECT_EQ(report.imu.gaps, hole ? 1u : 0u) << toJson({report});
        EXPECT_EQ(report.passed(), !hole) << toJson({report});
    }
}

// A continuous session in two runs, images every 200 ms and the IMU stopped
// for 2 s between the runs. The image pause explains the IMU gap when it is at
// most 100 ms shorter and at most two image intervals plus 250 ms longer;
// outside that window the gap is a hole. A hole within a run stays one beside
// an explained pause, and the pause is left out of the IMU rate.
TEST_F(CheckerThresholds, PauseMatchesTheImuGapOnlyWithinItsTolerance)
{
    const std::string recorded = recordSession("continue_record", 4);
    constexpr double kImuGap = 2.0;
    constexpr int kLastFirstRunImageMs = 600;
    struct Case {
        int imagePauseMs;
        bool pause;
        bool holeInFirstRun = false;
    };
    const Case cases[] = {
        {1895, false}, {1905, true},  // 100 ms shorter than the IMU gap
        {2645, true}, {2655, false},  // 2 x 200 ms + 250 ms longer
        {2000, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.imagePauseMs);
        const std::string copy = copyOf(recorded, dir_.path().toStdString() + "/pause/20250612_150000");
        const int secondRunMs = kLastFirstRunImageMs + c.imagePauseMs;
        for (const char* kind : {"color", "depth"}) {
            const std::string folder = copy + "/D1/" + kind + "/";
            for (int k = 3; k >= 0; --k) {
                const std::string name = folder + save_test::timestampAt(k) + ".png";
                fs::copy_file(name, folder + save_test::timestampAt(secondRunMs + 200 * k) + ".png");
                fs::rename(name, folder + save_test::timestampAt(200 * k) + ".png");
            }
        }
        std::vector<json> lines = imuLines(copy);
        const size_t samples = lines.size();
        const double shift = timeOf(lines.back()) - timeOf(lines[1]) + kImuGap;
        for (size_t i = 1; i < samples; ++i) {
            json line = lines[i];
            line["time"] = timeOf(line) + shift;
            lines.push_back(line);
        }
        if (c.holeInFirstRun)  // 40 samples out: 205 ms between two samples
            lines.erase(lines.begin() + 21, lines.begin() + 61);
        writeImuLines(copy, lines);

        const SessionReport report = checkSession(copy);
        const size_t gaps = (c.pause ? 0u : 1u) + (c.holeInFirstRun ? 1u : 0u);
        EXPECT_EQ(report.imu.pauses, c.pause ? 1u : 0u) << toJson({report});
        EXPECT_EQ(report.imu.gaps, gaps) << toJson({report});
        EXPECT_EQ(report.passed(), gaps == 0) << toJson({report});
        if (gaps == 0) {
            EXPECT_NEAR(report.imu.rateHz, 200.0, 1.0) << "the pause is left out of the rate";
        }
    }
}

// Two runs back to back: an IMU gap of 80 ms that no image pause shows is the
// pause between the runs when clock.json says its two samples belong to two
// runs, and a hole when the device clock knows one run only.
TEST_F(CheckerThresholds, AnImuGapAcrossTwoRunsOfTheDeviceClockIsAPause)
{
    const std::string recorded = recordSession("continue_record", 4);
    constexpr uint64_t kFirstUs = 5000000;
    for (const bool twoRuns : {true, false}) {
        SCOPED_TRACE(twoRuns);
        const std::string copy = dir_.path().toStdString() + "/runs/20250612_150000";
        check_test::copySession(recorded, copy);
        fs::remove(copy + "/SHA256SUMS");  // the edit below would not match it

        // The device clock ticks with the host's here; the second run follows 80 ms after the first.
        std::vector<json> lines = imuLines(copy);
        const size_t samples = lines.size();
        ASSERT_GT(samples, 100u);
        const double start = timeOf(lines[1]);
        const double shift = timeOf(lines.back()) - start + 0.080;
        for (size_t i = 1; i < samples; ++i) {
            lines[i]["device_us"] = kFirstUs + static_cast<uint64_t>((timeOf(lines[i]) - start) * 1e6);
            json line = lines[i];
            line["time"] = timeOf(line) + shift;
            line["device_us"] = kFirstUs + static_cast<uint64_t>((timeOf(line) - start) * 1e6);
            lines.push_back(line);
        }
        writeImuLines(copy, lines);

        clock_fit::RunClock first;
        first.firstDeviceUs = first.deviceUsRef = kFirstUs;
        first.lastDeviceUs = kFirstUs + static_cast<uint64_t>((timeOf(lines[samples - 1]) - start) * 1e6);
        first.utcNsRef = static_cast<int64_t>(start * 1e9);
        first.pairs = 4;
        std::vector<clock_fit::RunClock> runs{first};
        if (twoRuns) {
            clock_fit::RunClock second = first;
            const uint64_t shiftUs = static_cast<uint64_t>(shift * 1e6);
            second.firstDeviceUs += shiftUs;
            second.lastDeviceUs += shiftUs;
            second.deviceUsRef += shiftUs;
            second.utcNsRef += static_cast<int64_t>(shift * 1e9);
            runs.push_back(second);
        }
        kavrel::test::writeFile(copy + "/D1/clock.json", clock_fit::render(runs));

        const SessionReport report = checkSession(copy);
        EXPECT_EQ(report.imu.pauses, twoRuns ? 1u : 0u) << toJson({report});
        EXPECT_EQ(report.imu.gaps, twoRuns ? 0u : 1u) << toJson({report});
        EXPECT_EQ(report.passed(), twoRuns) << toJson({report});
        fs::remove_all(copy);
    }
}
