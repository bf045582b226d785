#include "ImageHeader.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace image_header {

namespace {

uint32_t bigEndian(std::string_view bytes, size_t at, size_t count)
{
    uint32_t value = 0;
    for (size_t i = 0; i < count; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

bool parsePng(std::string_view bytes, Header& header, std::string& why)
{
    // Signature, then the IHDR chunk: length 13, "IHDR", width, height, depth, colour type.
    if (bytes.size() < 26 || bigEndian(bytes, 8, 4) != 13 || bytes.substr(12, 4) != "IHDR") {
        why = "PNG without its IHDR header";
        return false;
    }
    const uint32_t width = bigEndian(bytes, 16, 4);
    const uint32_t height = bigEndian(bytes, 20, 4);
    const int depth = static_cast<unsigned char>(bytes[24]);
    const int type = static_cast<unsigned char>(bytes[25]);
    int channels = 0;
    bool depthFits = false;
    switch (type) {
    case 0: channels = 1; depthFits = depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16; break;
    case 2: channels = 3; depthFits = depth == 8 || depth == 16; break;
    case 3: channels = 3; depthFits = depth == 1 || depth == 2 || depth == 4 || depth == 8; break;
    case 4: channels = 2; depthFits = depth == 8 || depth == 16; break;
    case 6: channels = 4; depthFits = depth == 8 || depth == 16; break;
    default: break;
    }
    if (!channels || !depthFits) {
        why = "PNG colour type " + std::to_string(type) + " with bit depth " + std::to_string(depth) + " does not exist";
        return false;
    }
    header = {Format::Png, static_cast<int>(std::min<uint32_t>(width, INT32_MAX)),
        static_cast<int>(std::min<uint32_t>(height, INT32_MAX)), depth, channels};
    if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX) {
        why = "PNG header claims " + std::to_string(width) + "x" + std::to_string(height);
        return false;
    }
    return true;
}

bool parseJpeg(std::string_view bytes, Header& header, std::string& why)
{
    size_t at = 2;
    while (at + 4 <= bytes.size()) {
        if (static_cast<unsigned char>(bytes[at]) != 0xFF) {
            why = "JPEG segment without its marker at byte " + std::to_string(at);
            return false;
        }
        const int marker = static_cast<unsigned char>(bytes[at + 1]);
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length
            at += 2;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA) {
            why = "JPEG without a frame header before its image data";
            return false;
        }
        const size_t length = bigEndian(bytes, at + 2, 2);
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (length < 8 || at + 2 + 8 > bytes.size()) {
                why = "JPEG frame header cut short";
                return false;
            }
            const int precision = static_cast<unsigned char>(bytes[at + 4]);
            const int height = static_cast<int>(bigEndian(bytes, at + 5, 2));
            const int width = static_cast<int>(bigEndian(bytes, at + 7, 2));
            const int components = static_cast<unsigned char>(bytes[at + 9]);
            header = {Format::Jpeg, width, height, precision, components};
            if (width == 0 || height == 0 || (components != 1 && components != 3 && components != 4)
                || (precision != 8 && precision != 12)) {
                why = "JPEG frame header claims " + describe(header);
                return false;
            }
            return true;
        }
        if (length < 2) {
            why = "JPEG segment of length " + std::to_string(length);
            return false;
        }
        at += 2 + length;
    }
    why = "JPEG frame header not within the first " + std::to_string(std::min(bytes.size(), kHeaderBytes)) + " bytes";
    return false;
}

} // namespace

bool parse(std::string_view bytes, Header& header, std::string& why)
{
    static constexpr std::string_view kPngSignature("\x89PNG\r\n\x1a\n", 8);
    if (bytes.substr(0, 8) == kPngSignature)
        return parsePng(bytes, header, why);
    if (bytes.size() >= 3 && bytes.substr(0, 3) == std::string_view("\xFF\xD8\xFF", 3))
        return parseJpeg(bytes, header, why);
    why = bytes.empty() ? "empty file" : "neither PNG nor JPEG";
    return false;
}

bool fits(const Header& header, const Expectation& expected, std::string& why)
{
    const std::string size = std::to_string(header.width) + "x" + std::to_string(header.height);
    if (header.width > kMaxSide || header.height > kMaxSide) {
        why = "header claims " + size + ", more than " + std::to_string(kMaxSide) + " a side";
        return false;
    }
    if (expected.depth && (header.format != Format::Png || header.bitDepth != 16 || header.channels != 1)) {
        why = describe(header) + ", expected 16-bit grey PNG";
        return false;
    }
    if (!expected.depth && header.bitDepth != 8) {
        why = describe(header) + ", expected 8-bit colour";
        return false;
    }
    auto is = [&](int width, int height) { return width > 0 && header.width == width && header.height == height; };
    if (expected.width > 0 && !is(expected.width, expected.height) && !is(expected.altWidth, expected.altHeight)) {
        why = size + ", expected " + std::to_string(expected.width) + "x" + std::to_string(expected.height)
            + (expected.altWidth > 0
                      ? " or " + std::to_string(expected.altWidth) + "x" + std::to_string(expected.altHeight)
                      : std::string());
        return false;
    }
    return true;
}

uint64_t maxFileBytes(const Header& header)
{
    const uint64_t raw = uint64_t(header.width) * uint64_t(header.height) * uint64_t(header.channels)
        * uint64_t((header.bitDepth + 7) / 8);
    return 2 * raw + (1u << 20);
}

std::string describe(const Header& header)
{
    return std::string(header.format == Format::Png ? "PNG " : "JPEG ") + std::to_string(header.width) + "x"
        + std::to_string(header.height) + ", " + std::to_string(header.bitDepth) + "-bit, "
        + std::to_string(header.channels) + (header.channels == 1 ? " channel" : " channels");
}

void lowerDecoderPixelLimit(char** argv)
{
    if (std::getenv(kDecoderPixelLimitVariable))
        return;
    setenv(kDecoderPixelLimitVariable, std::to_string(kDecoderPixelLimit).c_str(), 1);
    execv("/proc/self/exe", argv);
}

} // namespace image_header
