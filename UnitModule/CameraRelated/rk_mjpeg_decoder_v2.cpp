#include "rk_mjpeg_decoder_v2.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <turbojpeg.h>

#include "Log.h"

// Scratch space of the libjpeg-turbo path, kept between frames of one stream.
struct rk_mjpeg_decoder_v2::TurboState {
    tjhandle handle = nullptr;
    std::vector<uint8_t> planes[3];

    ~TurboState()
    {
        if (handle)
            tjDestroy(handle);
    }
};

bool rockchip_hw_accel_env_enabled()
{
    const char* value = std::getenv("ROCKCHIP_HW_ACCEL");
    return value && std::strcmp(value, "1") == 0;
}

bool jpeg_frame_complete(const uint8_t* data, int size)
{
    if (!data || size < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return false;
    const uint8_t* p = data + 2;
    const uint8_t* const end = data + size;
    bool sawScan = false;
    while (p < end) {
        // Next marker: 0xFF (possibly repeated as fill) followed by its code.
        if (*p != 0xFF)
            return false;
        while (p < end && *p == 0xFF)
            ++p;
        if (p >= end)
            return false;
        const uint8_t code = *p++;
        if (code == 0xD9)
            return sawScan; // end of image; without a scan there was no image
        if (code == 0x01 || (code >= 0xD0 && code <= 0xD7))
            continue; // markers without a length
        if (end - p < 2)
            return false;
        const size_t length = (size_t(p[0]) << 8) | p[1];
        if (length < 2 || size_t(end - p) < length)
            return false;
        p += length;
        if (code != 0xDA)
            continue;
        sawScan = true;
        // Entropy-coded data of a scan: runs until a marker other than a
        // stuffed 0xFF00 or a restart marker.
        for (;;) {
            p = static_cast<const uint8_t*>(std::memchr(p, 0xFF, size_t(end - p)));
            if (!p || end - p < 2)
                return false;
            const uint8_t next = p[1];
            if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
                p += 2;
                continue;
            }
            if (next == 0xFF) {
                ++p;
                continue;
            }
            break;
        }
    }
    return false;
}

rk_mjpeg_decoder_v2::rk_mjpeg_decoder_v2(int w, int h)
    : hw_mode(0)
    , width(w)
    , height(h)
    , turbo_(std::make_unique<TurboState>())
{
    if (rockchip_hw_accel_env_enabled())
        LOGW << "ROCKCHIP_HW_ACCEL=1 requested but binary has no MPP support; using software decode";
    LOGI << "rk_mjpeg_decoder_v2: " << (hw_mode == 1 ? "hardware (MPP)" : "software (OpenCV)") << " mode  " << width
         << "x" << height;
}

rk_mjpeg_decoder_v2::~rk_mjpeg_decoder_v2() = default;

bool rk_mjpeg_decoder_v2::decode(const uint8_t* data, int size, uint8_t* out)
{
    if (decode_turbo(data, size, out))
        return true;
    return decode_sw(data, size, out);
}

bool rk_mjpeg_decoder_v2::decode_sw(const uint8_t* data, int size, uint8_t* out)
{
    if (size < 1 || !data || !out || width < 1 || height < 1)
        return false;
    try {
        std::vector<uint8_t> jpeg(data, data + size);
        // OpenCV fills a frame cut short with grey instead of failing; such a
        // frame counts as one that decoded to nothing.
        cv::Mat bgr;
        if (jpeg_frame_complete(jpeg.data(), size))
            bgr = cv::imdecode(jpeg, cv::IMREAD_COLOR);
        if (bgr.empty()) {
            LOGE << "decode_sw: cv::imdecode returned empty image";
            return false;
        }
        if (bgr.cols != width || bgr.rows != height) {
            cv::Mat resized;
            cv::resize(bgr, resized, cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
            bgr = resized;
        }
        cv::Mat i420;
        cv::cvtColor(bgr, i420, cv::COLOR_BGR2YUV_I420);
        const size_t ySize = size_t(width) * size_t(height);
        const size_t needed = ySize * 3 / 2;
        if (i420.total() * i420.elemSize() < needed) {
            LOGE << "decode_sw: invalid I420 buffer size";
            return false;
        }
        const uint8_t* y = i420.ptr<uint8_t>();
        const uint8_t* u = y + ySize;
        const uint8_t* v = u + ySize / 4;
        std::memcpy(out, y, ySize);
        uint8_t* uv = out + ySize;
        for (size_t i = 0; i < ySize / 4; ++i) {
            uv[2 * i] = u[i];
            uv[2 * i + 1] = v[i];
        }
        return true;
    } catch (const cv::Exception& e) {
        // An odd output size, for one, is refused by the colour conversion.
        LOGE << "decode_sw: " << e.what();
        return false;
    }
}

namespace {

// JPEG samples use the full 0..255 range; the preview's NV12 (like OpenCV's
// BGR -> I420 conversion) uses video range, Y 16..235 and U, V 16..240.
constexpr double kLumaScale = 219.0 / 255.0;
constexpr double kChromaScale = 224.0 / 255.0;
constexpr double kLumaOffset = 16.0;
constexpr double kChromaOffset = 128.0 - 128.0 * kChromaScale;

// The largest DCT reduction (1/2, 1/4, 1/8) that still leaves at least the
// target size; 1 when the source is less than twice the target.
int dctReduction(int sourceW, int sourceH, int targetW, int targetH)
{
    for (int denom : {8, 4, 2}) {
        const tjscalingfactor factor{1, denom};
        if (TJSCALED(sourceW, factor) >= targetW && TJSCALED(sourceH, factor) >= targetH)
            return denom;
    }
    return 1;
}

} // namespace

bool rk_mjpeg_decoder_v2::decode_turbo(const uint8_t* data, int size, uint8_t* out)
{
    // NV12 chroma covers 2x2 blocks; odd sizes are left to the OpenCV path.
    if (size < 1 || !data || !out || width < 2 || height < 2 || (width & 1) || (height & 1))
        return false;
    TurboState& state = *turbo_;
    if (!state.handle && !(state.handle = tjInitDecompress()))
        return false;

    int sourceW = 0;
    int sourceH = 0;
    int subsamp = -1;
    int colorspace = -1;
    if (tjDecompressHeader3(state.handle, data, static_cast<unsigned long>(size), &sourceW, &sourceH, &subsamp,
            &colorspace)
        != 0)
        return false;
    const bool gray = colorspace == TJCS_GRAY || subsamp == TJSAMP_GRAY;
    if ((colorspace != TJCS_YCbCr && !gray) || subsamp < 0 || sourceW < 1 || sourceH < 1)
        return false;

    const int denom = dctReduction(sourceW, sourceH, width, height);
    const tjscalingfactor factor{1, denom};
    const int scaledW = TJSCALED(sourceW, factor);
    const int scaledH = TJSCALED(sourceH, factor);
    const int planeCount = gray ? 1 : 3;
    unsigned char* planes[3] = {nullptr, nullptr, nullptr};
    int strides[3] = {0, 0, 0};
    int planeW[3] = {0, 0, 0};
    int planeH[3] = {0, 0, 0};
    for (int i = 0; i < planeCount; ++i) {
        planeW[i] = tjPlaneWidth(i, scaledW, subsamp);
        planeH[i] = tjPlaneHeight(i, scaledH, subsamp);
        if (planeW[i] < 1 || planeH[i] < 1)
            return false;
        state.planes[i].resize(size_t(planeW[i]) * size_t(planeH[i]));
        planes[i] = state.planes[i].data();
        strides[i] = planeW[i];
    }
    if (tjDecompressToYUVPlanes(state.handle, data, static_cast<unsigned long>(size), planes, scaledW, strides,
            scaledH, 0)
        != 0) {
        // Warnings such as extraneous bytes leave a complete image; a frame cut
        // short does not, and goes to the other path.
        if (tjGetErrorCode(state.handle) != TJERR_WARNING
            || std::strstr(tjGetErrorStr2(state.handle), "remature end") != nullptr)
            return false;
    }

    // From here on nothing fails: `out` is written only for a decoded frame.
    const int chromaW = width / 2;
    const int chromaH = height / 2;
    cv::Mat outY(height, width, CV_8UC1, out);
    cv::Mat outUV(chromaH, chromaW, CV_8UC2, out + size_t(width) * size_t(height));
    const cv::Mat srcY(planeH[0], planeW[0], CV_8UC1, planes[0]);
    if (srcY.cols == width && srcY.rows == height) {
        srcY.convertTo(outY, CV_8U, kLumaScale, kLumaOffset);
    } else {
        cv::resize(srcY, outY, outY.size(), 0, 0, cv::INTER_LINEAR);
        outY.convertTo(outY, CV_8U, kLumaScale, kLumaOffset);
    }
    if (gray) {
        outUV.setTo(cv::Scalar(128, 128));
        return true;
    }
    cv::Mat chroma[2];
    for (int i = 0; i < 2; ++i) {
        const cv::Mat src(planeH[i + 1], planeW[i + 1], CV_8UC1, planes[i + 1]);
        if (src.cols == chromaW && src.rows == chromaH) {
            chroma[i] = src;
        } else if (src.cols == chromaW && src.rows == 2 * chromaH) {
            // 4:2:2 at full size (what UVC cameras send): average row pairs,
            // which is what a bilinear halving does, at a fraction of its cost.
            const cv::Mat even(chromaH, chromaW, CV_8UC1, src.data, src.step * 2);
            const cv::Mat odd(chromaH, chromaW, CV_8UC1, src.data + src.step, src.step * 2);
            cv::addWeighted(even, 0.5, odd, 0.5, 0.0, chroma[i]);
        } else {
            cv::resize(src, chroma[i], cv::Size(chromaW, chromaH), 0, 0, cv::INTER_LINEAR);
        }
    }
    cv::merge(chroma, 2, outUV);
    outUV.convertTo(outUV, CV_8U, kChromaScale, kChromaOffset);
    return true;
}
