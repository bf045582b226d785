// The USB camera against a fake device: the soil snapshot, unplug and replug.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "FrameQueues.h"
#include "Log.h"
#include "TestSupport.h"
#include "UsbCamera.h"
#include "UsbCameraConfig.h"
#include "config_manager.h"
#include "v4l2_usb_read.h"

using kavrel::test::waitUntil;

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;

// Plugged in, it delivers a black-left, white-right frame every few milliseconds.
struct FakeDevice {
    FakeDevice()
    {
        cv::Mat image(kHeight, kWidth, CV_8UC3, cv::Scalar(0, 0, 0));
        image(cv::Rect(kWidth / 2, 0, kWidth / 2, kHeight)).setTo(cv::Scalar(255, 255, 255));
        cv::imencode(".jpg", image, frame);
    }
    std::vector<uint8_t> frame;
    std::atomic<bool> plugged{true};
    std::atomic<int> opens{0};
    std::atomic<int> delivered{0};
};

class FakeReader : public camera_base::CameraRead {
public:
    explicit FakeReader(FakeDevice& device) : device_(device) {}
    unsigned get_width() override { return kWidth; }
    unsigned get_height() override { return kHeight; }
    unsigned get_fps() override { return 30; }
    unsigned get_frame_size() override { return static_cast<unsigned>(device_.frame.size()); }
    uint8_t* get_frame() override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        if (!device_.plugged)
            return nullptr;
        ++device_.delivered;
        return device_.frame.data();
    }
    int read_frame(uint8_t* /*dst*/) override { return -1; }
    bool reopen() override { return false; }
    unsigned copy_last_frame(uint8_t* dst, std::size_t capacity) override
    {
        const std::size_t bytes = std::min(device_.frame.size(), capacity);
        std::memcpy(dst, device_.frame.data(), bytes);
        return static_cast<unsigned>(bytes);
    }

private:
    FakeDevice& device_;
};

const std::vector<CameraConfig> kMjpegRequest{
    {static_cast<int32_t>(camera_base::fourcc("MJPG")), 0, kWidth, kHeight, 30}};

class UsbCameraTest : public ::testing::Test {
protected:
    void SetUp() override { policy_->attach(queues_); }

    void start()
    {
        camera_ = std::make_unique<UsbCamera>([this](const std::string&, const CameraConfig&) {
            std::unique_ptr<camera_base::CameraRead> reader;
            if (device_.plugged) {
                ++device_.opens;
                reader = std::make_unique<FakeReader>(device_);
            }
            return reader;
        });
        CameraCallbacks callbacks;
        callbacks.frameReady = [this] { ++rendered_; };
        callbacks.status = [this](bool live) { (live ? streamed_ : lost_)++; };
        ASSERT_TRUE(camera_->start("HD Web Camera", kMjpegRequest, std::move(callbacks), policy_));
    }

    FakeDevice device_;
    std::atomic<int> arrivals_{0};
    std::shared_ptr<CapturePolicy> policy_ = std::make_shared<CapturePolicy>([this] { ++arrivals_; });
    std::shared_ptr<CaptureQueues> queues_ = std::make_shared<CaptureQueues>();
    std::atomic<int> rendered_{0};
    std::atomic<int> streamed_{0};
    std::atomic<int> lost_{0};
    std::unique_ptr<UsbCamera> camera_;
};

} // namespace

TEST_F(UsbCameraTest, SoilSingleShotSavesOneFrameAsDelivered)
{
    policy_->soil = true;
    policy_->onRequest = true;
    policy_->requestSnapshot();  // before the stream: not this camera's
    start();
    ASSERT_TRUE(waitUntil([&] { return device_.delivered.load() >= 3; }, 8000));
    // Two requests before the camera looks again make one capture.
    policy_->requestSnapshot();
    policy_->requestSnapshot();
    policy_->saving = true;
    ASSERT_TRUE(waitUntil([&] { return policy_->usb.queued.load() >= 1; }, 8000));
    const int seen = device_.delivered.load();
    ASSERT_TRUE(waitUntil([&] { return device_.delivered.load() > seen + 10; }, 8000)) << "no second capture follows";
    camera_.reset();

    EXPECT_EQ(arrivals_.load(), 1) << "the session hears of the snapshot once";
    ASSERT_EQ(queues_->usbFrames().size(), 1u);
    auto set = queues_->usbFrames().pop();
    ASSERT_EQ(set->colour.size, device_.frame.size());
    EXPECT_EQ(std::memcmp(set->colour.data.get(), device_.frame.data(), device_.frame.size()), 0)
        << "saved as the camera delivered it";
    EXPECT_EQ(set->snapshotId, 3u) << "the latest request's id";
}

// One loop owns the reconnection: lost is reported once, the preview comes back whole.
TEST_F(UsbCameraTest, UnpluggedCameraIsReportedLostAndItsPreviewComesBackWhenReplugged)
{
    kavrel::log::LogCapture log;
    start();
    ASSERT_TRUE(waitUntil([&] { return rendered_.load() >= 3; }, 8000));

    device_.plugged = false;
    ASSERT_TRUE(waitUntil([&] { return lost_.load() == 1; }, 8000)) << "the page hears that the camera is gone";
    EXPECT_TRUE(log.contains("USB camera HD Web Camera lost; trying to open it again every second"));
    EXPECT_EQ(device_.opens.load(), 1) << "an absent camera does not open";

    device_.plugged = true;
    ASSERT_TRUE(waitUntil([&] { return streamed_.load() == 2; }, 8000)) << "opened again by its own loop";
    const int renders = rendered_.load();
    ASSERT_TRUE(waitUntil([&] { return rendered_.load() > renders + 3; }, 8000)) << "the preview comes back";
    PreviewFrame preview = camera_->previewMailbox().take();
    camera_.reset();
    EXPECT_EQ(device_.opens.load(), 2);
    EXPECT_EQ(lost_.load(), 1) << "lost once, not once per loop";
    EXPECT_EQ(queues_->usbFrames().size(), 0u) << "nothing saved without a trigger";
    ASSERT_TRUE(preview);
    ASSERT_EQ(preview.width, kWidth);
    const uint8_t* row = preview.nv12.get() + (kHeight / 2) * kWidth;
    EXPECT_LT(row[kWidth / 4], 40) << "left half is black";
    EXPECT_GT(row[3 * kWidth / 4], 200) << "right half is white";
}

TEST(UsbCameraConfig, ThirdCameraEntryNamesItsPixelFormat)
{
    camera_entry entry{"HD Web Camera", 1, 1280, 720, 30};
    const auto format = [&] { return static_cast<uint32_t>(usbCameraConfigs(entry).at(0).streamType); };
    EXPECT_EQ(format(), camera_base::fourcc("MJPG"));
    entry.pixel_format = "YUYV";
    EXPECT_EQ(format(), camera_base::fourcc("YUYV"));
    entry.pixel_format = "mjpeg";
    kavrel::log::LogCapture capture;
    EXPECT_EQ(format(), camera_base::fourcc("MJPG"));
    EXPECT_TRUE(capture.contains("is not a four-character code, using MJPG"));
    entry.camera_id = 0;
    EXPECT_TRUE(usbCameraConfigs(entry).empty());
}
