#pragma once
// Image files that are only a header: the size a decoder would allocate for
// is claimed, the pixels are not there. Checksums are right, so a decoder
// believes the header as far as it reads.

#include <cstdint>
#include <string>

namespace kavrel::test {

inline std::string bigEndian(uint32_t value, int bytes)
{
    std::string out;
    for (int i = bytes - 1; i >= 0; --i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
}

inline uint32_t crc32Of(const std::string& bytes)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// A PNG signature, IHDR (colour type 0 grey, 2 RGB) and an empty IDAT.
inline std::string pngClaiming(uint32_t width, uint32_t height, int depth = 8, int colourType = 2)
{
    const std::string header = "IHDR" + bigEndian(width, 4) + bigEndian(height, 4) + static_cast<char>(depth)
        + static_cast<char>(colourType) + std::string(3, '\0');
    return std::string("\x89PNG\r\n\x1a\n", 8) + bigEndian(13, 4) + header + bigEndian(crc32Of(header), 4)
        + bigEndian(0, 4) + "IDAT" + bigEndian(crc32Of("IDAT"), 4);
}

// A baseline JPEG's start and frame header, three 8-bit components.
inline std::string jpegClaiming(uint32_t width, uint32_t height)
{
    return std::string("\xFF\xD8\xFF\xC0", 4) + bigEndian(17, 2) + '\x08' + bigEndian(height, 2) + bigEndian(width, 2)
        + std::string("\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01", 10) + std::string(40, '\0');
}

} // namespace kavrel::test
