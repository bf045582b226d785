// The simulated camera ends its threads with their owner, whatever the order of release.

#include <atomic>

#include <gtest/gtest.h>

#include <libobsensor/ObSensor.hpp>
#include <obsdk_sim/SimControl.h>

TEST(SdkSim, DestroyingEverythingMidStreamLeavesNoThreadBehind)
{
    for (int round = 0; round < 3; ++round) {
        auto pipeline = std::make_shared<ob::Pipeline>();
        auto device = pipeline->getDevice();
        auto config = std::make_shared<ob::Config>();
        config->enableVideoStream(OB_STREAM_COLOR, 160, 120, 30, OB_FORMAT_MJPG);
        config->enableVideoStream(OB_STREAM_DEPTH, 320, 200, 30, OB_FORMAT_Y16);
        pipeline->start(config);
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
        EXPECT_EQ(obsim::liveThreads(), 0) << "an SDK thread outlived its pipeline or filter";
    }
    EXPECT_EQ(obsim::liveFrames(), 0) << "a frame was never released";
    EXPECT_EQ(obsim::liveHandles(), 0) << "an SDK handle was never deleted";
}
