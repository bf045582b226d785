// The simulated depth camera must behave like the camera the capture code is
// written for: real-time pace, device timestamps in microseconds, no lost or
// leaked frames, threads that end with their owner, and the faults the
// environment asks for.

#include <atomic>
#include <chrono>
#include <condition_variable>
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

using kavrel::test::ScopedEnv;
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

bool hasSensor(ob::SensorList& list, OBSensorType type)
{
    for (uint32_t i = 0; i < list.getCount(); ++i)
        if (list.getSensor(i)->getType() == type)
            return true;
    return false;
}

} // namespace

TEST_F(SdkSim, FrameSetsComeAtTheRequestedRateWithMicrosecondDeviceTimestamps)
{
    auto pipeline = std::make_shared<ob::Pipeline>();
    const auto started = steady_clock::now();
    pipeline->start(videoConfig(320, 240, 30, OB_FORMAT_MJPG, 320, 200, 15));

    std::vector<uint64_t> colourIndex, colourUs, depthIndex, depthUs;
    steady_clock::time_point last;
    for (int n = 0; colourIndex.size() < 31 && n < 200; ++n) {
        auto set = pipeline->waitForFrameset(1000);
        ASSERT_TRUE(set) << "no frame set within a second";
        last = steady_clock::now();
        if (auto colour = set->colorFrame()) {
            colourIndex.push_back(colour->getIndex());
            colourUs.push_back(colour->getTimeStampUs());
        }
        if (auto depth = set->depthFrame()) {
            depthIndex.push_back(depth->getIndex());
            depthUs.push_back(depth->getTimeStampUs());
        }
    }
    pipeline->stop();
    ASSERT_EQ(colourIndex.size(), 31u);

    // Device time follows the frame index exactly: 33 333 us per colour frame at
    // 30 fps, 66 667 us per depth frame at 15 fps.
    for (size_t i = 1; i < colourIndex.size(); ++i) {
        const double expected = (colourIndex[i] - colourIndex[i - 1]) * 1e6 / 30;
        EXPECT_NEAR(double(colourUs[i] - colourUs[i - 1]), expected, 1.0) << "frame " << i;
    }
    for (size_t i = 1; i < depthIndex.size(); ++i) {
        const double expected = (depthIndex[i] - depthIndex[i - 1]) * 1e6 / 15;
        EXPECT_NEAR(double(depthUs[i] - depthUs[i - 1]), expected, 1.0);
    }
    // Depth at half the colour rate: over the same span it counts half the periods.
    ASSERT_GE(depthIndex.size(), 2u);
    const double colourPeriods = double(colourUs.back() - colourUs.front()) * 30 / 1e6;
    const double depthPeriods = double(depthUs.back() - depthUs.front()) * 15 / 1e6;
    EXPECT_NEAR(depthPeriods, colourPeriods / 2, 1.5);

    // Real time: every frame was exposed after the start, so the device time
    // between the first and the last frame cannot exceed the wall time from the
    // start to the last frame's arrival.
    const double deviceSeconds = (colourUs.back() - colourUs.front()) / 1e6;
    const double wallSeconds = duration<double>(last - started).count();
    EXPECT_GE(deviceSeconds, 0.99);
    EXPECT_GE(wallSeconds + 0.002, deviceSeconds) << "frames delivered before they were exposed";
}

TEST_F(SdkSim, WaitReturnsNullOnItsTimeOutAndStopEndsTheWaitAtOnce)
{
    auto pipeline = std::make_shared<ob::Pipeline>();
    pipeline->start(videoConfig(160, 120, 1, OB_FORMAT_BGR)); // first frame set after one second
    const auto before = steady_clock::now();
    EXPECT_EQ(pipeline->waitForFrameset(100), nullptr);
    EXPECT_GE(steady_clock::now() - before, milliseconds(95));

    std::thread stopper([&] {
        std::this_thread::sleep_for(milliseconds(100));
        pipeline->stop();
    });
    const auto waitStart = steady_clock::now();
    EXPECT_EQ(pipeline->waitForFrameset(5000), nullptr);
    EXPECT_LT(steady_clock::now() - waitStart, milliseconds(3000)) << "stop must wake a waiting reader";
    stopper.join();
}

TEST_F(SdkSim, MjpgColourAndAlignedDepthShowTheSameScene)
{
    auto pipeline = std::make_shared<ob::Pipeline>();
    pipeline->start(videoConfig(640, 480, 30, OB_FORMAT_MJPG, 320, 200));
    auto align = std::make_shared<ob::Align>(OB_STREAM_COLOR);
    EXPECT_DOUBLE_EQ(align->getConfigValue("AlignType"), 2.0);

    std::mutex mutex;
    std::condition_variable arrived;
    std::shared_ptr<ob::FrameSet> aligned;
    std::thread::id callbackThread;
    align->setCallBack([&](std::shared_ptr<ob::Frame> frame) {
        std::lock_guard<std::mutex> lock(mutex);
        aligned = frame->as<ob::FrameSet>();
        callbackThread = std::this_thread::get_id();
        arrived.notify_all();
    });
    std::shared_ptr<ob::FrameSet> set;
    while (!set || !set->colorFrame() || !set->depthFrame())
        ASSERT_TRUE(set = pipeline->waitForFrameset(1000));
    align->pushFrame(set);
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(arrived.wait_for(lock, seconds(5), [&] { return aligned != nullptr; }));
    }
    EXPECT_NE(callbackThread, std::this_thread::get_id()) << "aligned sets arrive on the filter's thread";

    auto colour = aligned->colorFrame();
    auto depth = aligned->depthFrame();
    ASSERT_TRUE(colour && depth);
    EXPECT_EQ(set->depthFrame()->getWidth(), 320u);
    EXPECT_EQ(depth->getWidth(), 640u) << "aligned depth takes the colour frame's size";
    EXPECT_EQ(depth->getHeight(), 480u);
    EXPECT_EQ(depth->getFormat(), OB_FORMAT_Y16);
    ASSERT_EQ(depth->getDataSize(), 640u * 480u * 2);
    EXPECT_EQ(depth->getTimeStampUs(), set->depthFrame()->getTimeStampUs());

    cv::Mat bgr = cv::imdecode(cv::Mat(1, int(colour->getDataSize()), CV_8UC1, colour->getData()), cv::IMREAD_COLOR);
    ASSERT_EQ(bgr.cols, 640);
    ASSERT_EQ(bgr.rows, 480);
    const cv::Mat mm(480, 640, CV_16UC1, depth->getData());

    // The pillar (left, green, 2.2 m) and the dark screen (right, no return) stand still.
    const cv::Point pillar(int(0.10 * 640), int(0.45 * 480));
    const cv::Vec3b pillarColour = bgr.at<cv::Vec3b>(pillar);
    EXPECT_GT(pillarColour[1], pillarColour[2]);
    EXPECT_EQ(mm.at<uint16_t>(pillar), 2200);
    const cv::Point screen(int(0.73 * 640), int(0.24 * 480));
    EXPECT_LT(bgr.at<cv::Vec3b>(screen)[1], 60);
    EXPECT_EQ(mm.at<uint16_t>(screen), 0);
    // The wall is the farthest thing; something is nearer than it; holes exist.
    double nearest = 0, farthest = 0;
    cv::minMaxLoc(mm, nullptr, &farthest);
    EXPECT_EQ(farthest, 3000);
    cv::Mat nonZero = mm > 0;
    cv::minMaxLoc(mm, &nearest, nullptr, nullptr, nullptr, nonZero);
    EXPECT_LT(nearest, 1500);
    EXPECT_GT(cv::countNonZero(mm == 0), 640 * 480 / 100);

    align.reset(); // joins the filter thread
    pipeline->stop();
}

TEST_F(SdkSim, AlignFilterPassesEverySetOnceInOrder)
{
    auto pipeline = std::make_shared<ob::Pipeline>();
    pipeline->start(videoConfig(160, 120, 30, OB_FORMAT_BGR, 160, 100));
    ob::Align align(OB_STREAM_COLOR);
    std::mutex mutex;
    std::vector<uint64_t> seen;
    align.setCallBack([&](std::shared_ptr<ob::Frame> frame) {
        auto set = frame->as<ob::FrameSet>();
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(set->getIndex());
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
        align.pushFrame(set);
        // Two sets in flight at most, well inside the filter's backlog even on a busy machine.
        if (i % 2) {
            ASSERT_TRUE(kavrel::test::waitUntil(caughtUp, 5000));
        }
    }
    pipeline->stop();
    ASSERT_TRUE(kavrel::test::waitUntil(caughtUp, 5000));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(seen, pushed);
}

TEST_F(SdkSim, ImuDelivers200SamplesASecondOnItsOwnThread)
{
    auto pipeline = std::make_shared<ob::Pipeline>();
    auto device = pipeline->getDevice();
    auto sensors = device->getSensorList();
    ASSERT_TRUE(hasSensor(*sensors, OB_SENSOR_ACCEL));
    ASSERT_TRUE(hasSensor(*sensors, OB_SENSOR_GYRO));
    ASSERT_TRUE(hasSensor(*sensors, OB_SENSOR_COLOR));
    ASSERT_TRUE(hasSensor(*sensors, OB_SENSOR_DEPTH));

    auto imu = std::make_shared<ob::Pipeline>(device);
    auto config = std::make_shared<ob::Config>();
    config->enableGyroStream(OB_GYRO_FS_ANY, OB_SAMPLE_RATE_200_HZ);
    config->enableAccelStream(OB_ACCEL_FS_ANY, OB_SAMPLE_RATE_200_HZ);
    struct Sample {
        uint64_t accelUs, gyroUs, index;
        float ax, ay, az;
    };
    std::mutex mutex;
    std::vector<Sample> samples;
    std::set<std::thread::id> threads;
    const uint64_t skippedBefore = obsim::skippedFrames();
    imu->start(config, [&](std::shared_ptr<ob::FrameSet> set) {
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
    if (obsim::skippedFrames() == skippedBefore) {
        EXPECT_GE(samples.size(), size_t(150 * seconds));
    }
    EXPECT_LE(samples.size(), size_t(200 * seconds + 2)) << "faster than the device can sample";
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
    const bool stalled = obsim::skippedFrames() != skippedBefore;
    for (size_t i = 1; i < samples.size(); ++i) {
        if (!stalled) {
            EXPECT_EQ(samples[i].index, samples[i - 1].index + 1) << "a sample went missing";
        }
        EXPECT_EQ(samples[i].accelUs - samples[i - 1].accelUs, 5000u * (samples[i].index - samples[i - 1].index))
            << "200 Hz is 5000 us between samples";
        EXPECT_EQ(samples[i].gyroUs, samples[i].accelUs);
    }
    // Gravity, in m/s^2.
    const Sample& s = samples.back();
    EXPECT_NEAR(std::sqrt(s.ax * s.ax + s.ay * s.ay + s.az * s.az), 9.8, 0.5);
    // The device clock runs at wall-clock speed (microseconds, not ms or ns).
    const double deviceSeconds = (samples.back().accelUs - samples.front().accelUs) / 1e6;
    EXPECT_NEAR(deviceSeconds, (samples.back().index - samples.front().index) * 0.005, 0.001);
    EXPECT_LE(deviceSeconds, seconds + 0.01);
}

TEST_F(SdkSim, AbsentCameraFailsCreationForTheGivenAttempts)
{
    {
        ScopedEnv absent("KAVREL_SIM_CAMERA_ABSENT", "2");
        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                ob::Pipeline pipeline;
                FAIL() << "attempt " << attempt << " found a camera";
            } catch (const ob::Error& e) {
                EXPECT_EQ(e.getExceptionType(), OB_EXCEPTION_TYPE_CAMERA_DISCONNECTED);
                EXPECT_STREQ(e.getFunction(), "ob_create_pipeline");
                EXPECT_STREQ(e.getMessage(), "No device found");
            }
        }
        EXPECT_NO_THROW(ob::Pipeline());
    }
    {
        ScopedEnv absent("KAVREL_SIM_CAMERA_ABSENT", "always");
        ScopedEnv type("KAVREL_SIM_CAMERA_ERROR_TYPE", "7");
        for (int attempt = 0; attempt < 5; ++attempt) {
            try {
                ob::Pipeline pipeline;
                FAIL();
            } catch (const ob::Error& e) {
                EXPECT_EQ(e.getExceptionType(), OB_EXCEPTION_TYPE_IO);
            }
        }
    }
    EXPECT_NO_THROW(ob::Pipeline());
}

TEST_F(SdkSim, CameraDisconnectsAfterTheGivenFrameSets)
{
    ScopedEnv after("KAVREL_SIM_DISCONNECT_AFTER", "3");
    auto pipeline = std::make_shared<ob::Pipeline>();
    auto device = pipeline->getDevice();
    pipeline->start(videoConfig(160, 120, 30, OB_FORMAT_BGR));
    auto imu = std::make_shared<ob::Pipeline>(device);
    auto imuConfig = std::make_shared<ob::Config>();
    imuConfig->enableAccelStream();
    imuConfig->enableGyroStream();
    imu->start(imuConfig, [](std::shared_ptr<ob::FrameSet>) {});

    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(pipeline->waitForFrameset(1000)) << i;
    try {
        pipeline->waitForFrameset(1000);
        FAIL() << "the fourth wait must report the disconnect";
    } catch (const ob::Error& e) {
        EXPECT_EQ(e.getExceptionType(), OB_EXCEPTION_TYPE_CAMERA_DISCONNECTED);
        EXPECT_STREQ(e.getFunction(), "ob_pipeline_wait_for_frameset");
    }
    // The IMU on the same device falls silent too: its thread ends with the video one.
    EXPECT_TRUE(kavrel::test::waitUntil([] { return obsim::liveThreads() == 0; }, 5000));
    EXPECT_NO_THROW(pipeline->stop());
    imu->stop();
}

TEST_F(SdkSim, StartAndImuFaultsReportTheirTypes)
{
    ScopedEnv failures("KAVREL_SIM_START_FAILURES", "2");
    ScopedEnv imuFails("KAVREL_SIM_IMU_START_FAILS", "1");
    auto pipeline = std::make_shared<ob::Pipeline>();
    auto config = videoConfig(160, 120, 30, OB_FORMAT_BGR);
    for (int i = 0; i < 2; ++i) {
        try {
            pipeline->start(config);
            FAIL();
        } catch (const ob::Error& e) {
            EXPECT_EQ(e.getExceptionType(), OB_EXCEPTION_TYPE_CAMERA_DISCONNECTED);
            EXPECT_STREQ(e.getFunction(), "ob_pipeline_start_with_config");
        }
    }
    EXPECT_NO_THROW(pipeline->start(config));
    auto imu = std::make_shared<ob::Pipeline>(pipeline->getDevice());
    auto imuConfig = std::make_shared<ob::Config>();
    imuConfig->enableGyroStream();
    EXPECT_THROW(imu->start(imuConfig, [](std::shared_ptr<ob::FrameSet>) {}), ob::Error);
    pipeline->stop();
}

TEST_F(SdkSim, DestroyingEverythingMidStreamLeavesNoThreadBehind)
{
    for (int round = 0; round < 3; ++round) {
        auto pipeline = std::make_shared<ob::Pipeline>();
        auto device = pipeline->getDevice();
        pipeline->start(videoConfig(160, 120, 30, OB_FORMAT_MJPG));
        auto imu = std::make_shared<ob::Pipeline>(device);
        auto imuConfig = std::make_shared<ob::Config>();
        imuConfig->enableAccelStream();
        imuConfig->enableGyroStream();
        std::atomic<int> samples{0};
        imu->start(imuConfig, [&](std::shared_ptr<ob::FrameSet>) { ++samples; });
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
