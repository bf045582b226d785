// The USB camera against a fake device: preview, the soil snapshot, and its
// one reconnect loop (unplug, replug, a camera that never appears).

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "FrameQueues.h"
#include "Log.h"
#include "TestSupport.h"
#include "UsbCamera.h"
#include "UsbCameraConfig.h"
#include "FakeUsbDevice.h"
#include "config_manager.h"

using kavrel::test::FakeDevice;
using kavrel::test::openerFor;

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;

// Left half black, right half white.
std::vector<uint8_t> twoToneJpeg()
{
    cv::Mat image(kHeight, kWidth, CV_8UC3, cv::Scalar(0, 0, 0));
    image(cv::Rect(kWidth / 2, 0, kWidth / 2, kHeight)).setTo(cv::Scalar(255, 255, 255));
    std::vector<uint8_t> bytes;
    cv::imencode(".jpg", image, bytes);
    return bytes;
}

const std::vector<CameraConfig> kMjpegRequest{{static_cast<int32_t>(camera_base::fourcc("MJPG")), 0, kWidth, kHeight, 30}};

class UsbCameraTest : public ::testing::Test {
protected:
    void SetUp() override { policy_->attach(queues_); }

    void start(FakeDevice& device)
    {
        camera_ = std::make_unique<UsbCamera>(openerFor(device));
        CameraCallbacks callbacks;
        callbacks.frameReady = [this] { ++rendered_; };
        callbacks.status = [this](bool live) { (live ? streamed_ : lost_)++; };
        ASSERT_TRUE(camera_->start("HD Web Camera", kMjpegRequest, std::move(callbacks), policy_));
    }

    template <typename Done>
    bool waitFor(Done done)
    {
        return kavrel::test::waitUntil(done, 8000);
    }

    std::atomic<int> arrivals_{0};
    std::shared_ptr<CapturePolicy> policy_ = std::make_shared<CapturePolicy>([this] { ++arrivals_; });
    std::shared_ptr<CaptureQueues> queues_ = std::make_shared<CaptureQueues>();
    std::atomic<int> rendered_{0};
    std::atomic<int> streamed_{0};
    std::atomic<int> lost_{0};
    std::unique_ptr<UsbCamera> camera_;
};

} // namespace

TEST_F(UsbCameraTest, EveryFrameBecomesARecognisableNV12Preview)
{
    FakeDevice device(twoToneJpeg(), kWidth, kHeight);
    start(device);
    ASSERT_TRUE(waitFor([&] { return rendered_.load() >= 5; }));
    EXPECT_EQ(streamed_.load(), 1);
    PreviewFrame preview = camera_->previewMailbox().take();
    camera_.reset();
    ASSERT_TRUE(preview);
    EXPECT_EQ(preview.width, kWidth);
    EXPECT_EQ(preview.height, kHeight);
    const uint8_t* frame = preview.nv12.get();
    const uint8_t* row = frame + (kHeight / 2) * kWidth;
    EXPECT_LT(row[kWidth / 4], 40) << "left half is black";
    EXPECT_GT(row[3 * kWidth / 4], 200) << "right half is white";
    const uint8_t* chroma = frame + kWidth * kHeight;
    EXPECT_NEAR(chroma[0], 128, 6) << "grey scene has neutral chroma";
    EXPECT_EQ(queues_->usbFrames().size(), 0u) << "nothing saved without a trigger";
    // The copy buffer holds width x height x 3: a larger frame is cut to it.
    EXPECT_EQ(device.largestCapacity.load(), static_cast<std::size_t>(kWidth * kHeight * 3));
}

TEST_F(UsbCameraTest, SoilSingleShotSavesOneFrameAsDelivered)
{
    const auto jpeg = twoToneJpeg();
    FakeDevice device(jpeg, kWidth, kHeight);
    policy_->soil = true;
    policy_->onRequest = true;
    policy_->requestSnapshot();  // before the stream: not this camera's
    start(device);
    ASSERT_TRUE(waitFor([&] { return device.delivered.load() >= 3; }));
    // Two requests before the camera looks again make one capture.
    policy_->requestSnapshot();
    policy_->requestSnapshot();
    policy_->saving = true;
    ASSERT_TRUE(waitFor([&] { return policy_->usb.queued.load() >= 1; }));
    const int seen = device.delivered.load();
    ASSERT_TRUE(waitFor([&] { return device.delivered.load() > seen + 10; })) << "and no second capture follows";
    camera_.reset();

    auto& saved = queues_->usbFrames();
    EXPECT_EQ(arrivals_.load(), 1) << "the session hears of the snapshot once";
    ASSERT_EQ(saved.size(), 1u);
    auto set = saved.pop();
    ASSERT_TRUE(set);
    EXPECT_EQ(set->colour.size, jpeg.size());
    EXPECT_EQ(std::memcmp(set->colour.data.get(), jpeg.data(), jpeg.size()), 0) << "saved as the camera delivered it";
    EXPECT_EQ(set->snapshotId, 3u) << "the latest request's id";
    EXPECT_FALSE(set->depth.data);
    EXPECT_EQ(set->timestamp.size(), 17u);
}

// One loop owns the reconnection: an unplugged camera is reported lost once,
// the loop tries again until it reappears, and the preview comes back.
TEST_F(UsbCameraTest, UnpluggedCameraIsReportedLostAndItsPreviewComesBackWhenReplugged)
{
    kavrel::log::LogCapture log;
    FakeDevice device(twoToneJpeg(), kWidth, kHeight);
    start(device);
    ASSERT_TRUE(waitFor([&] { return rendered_.load() >= 3; }));

    device.plugged = false;
    ASSERT_TRUE(waitFor([&] { return lost_.load() == 1; })) << "the page hears that the camera is gone";
    EXPECT_TRUE(log.contains("USB camera HD Web Camera lost; trying to open it again every second"));
    EXPECT_EQ(camera_->reconnects(), 1u);
    EXPECT_EQ(device.opens.load(), 1) << "an absent camera does not open";

    device.plugged = true;
    ASSERT_TRUE(waitFor([&] { return streamed_.load() == 2; })) << "opened again by its own loop";
    const int renders = rendered_.load();
    ASSERT_TRUE(waitFor([&] { return rendered_.load() > renders + 3; })) << "the preview comes back";
    camera_.reset();
    EXPECT_EQ(device.opens.load(), 2);
    EXPECT_EQ(lost_.load(), 1) << "lost once, not once per loop";
}

TEST(UsbCameraConfig, ThirdCameraEntryNamesItsPixelFormat)
{
    camera_entry entry;
    entry.camera_type_str = "HD Web Camera";
    entry.camera_id = 1;
    entry.width = 1280;
    entry.height = 720;
    entry.fps = 30;
    auto configs = usbCameraConfigs(entry);
    ASSERT_EQ(configs.size(), 1u);
    EXPECT_EQ(static_cast<uint32_t>(configs[0].streamType), camera_base::fourcc("MJPG"));
    EXPECT_EQ(configs[0].width, 1280);
    entry.pixel_format = "YUYV";
    EXPECT_EQ(static_cast<uint32_t>(usbCameraConfigs(entry)[0].streamType), camera_base::fourcc("YUYV"));
    entry.pixel_format = "mjpeg";
    kavrel::log::LogCapture capture;
    EXPECT_EQ(static_cast<uint32_t>(usbCameraConfigs(entry)[0].streamType), camera_base::fourcc("MJPG"));
    EXPECT_TRUE(capture.contains("is not a four-character code, using MJPG"));
    entry.camera_id = 0;
    EXPECT_TRUE(usbCameraConfigs(entry).empty());
}

TEST(UsbCamera, WithoutTheCameraRetriesUntilDestroyedAndThenStops)
{
    kavrel::log::LogCapture capture;
    {
        UsbCamera camera;
        ASSERT_TRUE(camera.start("No Such Camera", {{static_cast<int32_t>(camera_base::fourcc("MJPG")), 0, 640, 480, 30}},
            {}, nullptr));
        EXPECT_TRUE(kavrel::test::waitUntil([&] { return capture.count("try to open camera : ") >= 2; }, 6000));
        EXPECT_EQ(camera.framesDelivered(), 0u);
    }
    EXPECT_TRUE(capture.contains("Cannot identify1 "));
    EXPECT_TRUE(capture.contains("capture_camera_loop exit")) << "the loop ended with the camera";
}
