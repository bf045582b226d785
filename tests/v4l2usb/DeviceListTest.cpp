#include <gtest/gtest.h>

#include "TestSupport.h"
#include "v4l2_device_list.h"

using namespace camera_base;

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
        {"rockchip-board-isp-and-two-usb", "rkisp_mainpath (platform:rkisp0-vir1)", "/dev/video11"},
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
