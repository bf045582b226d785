// The depth PNG reader and writer against OpenCV's libpng, both ways, and on damaged data.

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "DepthPng.h"

namespace {

// Noise makes libpng choose among all its row filters; smooth ramps and flat areas the cheap ones.
std::vector<cv::Mat> depthImages()
{
    std::vector<cv::Mat> images;
    for (const cv::Size size : {cv::Size(1, 1), cv::Size(3, 7), cv::Size(64, 36), cv::Size(321, 17)}) {
        cv::Mat noisy(size, CV_16UC1), ramp(size, CV_16UC1), mixed(size, CV_16UC1);
        cv::randu(noisy, 0, 65536);
        for (int y = 0; y < size.height; ++y)
            for (int x = 0; x < size.width; ++x) {
                ramp.at<uint16_t>(y, x) = static_cast<uint16_t>(3000 + 7 * x - 5 * y);
                mixed.at<uint16_t>(y, x) = static_cast<uint16_t>(x % 9 < 3 ? 0 : (x * y * 131) % 13000 + 255);
            }
        images.insert(images.end(), {noisy, ramp, mixed});
    }
    return images;
}

bool same(const cv::Mat& a, const cv::Mat& b)
{
    return a.size() == b.size() && a.type() == b.type() && cv::countNonZero(a != b) == 0;
}

} // namespace

TEST(DepthPng, ReadsWhatLibpngWritesAndWritesWhatLibpngReads)
{
    for (const cv::Mat& image : depthImages()) {
        for (int level : {0, 1, 9}) {
            std::vector<uint8_t> png;
            ASSERT_TRUE(cv::imencode(".png", image, png, {cv::IMWRITE_PNG_COMPRESSION, level}));
            cv::Mat decoded;
            ASSERT_TRUE(depth_png::decode(std::string(png.begin(), png.end()), decoded)) << image.size();
            EXPECT_TRUE(same(decoded, image)) << image.size() << " level " << level;
        }
        std::vector<uint8_t> ours;
        ASSERT_TRUE(depth_png::encode(image, ours));
        EXPECT_TRUE(same(cv::imdecode(ours, cv::IMREAD_UNCHANGED), image)) << image.size();
    }
}

TEST(DepthPng, RefusesOtherKindsAndDamagedData)
{
    cv::Mat grey8(5, 5, CV_8UC1, cv::Scalar(9)), colour16(5, 5, CV_16UC3, cv::Scalar(9, 9, 9));
    for (const cv::Mat& other : {grey8, colour16}) {
        std::vector<uint8_t> png;
        ASSERT_TRUE(cv::imencode(".png", other, png));
        cv::Mat decoded;
        EXPECT_FALSE(depth_png::decode(std::string(png.begin(), png.end()), decoded));
    }
    std::vector<uint8_t> png;
    const cv::Mat image = depthImages()[6];
    ASSERT_TRUE(cv::imencode(".png", image, png));
    const std::string whole(png.begin(), png.end());
    // Cut anywhere, or with a byte changed in the compressed data: refused, or (a changed
    // chunk checksum) still the right image; never a read outside the bytes.
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        cv::Mat decoded;
        EXPECT_FALSE(depth_png::decode(whole.substr(0, cut), decoded)) << cut;
    }
    for (size_t at = 8; at < whole.size(); at += 7) {
        std::string damaged = whole;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x5a);
        cv::Mat decoded;
        if (depth_png::decode(damaged, decoded)) {
            EXPECT_EQ(decoded.size(), image.size()) << at;
        }
    }
    cv::Mat decoded;
    EXPECT_FALSE(depth_png::encode(grey8, png));
}
