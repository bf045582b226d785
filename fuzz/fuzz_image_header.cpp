// Image headers: parsed, checked against what a folder may hold, and the
// bound on the file derived from them; decoded only when they fit (as the
// checker does), so a claim can never make the decoder allocate beyond it.
#include <cstddef>
#include <cstdint>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "ImageHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    image_header::Header header;
    std::string why;
    if (!image_header::parse(bytes.substr(0, image_header::kHeaderBytes), header, why))
        return 0;
    for (const bool depth : {false, true}) {
        image_header::Expectation expected;
        expected.depth = depth;
        if (!image_header::fits(header, expected, why))
            continue;
        if (header.width > image_header::kMaxSide || header.height > image_header::kMaxSide)
            __builtin_trap();  // fits() let a claim over the cap through
        if (size > image_header::maxFileBytes(header) || uint64_t(header.width) * header.height > 256 * 256)
            continue;  // bounded by the header; large ones are not worth the fuzzer's time
        try {
            const cv::Mat image = cv::imdecode(cv::Mat(1, static_cast<int>(size), CV_8UC1, const_cast<uint8_t*>(data)),
                cv::IMREAD_UNCHANGED);
            if (!image.empty() && (image.cols > header.width || image.rows > header.height))
                __builtin_trap();  // the decoder made more than the header claimed
        } catch (const cv::Exception&) {
        }
    }
    return 0;
}
