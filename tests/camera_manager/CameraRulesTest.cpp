// The depth camera's rules that need no camera: stream requests from the
// device configuration, the continuous-mode save scale, the IMU sample text
// and the colour preview conversions.

#include <cstring>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include "CameraConfig.h"
#include "DepthCapturePreview.h"
#include "DepthCaptureRules.h"
#include "config_manager.h"

namespace {

camera_entry entry(const std::string& type, int id, int w, int h, int fps)
{
    camera_entry e;
    e.camera_type_str = type;
    e.camera_id = id;
    e.width = w;
    e.height = h;
    e.fps = fps;
    return e;
}

// Decodes an NV12 buffer back to BGR so tests can recognise the picture.
cv::Mat nv12ToBgr(const std::vector<uint8_t>& nv12, int w, int h)
{
    cv::Mat yuv(h * 3 / 2, w, CV_8UC1, const_cast<uint8_t*>(nv12.data()));
    cv::Mat bgr;
    cv::cvtColor(yuv, bgr, cv::COLOR_YUV2BGR_NV12);
    return bgr;
}

// Left half red, right half blue, in BGR.
cv::Mat splitImage(int w, int h)
{
    cv::Mat img(h, w, CV_8UC3, cv::Scalar(255, 0, 0));
    img(cv::Rect(0, 0, w / 2, h)).setTo(cv::Scalar(0, 0, 255));
    return img;
}

void expectRedLeftBlueRight(const cv::Mat& bgr)
{
    const cv::Vec3b left = bgr.at<cv::Vec3b>(bgr.rows / 2, bgr.cols / 4);
    const cv::Vec3b right = bgr.at<cv::Vec3b>(bgr.rows / 2, bgr.cols * 3 / 4);
    EXPECT_GT(left[2], 200);
    EXPECT_LT(left[0], 60);
    EXPECT_GT(right[0], 200);
    EXPECT_LT(right[2], 60);
}

} // namespace

TEST(CameraConfigDerivation, OnlyColourAndDepthEntriesOfTheDepthCameraBecomeRequestsInOrder)
{
    camera_config config;
    config.camera1 = entry("Gemini_corlor", 0, 1280, 720, 30);
    config.camera2 = entry("Gemini_depeth", 0, 640, 400, 15);
    const std::vector<CameraConfig> expected{{2, 5, 1280, 720, 30}, {3, 8, 640, 400, 15}};
    EXPECT_EQ(depthCameraConfigs(config), expected);

    std::swap(config.camera1, config.camera2);
    const std::vector<CameraConfig> swapped{{3, 8, 640, 400, 15}, {2, 5, 1280, 720, 30}};
    EXPECT_EQ(depthCameraConfigs(config), swapped) << "camera1 comes first whatever it is";
    ASSERT_NE(firstColorConfig(swapped), nullptr);
    EXPECT_EQ(firstColorConfig(swapped)->width, 1280);

    // Other types and non-zero ids contribute nothing.
    EXPECT_TRUE(cameraConfigsFromEntry(entry("Gemini_corlor", 1, 1280, 720, 30)).empty());
    EXPECT_TRUE(cameraConfigsFromEntry(entry("Gemini_depeth", 2, 640, 400, 30)).empty());
    EXPECT_TRUE(cameraConfigsFromEntry(entry("usb_camera", 0, 1920, 1080, 30)).empty());
    EXPECT_TRUE(cameraConfigsFromEntry(entry("Gemini_color", 0, 1280, 720, 30)).empty())
        << "only the configured spelling counts";
    EXPECT_TRUE(cameraConfigsFromEntry(entry("", 0, 0, 0, 0)).empty());

    config.camera1 = entry("usb_camera", 1, 1920, 1080, 30);
    config.camera2 = entry("Gemini_depeth", 0, 640, 400, 30);
    const std::vector<CameraConfig> onlyDepth{{3, 8, 640, 400, 30}};
    EXPECT_EQ(depthCameraConfigs(config), onlyDepth);
    EXPECT_EQ(firstColorConfig(onlyDepth), nullptr);
}

TEST(SaveScale, KeepsAboutOneFrameSetPerInterval)
{
    EXPECT_EQ(computeSaveScale(30, 1000), 30);
    EXPECT_EQ(computeSaveScale(15, 100), 1) << "1500 is below two frame periods";
    EXPECT_EQ(computeSaveScale(30, 66), 1);
    EXPECT_EQ(computeSaveScale(30, 67), 2) << "2010 / 1000";
    // Unset values fall back to 30 fps and one second.
    EXPECT_EQ(computeSaveScale(0, 1000), 30);
    EXPECT_EQ(computeSaveScale(-5, 0), 30);
    EXPECT_EQ(computeSaveScale(15, -1), 15);
    EXPECT_EQ(computeSaveScale(1000, 1000000), 1000000) << "no overflow on large products";
}

TEST(PreviewConversion, RefusesBadImagesBuffersSizesShortDataAndUnknownFormats)
{
    std::vector<uint8_t> out(16 * 16 * 3 / 2, 7);
    EXPECT_FALSE(bgrToNV12(cv::Mat(), out.data(), 16, 16));
    EXPECT_FALSE(bgrToNV12(splitImage(16, 16), nullptr, 16, 16));
    EXPECT_FALSE(bgrToNV12(splitImage(16, 16), out.data(), 0, 16));
    EXPECT_FALSE(bgrToNV12(splitImage(16, 16), out.data(), 16, -2));
    EXPECT_FALSE(bgrToNV12(splitImage(16, 16), out.data(), 15, 16));
    EXPECT_EQ(out, std::vector<uint8_t>(16 * 16 * 3 / 2, 7)) << "a refused conversion leaves the buffer alone";

    const int w = 16, h = 8;
    std::vector<uint8_t> data(w * h * 3, 0x40);
    EXPECT_FALSE(rawColorToNV12(camera_format::kBGR, data.data(), data.size() - 1, w, h, out.data(), w, h));
    EXPECT_FALSE(rawColorToNV12(camera_format::kYUYV, data.data(), w * h * 2 - 1, w, h, out.data(), w, h));
    EXPECT_FALSE(rawColorToNV12(camera_format::kMJPG, data.data(), data.size(), w, h, out.data(), w, h));
    EXPECT_FALSE(rawColorToNV12(camera_format::kBGR, nullptr, data.size(), w, h, out.data(), w, h));
    EXPECT_FALSE(rawColorToNV12(camera_format::kBGR, data.data(), data.size(), 0, h, out.data(), w, h));
}

TEST(PreviewConversion, RgbBgrYuyvAndLargerFramesGiveTheSamePicture)
{
    const int w = 32, h = 16;
    const cv::Mat bgr = splitImage(w, h);
    cv::Mat rgb, yuyv;
    cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
    // Build a YUYV frame: each pixel pair shares U and V.
    cv::Mat yuv;
    cv::cvtColor(bgr, yuv, cv::COLOR_BGR2YUV);
    yuyv.create(h, w, CV_8UC2);
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; c += 2) {
            const cv::Vec3b a = yuv.at<cv::Vec3b>(r, c), b = yuv.at<cv::Vec3b>(r, c + 1);
            yuyv.at<cv::Vec2b>(r, c) = {a[0], a[1]};
            yuyv.at<cv::Vec2b>(r, c + 1) = {b[0], a[2]};
        }

    const size_t nv12Size = w * h * 3 / 2;
    std::vector<uint8_t> fromBgr(nv12Size), fromRgb(nv12Size), fromYuyv(nv12Size), fromYuy2(nv12Size);
    ASSERT_TRUE(rawColorToNV12(camera_format::kBGR, bgr.data, bgr.total() * 3, w, h, fromBgr.data(), w, h));
    ASSERT_TRUE(rawColorToNV12(camera_format::kRGB, rgb.data, rgb.total() * 3, w, h, fromRgb.data(), w, h));
    ASSERT_TRUE(rawColorToNV12(camera_format::kYUYV, yuyv.data, yuyv.total() * 2, w, h, fromYuyv.data(), w, h));
    ASSERT_TRUE(rawColorToNV12(camera_format::kYUY2, yuyv.data, yuyv.total() * 2, w, h, fromYuy2.data(), w, h));
    EXPECT_EQ(fromRgb, fromBgr) << "RGB is swapped to BGR before conversion";
    expectRedLeftBlueRight(nv12ToBgr(fromBgr, w, h));
    expectRedLeftBlueRight(nv12ToBgr(fromYuyv, w, h));
    EXPECT_EQ(fromYuyv, fromYuy2);

    // A larger frame is shrunk to the preview: flat halves stay the same picture.
    std::vector<uint8_t> shrunk(nv12Size);
    ASSERT_TRUE(bgrToNV12(splitImage(2 * w, 2 * h), shrunk.data(), w, h));
    EXPECT_EQ(shrunk, fromBgr);
}
