#pragma once
// What an image file of a session claims about itself, read from its first
// bytes before anything is decoded: a header may claim any size, and a
// decoder allocates what it claims.

#include <cstdint>
#include <string>
#include <string_view>

namespace image_header {

// No camera of ours delivers more than this on a side.
inline constexpr int kMaxSide = 8192;
// Enough for a PNG header or a camera JPEG's segments up to its frame header.
inline constexpr size_t kHeaderBytes = 256u << 10;
// OpenCV's own decoder limit, given to it through its environment variable
// before it is loaded (it reads the variable once, when the library loads).
inline constexpr const char* kDecoderPixelLimitVariable = "OPENCV_IO_MAX_IMAGE_PIXELS";
inline constexpr uint64_t kDecoderPixelLimit = uint64_t(kMaxSide) * kMaxSide;

// Call first thing in main(): unless the limit is in the environment, puts it
// there and starts the program again (once; the variable stays set). Returns
// when the limit is in place, or when the new start failed (then the header
// checks alone bound every decode).
void lowerDecoderPixelLimit(char** argv);

enum class Format { Png, Jpeg };

struct Header {
    Format format = Format::Png;
    int width = 0, height = 0;
    int bitDepth = 0;   // bits per sample
    int channels = 0;   // samples per pixel as decoded (a palette decodes to 3)
};

// Parses a PNG IHDR or a JPEG frame header; false with the reason when the
// bytes are neither or the header is malformed.
bool parse(std::string_view bytes, Header& header, std::string& why);

// What a folder's images must be.
struct Expectation {
    bool depth = false;      // depth/: 16-bit grey PNG; color/: 8-bit
    int width = 0, height = 0;  // 0: any size up to kMaxSide
    int altWidth = 0, altHeight = 0;  // a second size allowed (the USB camera's colour)
};

// Checks a parsed header against the expectation; false with the reason.
bool fits(const Header& header, const Expectation& expected, std::string& why);

// The most bytes a file with this header may hold: its pixels uncompressed,
// with room for a PNG's filter bytes and chunks or a JPEG's tables.
uint64_t maxFileBytes(const Header& header);

std::string describe(const Header& header);  // "PNG 640x480, 16-bit, 1 channel"

} // namespace image_header
