#pragma once
// 16-bit grey PNGs, the depth images of a session, read and written with
// libdeflate: reading them is most of an export's processor time, and
// libdeflate inflates several times faster than zlib behind libpng.

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace depth_png {

// Decodes a non-interlaced 16-bit greyscale PNG into a CV_16UC1 image.
// False for any other kind of PNG (the caller then uses a general decoder)
// and for damaged data; never reads outside `bytes`.
bool decode(const std::string& bytes, cv::Mat& image);

// Encodes a CV_16UC1 image as a 16-bit greyscale PNG, each row filtered by
// its left neighbour, which suits smooth depth. False when the image is not one.
bool encode(const cv::Mat& image, std::vector<uint8_t>& png, int level = 1);

} // namespace depth_png
