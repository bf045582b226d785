#include <gtest/gtest.h>

#include <libobsensor/ObSensor.hpp>

TEST(SdkStandIn, FailedCallsThrowErrorsCarryingTheFailingFunction)
{
    try {
        auto pipeline = std::make_shared<ob::Pipeline>();
        SUCCEED();
    } catch (const ob::Error& e) {
        EXPECT_STREQ(e.getFunction(), "ob_create_pipeline");
        EXPECT_NE(std::string(e.getMessage()), "");
    }
}

// Every wrapper call the capture code may make must compile against the stand-in.
[[maybe_unused]] static void everyWrapperCallCompiles()
{
    auto pipeline = std::make_shared<ob::Pipeline>();
    auto device = pipeline->getDevice();
    auto sensors = device->getSensorList();
    for (uint32_t i = 0; i < sensors->getCount(); ++i)
        (void)(sensors->getSensorType(i) == sensors->getSensor(i)->getType());
    auto config = std::make_shared<ob::Config>();
    config->enableVideoStream(OB_STREAM_COLOR, 1280, 720, 30, OB_FORMAT_MJPG);
    config->setFrameAggregateOutputMode(OB_FRAME_AGGREGATE_OUTPUT_ANY_SITUATION);
    auto profiles = config->getEnabledStreamProfileList();
    for (uint32_t i = 0; i < profiles->getCount(); ++i) {
        auto profile = profiles->getProfile(i);
        if (profile->is<ob::VideoStreamProfile>()) {
            auto video = profile->as<ob::VideoStreamProfile>();
            (void)(video->getWidth() + video->getHeight() + video->getFps() + video->getFormat() + video->getType());
        }
    }
    pipeline->start(config);
    auto imuPipeline = std::make_shared<ob::Pipeline>(device);
    auto imuConfig = std::make_shared<ob::Config>();
    imuConfig->enableGyroStream(OB_GYRO_FS_ANY, OB_SAMPLE_RATE_200_HZ);
    imuConfig->enableAccelStream(OB_ACCEL_FS_ANY, OB_SAMPLE_RATE_200_HZ);
    imuPipeline->start(imuConfig, [](std::shared_ptr<ob::FrameSet> set) {
        auto accel = set->getFrame(OB_FRAME_ACCEL)->as<ob::AccelFrame>();
        auto gyro = set->getFrame(OB_FRAME_GYRO)->as<ob::GyroFrame>();
        (void)(accel->getValue().x + gyro->getValue().z + accel->getTimeStampUs() + gyro->getTimeStampUs());
    });
    auto align = std::make_shared<ob::Align>(OB_STREAM_COLOR);
    align->setCallBack([](std::shared_ptr<ob::Frame> frame) {
        auto set = frame->as<ob::FrameSet>();
        auto colour = set->colorFrame();
        auto depth = set->getFrame(OB_FRAME_DEPTH)->as<ob::DepthFrame>();
        (void)(colour->getWidth() + colour->getHeight() + colour->getDataSize() + colour->getFormat());
        (void)(depth->getData() != nullptr);
    });
    if (auto set = pipeline->waitForFrameset(100))
        align->pushFrame(set);
    imuPipeline->stop();
    pipeline->stop();
}
