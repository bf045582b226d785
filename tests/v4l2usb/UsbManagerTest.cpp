#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "CameraManager.h"
#include "FrameQueues.h"
#include "Log.h"
#include "TestSupport.h"
#include "UsbCameraConfig.h"
#include "config_manager.h"
#include "rk_mjpeg_decoder_v2.h"
#include "v4l2_usb_read.h"

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

// Delivers the same frame every few milliseconds, as a camera would.
class FakeReader : public camera_base::CameraRead {
public:
    explicit FakeReader(std::vector<uint8_t> frame) : frame_(std::move(frame)) {}
    unsigned get_width() override { return kWidth; }
    unsigned get_height() override { return kHeight; }
    unsigned get_fps() override { return 30; }
    unsigned get_frame_size() override { return static_cast<unsigned>(frame_.size()); }
    uint8_t* get_frame() override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        if (unplugged)
            return nullptr;
        ++delivered;
        return frame_.data();
    }
    int read_frame(uint8_t* /*dst*/) override { return -1; }
    bool reopen() override { return false; }
    unsigned copy_last_frame(uint8_t* dst, std::size_t capacity) override
    {
        largestCapacity = std::max(largestCapacity, capacity);
        const std::size_t bytes = std::min(frame_.size(), capacity);
        std::memcpy(dst, frame_.data(), bytes);
        return static_cast<unsigned>(bytes);
    }

    std::atomic<int> delivered{0};
    std::atomic<bool> unplugged{false};
    std::size_t largestCapacity = 0;

private:
    std::vector<uint8_t> frame_;
};

class UsbManagerLoop : public ::testing::Test {
protected:
    void SetUp() override
    {
        policy_->attach(queues_);
        manager_.setCapturePolicy(policy_);
    }

    // Runs the USB frame loop on `reader` until `done` holds.
    template <typename Done>
    void runLoop(FakeReader& reader, Done done)
    {
        manager_.cameraConfigs = {{static_cast<int32_t>(camera_base::fourcc("MJPG")), 0, kWidth, kHeight, 30}};
        manager_.jpegDecoder = std::make_shared<rk_mjpeg_decoder_v2>(kWidth, kHeight);
        manager_.notifyRenderFrameFunc_ = [this] { ++rendered_; };
        manager_.notifyCameraStatusFunc_ = [this](bool live) { live_ = live; };
        manager_.running = true;
        std::thread loop([&] { lost_ = manager_.runUsbFrames(reader, "/dev/video-fake"); });
        EXPECT_TRUE(kavrel::test::waitUntil(done, 5000));
        manager_.running = false;
        loop.join();
    }

    std::atomic<int> arrivals_{0};
    std::shared_ptr<CapturePolicy> policy_ = std::make_shared<CapturePolicy>([this] { ++arrivals_; });
    std::shared_ptr<CaptureQueues> queues_ = std::make_shared<CaptureQueues>();
    std::atomic<bool> lost_{false};
    CameraManager manager_;
    std::atomic<int> rendered_{0};
    std::atomic<bool> live_{false};
};

} // namespace

TEST_F(UsbManagerLoop, EveryFrameBecomesARecognisableNV12Preview)
{
    FakeReader reader(twoToneJpeg());
    runLoop(reader, [&] { return rendered_.load() >= 5; });
    EXPECT_TRUE(live_.load());
    PreviewFrame preview = manager_.previewMailbox.take();
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
}

TEST_F(UsbManagerLoop, SoilSingleShotSavesOneFrameAsDelivered)
{
    const auto jpeg = twoToneJpeg();
    FakeReader reader(jpeg);
    policy_->soil = true;
    policy_->onRequest = true;
    auto& saved = queues_->usbFrames();

    bool requested = false;
    runLoop(reader, [&] {
        if (!requested && reader.delivered.load() >= 3) {
            requested = true;
            policy_->saving = true;
            policy_->requestSnapshot();  // two requests between frames: one capture
            policy_->requestSnapshot();
        }
        return reader.delivered.load() > 20;
    });
    EXPECT_EQ(arrivals_.load(), 1) << "the session hears of the snapshot once";
    EXPECT_EQ(policy_->usb.queued.load(), 1u);
    ASSERT_EQ(saved.size(), 1u);
    auto set = saved.pop();
    ASSERT_TRUE(set);
    EXPECT_EQ(set->colour.size, jpeg.size());
    EXPECT_EQ(std::memcmp(set->colour.data.get(), jpeg.data(), jpeg.size()), 0) << "saved as the camera delivered it";
    EXPECT_EQ(set->snapshotId, 2u) << "the latest request's id";
    EXPECT_FALSE(set->depth.data);
    EXPECT_EQ(set->timestamp.size(), 17u);
}

TEST_F(UsbManagerLoop, ACameraThatStopsDeliveringCountsAsLost)
{
    FakeReader reader(twoToneJpeg());
    manager_.cameraConfigs = {{static_cast<int32_t>(camera_base::fourcc("MJPG")), 0, kWidth, kHeight, 30}};
    manager_.jpegDecoder = std::make_shared<rk_mjpeg_decoder_v2>(kWidth, kHeight);
    manager_.running = true;
    reader.unplugged = true;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(manager_.runUsbFrames(reader, "/dev/video-fake")) << "the manager then opens it again";
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(3 * CameraManager::usbLostAfterMs));
    manager_.running = false;
}

TEST_F(UsbManagerLoop, FrameLargerThanTheBufferIsCutToIt)
{
    // A camera bug or a hostile device: a frame larger than width x height x 3.
    std::vector<uint8_t> huge(kWidth * kHeight * 3 + 4096, 0xAB);
    FakeReader reader(huge);
    runLoop(reader, [&] { return reader.delivered.load() > 5; });
    EXPECT_EQ(reader.largestCapacity, static_cast<std::size_t>(kWidth * kHeight * 3));
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

TEST(UsbManager, WithoutCameraRetriesEverySecondAndStopsPromptly)
{
    kavrel::log::LogCapture capture;
    const auto created = std::chrono::steady_clock::now();
    {
        CameraManager manager;
        manager.paramInit(usb_camera, "No Such Camera", {{static_cast<int32_t>(camera_base::fourcc("MJPG")), 0, 640,
                                                           480, 30}},
            [] {}, [](bool) {});
        EXPECT_TRUE(kavrel::test::waitUntil([&] { return capture.count("try to open camera : ") >= 2; }, 4000));
    }
    const auto elapsed = std::chrono::steady_clock::now() - created;
    EXPECT_TRUE(capture.contains("Cannot identify1 "));
    EXPECT_LT(elapsed, std::chrono::seconds(4)) << "retries come once a second and stop with the manager";
}
