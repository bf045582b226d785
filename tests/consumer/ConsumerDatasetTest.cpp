// A recorded session read from its files alone: the simulated room must come out as built.

#include <algorithm>
#include <cmath>
#include <map>

#include <nlohmann/json.hpp>

#include "CapturePolicy.h"
#include "DepthCamera.h"
#include "FramesIndex.h"
#include "SaveTestSupport.h"

namespace {

using namespace save_test;
using json = nlohmann::json;
using kavrel::test::readFile;

constexpr double kWallM = 3.0;
constexpr double kCameraHeightM = 0.6;
constexpr double kDegree = 3.14159265358979323846 / 180;

struct Pinhole {
    double fx = 0, fy = 0, cx = 0, cy = 0;
};

// Points in metres, each the mean of an 8x8 block without holes (less noise, still on the plane).
std::vector<cv::Vec3d> backProject(const cv::Mat& counts, const Pinhole& in, double metresPerCount, double minRow)
{
    std::vector<cv::Vec3d> points;
    for (int by = 0; by + 8 <= counts.rows; by += 8)
        for (int bx = 0; bx + 8 <= counts.cols; bx += 8) {
            if (by < minRow)
                continue;
            cv::Vec3d sum;
            bool whole = true;
            for (int v = by; v < by + 8 && whole; ++v)
                for (int u = bx; u < bx + 8; ++u) {
                    const double z = counts.at<uint16_t>(v, u) * metresPerCount;
                    whole = whole && z > 0;
                    sum += cv::Vec3d((u - in.cx) / in.fx * z, (v - in.cy) / in.fy * z, z);
                }
            if (whole)
                points.push_back(sum / 64);
        }
    return points;
}

struct Plane {
    cv::Vec3d normal;  // unit
    double offset;     // normal . p = offset
    double rms;        // of the points kept
};

// Least squares of axis against the other two, over points within 5 cm, then 2 cm, of the last fit.
Plane fitPlane(const std::vector<cv::Vec3d>& points, int axis)
{
    const int a = (axis + 1) % 3, b = (axis + 2) % 3;
    std::vector<double> values;
    for (const auto& p : points)
        values.push_back(p[axis]);
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    cv::Vec3d coef(0, 0, values.empty() ? 0 : values[values.size() / 2]);  // axis = ca * p[a] + cb * p[b] + c
    Plane plane{};
    for (int round = 0; round < 5; ++round) {
        cv::Mat A(0, 3, CV_64F), y(0, 1, CV_64F);
        for (const auto& p : points)
            if (std::fabs(p[axis] - (coef[0] * p[a] + coef[1] * p[b] + coef[2])) < (round ? 0.02 : 0.05)) {
                A.push_back(cv::Mat(cv::Vec3d(p[a], p[b], 1)).t());
                y.push_back(p[axis]);
            }
        if (A.rows < 3)
            return plane;
        cv::Mat solution;
        cv::solve(A, y, solution, cv::DECOMP_SVD);
        coef = cv::Vec3d(solution);
        cv::Vec3d n;
        n[axis] = 1;
        n[a] = -coef[0];
        n[b] = -coef[1];
        const double norm = cv::norm(n);
        cv::Mat residual = (y - A * solution) / norm;
        plane = {n / norm, coef[2] / norm, std::sqrt(cv::mean(residual.mul(residual))[0])};
    }
    return plane;
}

// What a consumer takes from one device folder.
struct Dataset {
    json calibration;
    std::vector<cv::Mat> depth;  // counts, aligned to colour
    cv::Vec3d meanAccel;
    std::vector<frames_index::Row> frames;
    json clock;
    std::vector<uint64_t> imuDeviceUs;
};

Dataset load(const std::string& deviceDir)
{
    Dataset d;
    d.calibration = json::parse(readFile(deviceDir + "/calibration.json"), nullptr, false);
    d.clock = json::parse(readFile(deviceDir + "/clock.json"), nullptr, false);
    d.frames = frames_index::parse(readFile(deviceDir + "/frames.csv")).rows;
    for (const auto& row : d.frames)
        d.depth.push_back(cv::imread(deviceDir + "/" + row.depthFile, cv::IMREAD_UNCHANGED));
    int samples = 0;
    for (const auto& line : lines(readFile(deviceDir + "/data.json"))) {
        const json entry = json::parse(line, nullptr, false);
        if (!entry.contains("sensor"))
            continue;
        if (entry["sensor"]["type"] == "accelerometer") {
            const auto& v = entry["sensor"]["values"];
            d.meanAccel += cv::Vec3d(v[0].get<double>(), v[1].get<double>(), v[2].get<double>());
            ++samples;
        }
        d.imuDeviceUs.push_back(entry["device_us"].get<uint64_t>());
    }
    if (samples)
        d.meanAccel /= samples;
    return d;
}

// Everything that does not come out as the room was built; empty when all does.
std::vector<std::string> roomFindings(const Dataset& d)
{
    std::vector<std::string> findings;
    const auto& c = d.calibration;
    const auto& in = c["streams"]["depth"]["intrinsics"];
    const Pinhole pinhole{in["fx"].get<double>(), in["fy"].get<double>(), in["cx"].get<double>(),
        in["cy"].get<double>()};
    const double unit = c["depth_unit_m"].get<double>();
    std::vector<double> R;
    for (const auto& r : c["extrinsics"]["imu_to_color"]["rotation"])
        R.push_back(r.get<double>());
    const auto note = [&](bool ok, const std::string& what, double value) {
        if (!ok)
            findings.push_back(what + " " + std::to_string(value));
    };
    for (size_t i = 0; i < d.depth.size(); i += 3) {
        const cv::Mat& counts = d.depth[i];
        const Plane wall = fitPlane(backProject(counts, pinhole, unit, 0), 2);
        const Plane floor = fitPlane(backProject(counts, pinhole, unit, pinhole.cy), 1);
        note(std::fabs(wall.offset - kWallM) < 0.01, "wall at", wall.offset);
        note(std::fabs(floor.offset - kCameraHeightM) < 0.01, "floor at", floor.offset);
        note(floor.rms < 0.01, "floor rms", floor.rms);
        note(std::fabs(floor.normal.dot(wall.normal)) < std::sin(kDegree), "floor.wall", floor.normal.dot(wall.normal));
        // A still camera's accelerometer, turned into the camera frame, feels the floor push up: along -normal.
        const cv::Vec3d& a = d.meanAccel;
        const cv::Vec3d up(R[0] * a[0] + R[1] * a[1] + R[2] * a[2], R[3] * a[0] + R[4] * a[1] + R[5] * a[2],
            R[6] * a[0] + R[7] * a[1] + R[8] * a[2]);
        const double tilt = std::acos(std::min(1.0, -up.dot(floor.normal) / cv::norm(up))) / kDegree;
        note(tilt < 2.0, "gravity off the floor normal by (deg)", tilt);
    }
    return findings;
}

class ConsumerDataset : public SaveFixture {
protected:
    void TearDown() override
    {
        manager_.reset();
        SaveFixture::TearDown();
    }

    // A continuous run of `sets` frame sets; returns the device folder. Depth is
    // asked for at another size, so only depth aligned to colour fits the room.
    std::string record(size_t sets)
    {
        policy_->stride = 1;
        manager_ = std::make_unique<DepthCamera>();
        manager_->start("Gemini_corlor",
            {{camera_stream::kColor, camera_format::kMJPG, 640, 480, 15},
                {camera_stream::kDepth, camera_format::kY16, 320, 200, 15}},
            {}, policy_);
        EXPECT_TRUE(kavrel::test::waitUntil([&] { return manager_->colourFrames() > 0; }, 15000));
        startWorker();
        queues_ = std::make_shared<CaptureQueues>();
        policy_->attach(queues_);
        policy_->saving = true;
        EXPECT_NE(task_->beginRun(true, queues_, RunFolder::newSession()), 0u);
        EXPECT_TRUE(kavrel::test::waitUntil([&] { return task_->stats().depthImagesSaved >= sets; }, 30000));
        policy_->saving = false;
        task_->endRun();
        EXPECT_TRUE(kavrel::test::waitUntil([&] { return task_->stats().runsCompleted >= 1; }, 15000));
        policy_->attach(nullptr);
        manager_.reset();
        return sessionPath() + "/D1";
    }

    std::shared_ptr<CapturePolicy> policy_ = std::make_shared<CapturePolicy>();
    std::unique_ptr<DepthCamera> manager_;
};

TEST_F(ConsumerDataset, TheRoomComesOutOfTheSavedCalibrationAndAWrongOneDoesNot)
{
    for (const char* scale : {"1", "0.1"}) {
        SCOPED_TRACE(std::string("depth scale ") + scale);
        kavrel::test::ScopedEnv depthScale("KAVREL_SIM_DEPTH_SCALE", std::string(scale));
        finishSession();
        const Dataset d = load(record(8));
        ASSERT_GE(d.depth.size(), 8u);
        ASSERT_TRUE(d.calibration.is_object());
        const auto findings = roomFindings(d);
        EXPECT_TRUE(findings.empty()) << findings.front();

        // The same images with a calibration that is wrong in one way each.
        const std::map<std::string, std::function<void(json&)>> faults = {
            {"focal length of another resolution", [](json& k) {
                 auto& in = k["streams"]["depth"]["intrinsics"];
                 for (const char* f : {"fx", "fy"})
                     in[f] = in[f].get<double>() * 1.05;
             }},
            {"IMU extrinsic of the opposite sign convention", [](json& k) {
                 for (auto& r : k["extrinsics"]["imu_to_color"]["rotation"])
                     r = -r.get<double>();
             }},
        };
        for (const auto& [what, corrupt] : faults) {
            Dataset wrong = d;
            corrupt(wrong.calibration);
            EXPECT_FALSE(roomFindings(wrong).empty()) << what << " went unnoticed";
        }
    }
}

// How closely the saved clock mapping fits (what frames.csv lists is the checker's, tests/blackbox).
TEST_F(ConsumerDataset, FramesAndImuShareOneClock)
{
    const Dataset d = load(record(15));
    ASSERT_GE(d.frames.size(), 15u);
    // Device times mapped to UTC with the saved mapping, against the host's receive times.
    ASSERT_TRUE(d.clock.is_object());
    const auto& runs = d.clock["runs"];
    ASSERT_EQ(runs.size(), 1u);
    const auto& run = runs[0];
    const auto toUtcNs = [&](uint64_t deviceUs) {
        const double elapsed = (double(deviceUs) - run["device_us_ref"].get<double>()) * 1000.0;
        return run["utc_ns_ref"].get<int64_t>() + int64_t(elapsed * (1 + run["drift_ppm"].get<double>() / 1e6));
    };
    std::vector<double> lagMs;
    for (const auto& row : d.frames) {
        EXPECT_EQ(row.colourDeviceUs, row.depthDeviceUs);
        lagMs.push_back(double(row.hostUtcNs - toUtcNs(row.colourDeviceUs)) / 1e6);
    }
    std::sort(lagMs.begin(), lagMs.end());
    // No frame arrives before its mapped time, most within a few ms of the
    // quickest: a wrong offset or rate would spread them apart.
    EXPECT_GT(lagMs.front(), -3.0);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(KAVREL_UNDER_EMULATION)
    // Under a sanitizer or emulation the simulator's rendering, not the mapping, spreads the arrivals.
#else
    EXPECT_LT(lagMs[lagMs.size() / 2] - lagMs.front(), 15.0);
#endif
    // The IMU runs on the same clock: its first sample maps before the first frame's arrival.
    ASSERT_FALSE(d.imuDeviceUs.empty());
    EXPECT_LT(toUtcNs(*std::min_element(d.imuDeviceUs.begin(), d.imuDeviceUs.end())), d.frames.front().hostUtcNs);
}

TEST_F(ConsumerDataset, ACameraWithoutCalibrationRecordsAndSaysSo)
{
    kavrel::test::ScopedEnv withheld("KAVREL_SIM_NO_CALIBRATION", std::string("1"));
    const std::string device = record(3);
    const json c = json::parse(readFile(device + "/calibration.json"), nullptr, false);
    ASSERT_TRUE(c.is_object());
    EXPECT_EQ(c["calibration_known"], false);
    EXPECT_TRUE(c["streams"]["depth"]["intrinsics"].is_null()) << "no guessed intrinsics";
    EXPECT_TRUE(c["extrinsics"].is_null());
    // What the camera still tells is kept: the depth unit, and the images.
    EXPECT_DOUBLE_EQ(c["depth_unit_m"].get<double>(), 0.001);
    EXPECT_GE(frames_index::parse(readFile(device + "/frames.csv")).rows.size(), 3u);
}

} // namespace
