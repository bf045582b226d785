#include <gtest/gtest.h>

#include "TestSupport.h"
#include "v4l2_device_list.h"

using namespace camera_base;

TEST(V4l2DeviceList, BoardWithIspAndTwoUsbCameras)
{
    KAVREL_TEST_INPUT_OR_SKIP(board, "v4l2-ctl/rockchip-board-isp-and-two-usb.txt");
    const auto devices = parseV4l2DeviceList(board);
    std::vector<V4l2Device> named;
    for (const auto& d : devices)
        if (!d.name.empty() && d.name.rfind("/dev/", 0) != 0)
            named.push_back(d);
    ASSERT_EQ(named.size(), 5u) << "media nodes start nameless groups of their own";
    EXPECT_EQ(named[0].name, "rkisp-statistics (platform: rkisp):");
    EXPECT_EQ(named[0].nodes, (std::vector<std::string>{"/dev/video18", "/dev/video19"}));
    EXPECT_TRUE(named[1].nodes.empty()) << "media nodes are not video nodes";
    EXPECT_EQ(named[4].nodes.size(), 4u);

    EXPECT_EQ(findVideoNodeByName(devices, "HD Web Camera: HD Web Camera (usb-xhci-hcd.1.auto-1.2)"), "/dev/video20");
    EXPECT_EQ(findVideoNodeByName(devices, "Gemini 2"), "/dev/video22");
    EXPECT_EQ(findVideoNodeByName(devices, "rkisp_mainpath (platform:rkisp0-vir1)"), "/dev/video11");
    EXPECT_EQ(findVideoNodeByName(devices, "HD Web"), "") << "no partial names";
    EXPECT_EQ(findVideoNodeByName(devices, "rkcif-mipi-lvds2 (platform:rkcif)"), "") << "a device without video nodes";
    EXPECT_EQ(findVideoNodeByName(devices, ""), "");
}

TEST(V4l2DeviceList, LaptopPlatformOnlyAndNoDevices)
{
    KAVREL_TEST_INPUT_OR_SKIP(laptop, "v4l2-ctl/laptop-webcam-and-usb.txt");
    KAVREL_TEST_INPUT_OR_SKIP(platformOnly, "v4l2-ctl/platform-only-no-usb.txt");
    KAVREL_TEST_INPUT_OR_SKIP(none, "v4l2-ctl/no-devices-error.txt");
    const auto devices = parseV4l2DeviceList(laptop);
    EXPECT_EQ(findVideoNodeByName(devices, "USB 2.0 Camera"), "/dev/video2");
    EXPECT_EQ(findVideoNodeByName(devices, "Integrated Camera: Integrated C (usb-0000:00:14.0-8):"), "/dev/video0");
    EXPECT_EQ(findVideoNodeByName(parseV4l2DeviceList(platformOnly), "USB 2.0 Camera"), "");
    for (const auto& d : parseV4l2DeviceList(none))
        EXPECT_TRUE(d.name.empty() || d.nodes.empty()) << "an error message names no camera";
    EXPECT_TRUE(parseV4l2DeviceList("").empty());
}

TEST(V4l2DeviceList, NodesBeforeAnyNameAndCrLfLines)
{
    const auto devices = parseV4l2DeviceList("\t/dev/video5\nCam: Cam (usb-1):\r\n\t/dev/video7\r\n");
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].nodes.front(), "/dev/video5");
    EXPECT_EQ(devices[1].name, "Cam: Cam (usb-1):");
    EXPECT_EQ(findVideoNodeByName(devices, "Cam"), "/dev/video7");
}
