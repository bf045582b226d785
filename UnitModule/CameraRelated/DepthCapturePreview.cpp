#include "DepthCapturePreview.h"

#include <cstring>

#include <opencv2/imgproc.hpp>

#include "CameraConfig.h"

bool bgrToNV12(const cv::Mat& bgr, uint8_t* out, int width, int height)
{
    // I420 needs even sides; an odd size would leave the chroma plane short.
    if (bgr.empty() || out == nullptr || width <= 0 || height <= 0 || width % 2 != 0 || height % 2 != 0)
        return false;
    if (bgr.type() != CV_8UC3)
        return false;

    cv::Mat sized;
    if (bgr.cols != width || bgr.rows != height)
        cv::resize(bgr, sized, cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
    else
        sized = bgr;

    cv::Mat i420;
    cv::cvtColor(sized, i420, cv::COLOR_BGR2YUV_I420);
    const size_t lumaSize = static_cast<size_t>(width) * height;
    const size_t chromaCount = lumaSize / 4;
    if (!i420.isContinuous() || i420.total() * i420.elemSize() < lumaSize + 2 * chromaCount)
        return false;

    const uint8_t* y = i420.ptr<uint8_t>();
    const uint8_t* u = y + lumaSize;
    const uint8_t* v = u + chromaCount;
    std::memcpy(out, y, lumaSize);
    uint8_t* uv = out + lumaSize;
    for (size_t i = 0; i < chromaCount; ++i) {
        uv[2 * i] = u[i];
        uv[2 * i + 1] = v[i];
    }
    return true;
}

bool isRawPreviewFormat(int format)
{
    return format == camera_format::kRGB || format == camera_format::kBGR || format == camera_format::kYUYV
        || format == camera_format::kYUY2;
}

bool rawColorToNV12(int format, const uint8_t* data, size_t size, int srcWidth, int srcHeight, uint8_t* out,
    int width, int height)
{
    if (data == nullptr || srcWidth <= 0 || srcHeight <= 0 || !isRawPreviewFormat(format))
        return false;
    const size_t pixels = static_cast<size_t>(srcWidth) * srcHeight;
    const int channels = (format == camera_format::kRGB || format == camera_format::kBGR) ? 3 : 2;
    if (size < pixels * channels)
        return false;

    // The Mat headers borrow the SDK's buffer; every conversion below writes a new image.
    void* borrowed = const_cast<uint8_t*>(data);
    cv::Mat bgr;
    if (format == camera_format::kBGR) {
        bgr = cv::Mat(srcHeight, srcWidth, CV_8UC3, borrowed);
    } else if (format == camera_format::kRGB) {
        cv::cvtColor(cv::Mat(srcHeight, srcWidth, CV_8UC3, borrowed), bgr, cv::COLOR_RGB2BGR);
    } else {
        cv::cvtColor(cv::Mat(srcHeight, srcWidth, CV_8UC2, borrowed), bgr, cv::COLOR_YUV2BGR_YUY2);
    }
    return bgrToNV12(bgr, out, width, height);
}
