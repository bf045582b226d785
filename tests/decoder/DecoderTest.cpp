// The preview decoder: NV12 layout and range, broken frames, and both paths agreeing.

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <turbojpeg.h>

#include "Log.h"
#include "TestSupport.h"
#include "rk_mjpeg_decoder_v2.h"

using kavrel::test::ScopedEnv;

namespace {

std::vector<uint8_t> encode(const cv::Mat& bgr, int subsamp, int quality = 90)
{
    tjhandle handle = tjInitCompress();
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    const int pixelFormat = bgr.channels() == 1 ? TJPF_GRAY : TJPF_BGR;
    EXPECT_EQ(tjCompress2(handle, bgr.data, bgr.cols, int(bgr.step), bgr.rows, pixelFormat, &buffer, &size, subsamp,
                  quality, 0),
        0);
    std::vector<uint8_t> jpeg(buffer, buffer + size);
    tjFree(buffer);
    tjDestroy(handle);
    return jpeg;
}

// Four flat quadrants: red, green, blue, white.
cv::Mat quadrants(int w, int h)
{
    cv::Mat image(h, w, CV_8UC3, cv::Scalar(255, 255, 255));
    image(cv::Rect(0, 0, w / 2, h / 2)).setTo(cv::Scalar(0, 0, 255));
    image(cv::Rect(w / 2, 0, w - w / 2, h / 2)).setTo(cv::Scalar(0, 255, 0));
    image(cv::Rect(0, h / 2, w / 2, h - h / 2)).setTo(cv::Scalar(255, 0, 0));
    return image;
}

// A camera-like picture: gradients, shapes and a little noise.
cv::Mat scene(int w, int h)
{
    cv::Mat image(h, w, CV_8UC3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.at<cv::Vec3b>(y, x) = cv::Vec3b(uchar(60 + 150 * x / w), uchar(40 + 170 * y / h),
                uchar(200 - 120 * (x + y) / (w + h)));
    cv::circle(image, cv::Point(w / 3, h / 2), h / 4, cv::Scalar(30, 140, 230), cv::FILLED, cv::LINE_AA);
    cv::rectangle(image, cv::Rect(w / 2, h / 5, w / 4, h / 3), cv::Scalar(200, 60, 40), cv::FILLED);
    cv::Mat noise(h, w, CV_8UC3);
    cv::RNG(3).fill(noise, cv::RNG::NORMAL, 0, 3);
    cv::add(image, noise, image);
    cv::GaussianBlur(image, image, cv::Size(5, 5), 0);
    return image;
}

struct Nv12 {
    int w, h;
    std::vector<uint8_t> bytes;
    explicit Nv12(int width, int height)
        : w(width)
        , h(height)
        , bytes(size_t(width) * height * 3 / 2, 0xAB)
    {
    }
    uint8_t y(int x, int row) const { return bytes[size_t(row) * w + x]; }
    uint8_t u(int x, int row) const { return bytes[size_t(w) * h + size_t(row / 2) * w + (x / 2) * 2]; }
    uint8_t v(int x, int row) const { return bytes[size_t(w) * h + size_t(row / 2) * w + (x / 2) * 2 + 1]; }
    bool untouched() const { return bytes == std::vector<uint8_t>(bytes.size(), 0xAB); }
};

// Video-range BT.601 of a BGR colour, computed here independently of OpenCV.
cv::Vec3d videoYuv(double b, double g, double r)
{
    return {16 + 0.257 * r + 0.504 * g + 0.098 * b, 128 - 0.148 * r - 0.291 * g + 0.439 * b,
        128 + 0.439 * r - 0.368 * g - 0.071 * b};
}

// Both paths give the same picture: mean absolute differences of Y and of chroma.
void expectBothWaysAlike(const std::vector<uint8_t>& jpeg, int w, int h)
{
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    rk_mjpeg_decoder_v2 decoder(w, h);
    Nv12 reference(w, h);
    Nv12 fast(w, h);
    ASSERT_TRUE(decoder.decode_sw(jpeg.data(), int(jpeg.size()), reference.bytes.data()));
    ASSERT_TRUE(decoder.decode_turbo(jpeg.data(), int(jpeg.size()), fast.bytes.data()));
    const int ySize = w * h;
    const cv::Mat a(1, int(reference.bytes.size()), CV_8UC1, reference.bytes.data());
    const cv::Mat b(1, int(fast.bytes.size()), CV_8UC1, fast.bytes.data());
    EXPECT_LT(cv::norm(a.colRange(0, ySize), b.colRange(0, ySize), cv::NORM_L1) / ySize, 1.5);
    EXPECT_LT(cv::norm(a.colRange(ySize, a.cols), b.colRange(ySize, b.cols), cv::NORM_L1) / (a.cols - ySize), 1.5);
}

} // namespace

TEST(MjpegDecoder, AnnouncesItsModeAndWarnsAboutUnavailableHardware)
{
    for (const char* value : {"", "1"}) {
        ScopedEnv env("ROCKCHIP_HW_ACCEL", *value ? std::optional<std::string>(value) : std::nullopt);
        kavrel::log::LogCapture capture;
        rk_mjpeg_decoder_v2 decoder(640, 480);
        const bool warned
            = capture.contains("ROCKCHIP_HW_ACCEL=1 requested but binary has no MPP support; using software decode");
        EXPECT_EQ(warned, *value != 0);
    }
    ScopedEnv other("ROCKCHIP_HW_ACCEL", "yes");
    EXPECT_FALSE(rockchip_hw_accel_env_enabled());
}

TEST(MjpegDecoder, BothPathsWriteVideoRangeNv12WithUBeforeV)
{
    const std::vector<uint8_t> jpeg = encode(quadrants(64, 48), TJSAMP_420, 95);
    rk_mjpeg_decoder_v2 decoder(64, 48);
    for (bool fast : {false, true}) {
        Nv12 out(64, 48);
        ASSERT_TRUE(fast ? decoder.decode_turbo(jpeg.data(), int(jpeg.size()), out.bytes.data())
                         : decoder.decode_sw(jpeg.data(), int(jpeg.size()), out.bytes.data()));
        struct Probe {
            int x, y;
            cv::Vec3d expected;
        };
        const Probe probes[] = {{8, 8, videoYuv(0, 0, 255)}, {56, 8, videoYuv(0, 255, 0)},
            {8, 40, videoYuv(255, 0, 0)}, {56, 40, videoYuv(255, 255, 255)}};
        for (const Probe& p : probes) {
            SCOPED_TRACE(std::string(fast ? "fast" : "opencv") + " path at " + std::to_string(p.x) + ","
                + std::to_string(p.y));
            EXPECT_NEAR(out.y(p.x, p.y), p.expected[0], 4);
            EXPECT_NEAR(out.u(p.x, p.y), p.expected[1], 5);
            EXPECT_NEAR(out.v(p.x, p.y), p.expected[2], 5);
        }
    }
}

TEST(MjpegDecoder, FastPathAgreesWithOpenCvPathOnEveryLayoutAndSize)
{
    struct Case {
        const char* name;
        int srcW, srcH, subsamp, dstW, dstH;
    };
    const Case cases[] = {
        {"4:2:0 same size", 640, 480, TJSAMP_420, 640, 480},
        {"4:4:4 same size", 640, 480, TJSAMP_444, 640, 480},
        {"gray", 320, 240, TJSAMP_GRAY, 320, 240},
        {"odd source 4:2:0", 641, 481, TJSAMP_420, 640, 480},
        {"1.5x down", 1920, 1080, TJSAMP_422, 1280, 720},
        {"6x down via DCT scaling", 1920, 1080, TJSAMP_444, 320, 180},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cv::Mat image = scene(c.srcW, c.srcH);
        if (c.subsamp == TJSAMP_GRAY)
            cv::cvtColor(image, image, cv::COLOR_BGR2GRAY);
        expectBothWaysAlike(encode(image, c.subsamp), c.dstW, c.dstH);
    }
}

TEST(MjpegDecoder, CameraFramesDecodeAlikeWithAndWithoutHuffmanTables)
{
    for (const std::string name : {"uvc-422-640x480.jpg", "uvc-422-no-huffman-tables-640x480.jpg"}) {
        SCOPED_TRACE(name);
        KAVREL_TEST_INPUT_OR_SKIP(frame, "mjpeg/" + name);
        const std::vector<uint8_t> jpeg(frame.begin(), frame.end());
        EXPECT_TRUE(jpeg_frame_complete(jpeg.data(), int(jpeg.size())));
        for (auto [w, h] : {std::pair{640, 480}, std::pair{1280, 720}, std::pair{320, 240}})
            expectBothWaysAlike(jpeg, w, h);
    }
}

TEST(MjpegDecoder, TruncatedOrImagelessFramesAreRefusedAndLeaveTheOutputAlone)
{
    KAVREL_TEST_INPUT_OR_SKIP(frame, "mjpeg/uvc-422-640x480.jpg");
    const std::vector<uint8_t> whole(frame.begin(), frame.end());
    rk_mjpeg_decoder_v2 decoder(640, 480);
    std::vector<std::vector<uint8_t>> broken;
    for (double share : {0.02, 0.3, 0.9, 0.999})
        broken.emplace_back(whole.begin(), whole.begin() + long(whole.size() * share));
    broken.push_back({0xFF, 0xD8, 0xFF, 0xD9}); // start and end, no image
    broken.push_back(std::vector<uint8_t>(5000, 0x42));
    for (size_t i = 0; i < broken.size(); ++i) {
        SCOPED_TRACE("broken frame " + std::to_string(i));
        EXPECT_FALSE(jpeg_frame_complete(broken[i].data(), int(broken[i].size())));
        // The preview path: the fast path refuses silently, the OpenCV path once with an error.
        kavrel::log::LogCapture capture;
        Nv12 out(640, 480);
        EXPECT_FALSE(decoder.decode(broken[i].data(), int(broken[i].size()), out.bytes.data()));
        EXPECT_TRUE(out.untouched());
        EXPECT_EQ(capture.count("decode_sw: cv::imdecode returned empty image"), 1);
    }
    // Bytes after the end-of-image marker (camera padding) are no truncation.
    std::vector<uint8_t> padded = whole;
    padded.insert(padded.end(), 300, 0x00);
    Nv12 out(640, 480);
    EXPECT_TRUE(decoder.decode(padded.data(), int(padded.size()), out.bytes.data()));
    EXPECT_TRUE(decoder.decode_sw(padded.data(), int(padded.size()), out.bytes.data()));

    // No bytes at all: refused before any decoding.
    Nv12 untouched(640, 480);
    EXPECT_FALSE(decoder.decode(nullptr, 100, untouched.bytes.data()));
    EXPECT_FALSE(decoder.decode(whole.data(), int(whole.size()), nullptr));
    EXPECT_TRUE(untouched.untouched());

    // A decoder without an output size, or with one NV12 cannot have, refuses every frame.
    for (auto [w, h] : {std::pair{0, 0}, std::pair{321, 241}}) {
        rk_mjpeg_decoder_v2 unusable(w, h);
        EXPECT_FALSE(unusable.decode(whole.data(), int(whole.size()), untouched.bytes.data())) << w << "x" << h;
        EXPECT_FALSE(unusable.decode_turbo(whole.data(), int(whole.size()), untouched.bytes.data())) << w << "x" << h;
        EXPECT_TRUE(untouched.untouched()) << w << "x" << h;
    }
}
