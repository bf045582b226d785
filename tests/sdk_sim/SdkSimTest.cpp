// The simulated depth camera must behave like the camera the capture code is
// written for: real-time pace, device timestamps in microseconds, no lost or
// leaked frames and threads that end with their owner. The injected faults
// (absent, unplugged, failing start, no IMU) are exercised through the camera
// manager's tests.

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <libobsensor/ObSensor.hpp>
#include <obsdk_sim/SimControl.h>

#include "Log.h"
#include "TestSupport.h"

using namespace std::chrono;

namespace {

// Every test starts and ends with nothing of the SDK alive.
class SdkSim : public ::testing::Test {
protected:
    void SetUp() override { obsim::resetFaults(); }
    void TearDown() override
    {
        EXPECT_EQ(obsim::liveThreads(), 0) << "an SDK thread outlived its pipeline or filter";
        EXPECT_EQ(obsim::liveFrames(), 0) << "a frame was never released";
        EXPECT_EQ(obsim::liveHandles(), 0) << "an SDK handle was never deleted";
    }
};

std::shared_ptr<ob::Config> videoConfig(int width, int height, int fps, OBFormat colourFormat,
    int depthWidth = 320, int depthHeight = 200, int depthFps = -1)
{
    auto config = std::make_shared<ob::Config>();
    config->enableVideoStream(OB_STREAM_COLOR, width, height, fps, colourFormat);
    config->enableVideoStream(OB_STREAM_DEPTH, depthWidth, depthHeight, depthFps < 0 ? fps : depthFps,
        OB_FORMAT_Y16);
    config->setFrameAggregateOutputMode(OB_FRAME_AGGREGATE_OUTPUT_ANY_SITUATION);
    return config;
}

// An IMU pipeline on `device` with both motion streams, started with `onSample`.
std::shared_ptr<ob::Pipeline> startImu(std::shared_ptr<ob::Device> device, ob::FrameSetCallback onSample)
{
    auto imu = std::make_shared<ob::Pipeline>(device);
    auto config = std::make_shared<ob::Config>();
    config->enableGyroStream(OB_GYRO_FS_ANY, OB_SAMPLE_RATE_200_HZ);
    config->enableAccelStream(OB_ACCEL_FS_ANY, OB_SAMPLE_RATE_200_HZ);
    imu->start(config, onSample);
    return imu;
}

} // namespace

TEST_F(SdkSim, FrameSetsComeAtTheRequestedRateWithMicrosecondDeviceTimestamps)
{
    auto pipeline = std::make_shared<ob::Pipeline>();
    const auto started = steady_clock::now();
    pipeline->start(videoConfig(320, 240, 30, OB_FORMAT_MJPG, 320, 200, 15));

    // Per stream: (frame index, device time in us).
    std::vector<std::pair<uint64_t, uint64_t>> colour, depth;
    steady_clock::time_point last;
    for (int n = 0; colour.size() < 31 && n < 200; ++n) {
        auto set = pipeline->waitForFrameset(1000);
        ASSERT_TRUE(set) << "no frame set within a second";
        last = steady_clock::now();
        if (auto frame = set->colorFrame())
            colour.emplace_back(frame->getIndex(), frame->getTimeStampUs());
        if (auto frame = set->depthFrame())
            depth.emplace_back(frame->getIndex(), frame->getTimeStampUs());
    }
    pipeline->stop();
    ASSERT_EQ(colour.size(), 31u);
    ASSERT_GE(depth.size(), 2u);
    // Device time follows the frame index exactly: 33 333 us per colour frame at
    // 30 fps, 66 667 us per depth frame at 15 fps.
    for (auto [frames, fps] : {std::pair{&colour, 30}, {&depth, 15}})
        for (size_t i = 1; i < frames->size(); ++i) {
            const auto [index, us] = (*frames)[i];
            const auto [previousIndex, previousUs] = (*frames)[i - 1];
            EXPECT_NEAR(double(us - previousUs), (index - previousIndex) * 1e6 / fps, 1.0) << fps << " fps, " << i;
        }
    // Real time: every frame was exposed after the start, so the device time
    // between the first and the last frame cannot exceed the wall time from the
    // start to the last frame's arrival.
    const double deviceSeconds = (colour.back().second - colour.front().second) / 1e6;
    const double wallSeconds = duration<double>(last - started).count();
    EXPECT_GE(deviceSeconds, 0.99);
    EXPECT_GE(wallSeconds + 0.002, deviceSeconds) << "frames delivered before they were exposed";
}

TEST_F(SdkSim, AlignFilterPassesEverySetOnceInOrderWithDepthAtTheColourSize)
{
    auto pipeline = std::make_shared<ob::Pipeline>();
    pipeline->start(videoConfig(640, 480, 30, OB_FORMAT_MJPG, 320, 200));
    auto align = std::make_shared<ob::Align>(OB_STREAM_COLOR);
    EXPECT_DOUBLE_EQ(align->getConfigValue("AlignType"), 2.0);
    std::mutex mutex;
    std::vector<uint64_t> seen;
    std::set<std::thread::id> threads;
    std::shared_ptr<ob::FrameSet> aligned;
    align->setCallBack([&](std::shared_ptr<ob::Frame> frame) {
        auto set = frame->as<ob::FrameSet>();
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(set->getIndex());
        threads.insert(std::this_thread::get_id());
        if (!aligned && set->colorFrame() && set->depthFrame())
            aligned = set;
    });
    std::vector<uint64_t> pushed;
    auto caughtUp = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return seen.size() >= pushed.size();
    };
    for (int i = 0; i < 20; ++i) {
        auto set = pipeline->waitForFrameset(1000);
        ASSERT_TRUE(set);
        pushed.push_back(set->getIndex());
        align->pushFrame(set);
        // Two sets in flight at most, well inside the filter's backlog even on a busy machine.
        if (i % 2) {
            ASSERT_TRUE(kavrel::test::waitUntil(caughtUp, 5000));
        }
    }
    pipeline->stop();
    ASSERT_TRUE(kavrel::test::waitUntil(caughtUp, 5000));
    align.reset(); // joins the filter thread
    EXPECT_EQ(seen, pushed);
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u) << "aligned sets arrive on the filter's thread";

    ASSERT_TRUE(aligned);
    auto colour = aligned->colorFrame();
    auto depth = aligned->depthFrame();
    EXPECT_EQ(depth->getWidth(), 640u) << "aligned depth takes the colour frame's size";
    EXPECT_EQ(depth->getHeight(), 480u);
    EXPECT_EQ(depth->getFormat(), OB_FORMAT_Y16);
    ASSERT_EQ(depth->getDataSize(), 640u * 480u * 2);
    cv::Mat bgr = cv::imdecode(cv::Mat(1, int(colour->getDataSize()), CV_8UC1, colour->getData()), cv::IMREAD_COLOR);
    EXPECT_EQ(bgr.size(), cv::Size(640, 480)) << "the colour frame is a whole JPEG";
    const cv::Mat mm(480, 640, CV_16UC1, depth->getData());
    EXPECT_GT(cv::countNonZero(mm), 640 * 480 / 2) << "aligned depth covers the scene";
    EXPECT_GT(cv::countNonZero(mm == 0), 640 * 480 / 100) << "and keeps its holes";
}

TEST_F(SdkSim, ImuDelivers200SamplesASecondOnItsOwnThread)
{
    auto pipeline = std::make_shared<ob::Pipeline>();
    struct Sample {
        uint64_t accelUs, gyroUs, index;
        float ax, ay, az;
    };
    std::mutex mutex;
    std::vector<Sample> samples;
    std::set<std::thread::id> threads;
    const uint64_t skippedBefore = obsim::skippedFrames();
    auto imu = startImu(pipeline->getDevice(), [&](std::shared_ptr<ob::FrameSet> set) {
        auto accel = set->getFrame(OB_FRAME_ACCEL)->as<ob::AccelFrame>();
        auto gyro = set->getFrame(OB_FRAME_GYRO)->as<ob::GyroFrame>();
        const OBAccelValue a = accel->getValue();
        std::lock_guard<std::mutex> lock(mutex);
        samples.push_back({accel->getTimeStampUs(), gyro->getTimeStampUs(), accel->getIndex(), a.x, a.y, a.z});
        threads.insert(std::this_thread::get_id());
    });
    const auto start = steady_clock::now();
    std::this_thread::sleep_for(milliseconds(1000));
    imu->stop();
    const double seconds = duration<double>(steady_clock::now() - start).count();

    std::lock_guard<std::mutex> lock(mutex);
    const bool stalled = obsim::skippedFrames() != skippedBefore;
    if (!stalled) {
        EXPECT_GE(samples.size(), size_t(150 * seconds));
    }
    EXPECT_LE(samples.size(), size_t(200 * seconds + 2)) << "faster than the device can sample";
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
    for (size_t i = 1; i < samples.size(); ++i) {
        EXPECT_TRUE(stalled || samples[i].index == samples[i - 1].index + 1) << "a sample went missing";
        EXPECT_EQ(samples[i].accelUs - samples[i - 1].accelUs, 5000u * (samples[i].index - samples[i - 1].index))
            << "200 Hz is 5000 us between samples";
        EXPECT_EQ(samples[i].gyroUs, samples[i].accelUs);
    }
    // Gravity, in m/s^2.
    const Sample& s = samples.back();
    EXPECT_NEAR(std::sqrt(s.ax * s.ax + s.ay * s.ay + s.az * s.az), 9.8, 0.5);
}

TEST_F(SdkSim, DestroyingEverythingMidStreamLeavesNoThreadBehind)
{
    for (int round = 0; round < 3; ++round) {
        auto pipeline = std::make_shared<ob::Pipeline>();
        auto device = pipeline->getDevice();
        pipeline->start(videoConfig(160, 120, 30, OB_FORMAT_MJPG));
        std::atomic<int> samples{0};
        auto imu = startImu(device, [&](std::shared_ptr<ob::FrameSet>) { ++samples; });
        auto align = std::make_shared<ob::Align>(OB_STREAM_COLOR);
        std::atomic<int> aligned{0};
        align->setCallBack([&](std::shared_ptr<ob::Frame>) { ++aligned; });
        for (int i = 0; i < 3; ++i)
            if (auto set = pipeline->waitForFrameset(1000))
                align->pushFrame(set);
        EXPECT_EQ(obsim::liveThreads(), 3) << "video, IMU and align threads";
        // Released without stop(), in the order a careless owner might choose.
        align.reset();
        pipeline.reset();
        device.reset();
        imu.reset();
        EXPECT_EQ(obsim::liveThreads(), 0);
    }
}
