#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Log.h"
#include "TestSupport.h"
#include "v4l2_device_list.h"
#include "v4l2_usb_read.h"

using camera_base::findVideoNodeByName;
using camera_base::parseV4l2DeviceList;
using camera_base::usb_rgb_camera_read_impl;

namespace {

std::size_t openDescriptors()
{
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

} // namespace

namespace camera_base {
// Gives the reader a dequeued buffer the way its capture thread does, without a driver.
struct UsbReaderDeliveryHook {
    static bool deliver(usb_rgb_camera_read_impl& reader, std::vector<uint8_t>& mapped, std::size_t bytesUsed)
    {
        return reader.deliver_frame({mapped.data(), mapped.size()}, bytesUsed);
    }
};
} // namespace camera_base

// A hostile camera reports more bytes than the buffers hold (exact-size blocks, for AddressSanitizer).
TEST(UsbReader, FrameLargerThanTheDestinationIsDroppedAndCounted)
{
    constexpr std::size_t kCapacity = 4096;
    struct Case {
        const char* name;
        std::size_t mappedLength, bytesUsed;
        bool delivered;
        std::size_t frameSize;  // afterwards
    };
    const Case cases[] = {
        {"exactly fits", kCapacity, kCapacity, true, kCapacity},
        {"one byte over", kCapacity + 1, kCapacity + 1, false, kCapacity},
        {"far over, again", 3 * kCapacity, 3 * kCapacity, false, kCapacity},
        {"used beyond the driver buffer", kCapacity / 2, kCapacity, true, kCapacity / 2},
    };
    kavrel::log::LogCapture capture;
    usb_rgb_camera_read_impl reader;
    std::vector<uint8_t> destination(kCapacity, 0);
    reader.external_buffer = destination.data();
    reader.external_buffer_size = destination.size();
    uint8_t lastDelivered = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint8_t fill = static_cast<uint8_t>(&c - cases + 1);
        std::vector<uint8_t> mapped(c.mappedLength, fill);
        EXPECT_EQ(camera_base::UsbReaderDeliveryHook::deliver(reader, mapped, c.bytesUsed), c.delivered);
        if (c.delivered)
            lastDelivered = fill;
        EXPECT_EQ(reader.get_frame_size(), c.frameSize);
        EXPECT_EQ(destination[0], lastDelivered) << "a dropped frame leaves the last one in place";
    }
    EXPECT_EQ(reader.frames_dropped(), 2u);
    EXPECT_EQ(capture.count("does not fit the 4096-byte buffer"), 1) << "one warning, not one per frame";
}

TEST(UsbReader, OpenFailsAtTheRightStepAndLeaksNothing)
{
    QTemporaryDir dir;
    const std::string regular = dir.path().toStdString() + "/not-a-camera";
    kavrel::test::writeFile(regular, "x");

    struct Case {
        std::string node;
        const char* expected;
    };
    const Case cases[] = {
        {"/dev/video-missing-99", "Cannot identify1 /dev/video-missing-99"},
        {regular, "Cannot identify2 "},
        {"/dev/null", "VIDIOC_QUERYCAP failed"},
    };
    const std::size_t fdsBefore = openDescriptors();
    for (const Case& c : cases) {
        kavrel::log::LogCapture capture;
        {
            usb_rgb_camera_read_impl reader;
            reader.dev_name = c.node;
            reader.pixel_format = camera_base::fourcc("MJPG");
            reader.width = 640;
            reader.height = 480;
            EXPECT_FALSE(reader.open()) << c.node;
        }
        EXPECT_TRUE(capture.contains(c.expected)) << c.node;
        EXPECT_FALSE(capture.contains("VIDIOC_STREAMOFF")) << "nothing was streaming";
    }
    EXPECT_EQ(openDescriptors(), fdsBefore);
}

TEST(UsbReader, GetFrameTimesOutWithoutCameraAndCloseWakesABlockedReader)
{
    kavrel::log::LogCapture capture;
    usb_rgb_camera_read_impl reader;
    reader.timeout_ms = 30;
    EXPECT_EQ(reader.get_frame(), nullptr);
    EXPECT_TRUE(capture.contains("get_frame time out: 30 ms"));
    std::atomic<int> result{1};
    std::thread blocked([&] { result = reader.read_frame(nullptr); });
    // Whether the reader is already waiting or not yet: close must end it (a hang fails by timeout).
    reader.close();
    blocked.join();
    EXPECT_EQ(result.load(), -1);
    capture.clear();
    EXPECT_EQ(reader.get_frame(), nullptr);
    EXPECT_FALSE(capture.contains("time out")) << "a stopped reader returns at once";
}

// Listings as real boards print them, and the node a configured name finds ("": none).
TEST(V4l2DeviceList, ConfiguredNamesFindTheirFirstVideoNode)
{
    struct Case {
        const char* listing;
        const char* name;
        const char* node;
    };
    const Case cases[] = {
        {"rockchip-board-isp-and-two-usb", "HD Web Camera: HD Web Camera (usb-xhci-hcd.1.auto-1.2)", "/dev/video20"},
        {"rockchip-board-isp-and-two-usb", "Gemini 2", "/dev/video22"},
        {"rockchip-board-isp-and-two-usb", "HD Web", ""},  // no partial names
        {"rockchip-board-isp-and-two-usb", "rkcif-mipi-lvds2 (platform:rkcif)", ""},  // media nodes only
        {"rockchip-board-isp-and-two-usb", "", ""},
        {"laptop-webcam-and-usb", "USB 2.0 Camera", "/dev/video2"},
        {"laptop-webcam-and-usb", "Integrated Camera: Integrated C (usb-0000:00:14.0-8):", "/dev/video0"},
        {"platform-only-no-usb", "USB 2.0 Camera", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.listing) + ": " + c.name);
        KAVREL_TEST_INPUT_OR_SKIP(listing, std::string("v4l2-ctl/") + c.listing + ".txt");
        EXPECT_EQ(findVideoNodeByName(parseV4l2DeviceList(listing), c.name), c.node);
    }
}

TEST(V4l2DeviceList, ErrorsNodesBeforeAnyNameAndCrLfLines)
{
    KAVREL_TEST_INPUT_OR_SKIP(none, "v4l2-ctl/no-devices-error.txt");
    for (const auto& d : parseV4l2DeviceList(none))
        EXPECT_TRUE(d.name.empty() || d.nodes.empty()) << "an error message names no camera";
    EXPECT_TRUE(parseV4l2DeviceList("").empty());

    const auto devices = parseV4l2DeviceList("\t/dev/video5\nCam: Cam (usb-1):\r\n\t/dev/video7\r\n");
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].nodes.front(), "/dev/video5");
    EXPECT_EQ(devices[1].name, "Cam: Cam (usb-1):");
    EXPECT_EQ(findVideoNodeByName(devices, "Cam"), "/dev/video7");
}
