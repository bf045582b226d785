// The simulated depth camera must behave like the camera the capture code is
// written for: aligned sets in order on the filter's thread, no leaked frames,
// and threads that end with their owner. Its pace, clock and room are checked
// through the saved dataset (tests/consumer), its faults through the depth
// camera's tests.

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <libobsensor/ObSensor.hpp>
#include <obsdk_sim/SimControl.h>

#include "TestSupport.h"

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

// Colour at the given size, depth always at 320x200.
std::shared_ptr<ob::Config> videoConfig(int width, int height)
{
    auto config = std::make_shared<ob::Config>();
    config->enableVideoStream(OB_STREAM_COLOR, width, height, 30, OB_FORMAT_MJPG);
    config->enableVideoStream(OB_STREAM_DEPTH, 320, 200, 30, OB_FORMAT_Y16);
    config->setFrameAggregateOutputMode(OB_FRAME_AGGREGATE_OUTPUT_ANY_SITUATION);
    return config;
}

} // namespace

TEST_F(SdkSim, AlignFilterPassesEverySetOnceInOrderWithDepthAtTheColourSize)
{
    auto pipeline = std::make_shared<ob::Pipeline>();
    pipeline->start(videoConfig(640, 480));
    auto align = std::make_shared<ob::Align>(OB_STREAM_COLOR);
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
    EXPECT_EQ(aligned->depthFrame()->getWidth(), 640u) << "aligned depth takes the colour frame's size";
    EXPECT_EQ(aligned->depthFrame()->getDataSize(), 640u * 480u * 2);
}

TEST_F(SdkSim, DestroyingEverythingMidStreamLeavesNoThreadBehind)
{
    for (int round = 0; round < 3; ++round) {
        auto pipeline = std::make_shared<ob::Pipeline>();
        auto device = pipeline->getDevice();
        pipeline->start(videoConfig(160, 120));
        auto imu = std::make_shared<ob::Pipeline>(device);
        auto imuConfig = std::make_shared<ob::Config>();
        imuConfig->enableAccelStream();
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
