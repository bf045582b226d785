#pragma once
// Colour frames of the depth camera turned into NV12 preview buffers.

#include <cstddef>
#include <cstdint>

namespace cv {
class Mat;
}

// Writes `bgr` as NV12 of exactly width x height into `out` (width * height * 3 / 2
// bytes), resizing bilinearly when the image has another size. False on an empty
// image, a null buffer or a non-positive or odd size.
bool bgrToNV12(const cv::Mat& bgr, uint8_t* out, int width, int height);

// Converts an uncompressed colour frame (RGB, BGR, YUYV or YUY2, `srcWidth` x
// `srcHeight`) to NV12 of width x height. False when the format is not one of
// these or the data is shorter than the frame; MJPG goes through the decoder.
bool rawColorToNV12(int format, const uint8_t* data, size_t size, int srcWidth, int srcHeight, uint8_t* out,
    int width, int height);

// True for the colour formats rawColorToNV12 handles.
bool isRawPreviewFormat(int format);
