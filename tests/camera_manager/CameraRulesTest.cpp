// The depth camera's rules that need no camera: stream requests, save scale, preview conversions.

#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "CameraConfig.h"
#include "DepthCapturePreview.h"
#include "DepthCaptureRules.h"
#include "config_manager.h"

namespace {

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
    EXPECT_GT(left[2], 200) << "red";
    EXPECT_GT(right[0], 200) << "blue";
}

} // namespace

TEST(CameraConfigDerivation, ColourAndDepthEntriesOfTheDepthCameraBecomeRequestsInOrder)
{
    camera_config config;
    config.camera1 = {"Gemini_depeth", 0, 640, 400, 15};
    config.camera2 = {"Gemini_corlor", 0, 1280, 720, 30};
    const std::vector<CameraConfig> depthFirst{{3, 8, 640, 400, 15}, {2, 5, 1280, 720, 30}};
    EXPECT_EQ(depthCameraConfigs(config), depthFirst) << "camera1 comes first whatever it is";
    EXPECT_EQ(firstColorConfig(depthFirst)->width, 1280);
    EXPECT_EQ(firstColorConfig({depthFirst[0]}), nullptr);
}

TEST(SaveScale, KeepsAboutOneFrameSetPerInterval)
{
    EXPECT_EQ(computeSaveScale(30, 1000), 30);
    EXPECT_EQ(computeSaveScale(30, 66), 1);
    EXPECT_EQ(computeSaveScale(30, 67), 2) << "2010 / 1000";
    // Unset values fall back to 30 fps and one second.
    EXPECT_EQ(computeSaveScale(-5, 0), 30);
    EXPECT_EQ(computeSaveScale(15, -1), 15);
    EXPECT_EQ(computeSaveScale(1000, 1000000), 1000000) << "no overflow on large products";
}

TEST(PreviewConversion, RefusesBadSizesShortDataAndUnknownFormats)
{
    std::vector<uint8_t> out(16 * 16 * 3 / 2, 7);
    EXPECT_FALSE(bgrToNV12(splitImage(16, 16), out.data(), 16, -2));
    EXPECT_FALSE(bgrToNV12(splitImage(16, 16), out.data(), 15, 16));
    EXPECT_EQ(out, std::vector<uint8_t>(16 * 16 * 3 / 2, 7)) << "a refused conversion leaves the buffer alone";

    const int w = 16, h = 8;
    std::vector<uint8_t> data(w * h * 3, 0x40);
    EXPECT_FALSE(rawColorToNV12(camera_format::kBGR, data.data(), data.size() - 1, w, h, out.data(), w, h));
    EXPECT_FALSE(rawColorToNV12(camera_format::kYUYV, data.data(), w * h * 2 - 1, w, h, out.data(), w, h));
    EXPECT_FALSE(rawColorToNV12(camera_format::kMJPG, data.data(), data.size(), w, h, out.data(), w, h));
    EXPECT_FALSE(rawColorToNV12(camera_format::kBGR, nullptr, data.size(), w, h, out.data(), w, h));
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
