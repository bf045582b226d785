#include "DepthPng.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include <libdeflate.h>

namespace depth_png {

namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr uint32_t kMaxSide = 16384;  // far above any depth camera; bounds the buffer a header can ask for

uint32_t bigEndian32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

void putBigEndian32(std::vector<uint8_t>& out, uint32_t v)
{
    out.insert(out.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
}

uint8_t paeth(int a, int b, int c)
{
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Undoes the row filters in place; two bytes per pixel.
bool unfilter(uint8_t* data, size_t stride, size_t rows)
{
    constexpr size_t bpp = 2;
    const uint8_t* previous = nullptr;
    for (size_t y = 0; y < rows; ++y) {
        uint8_t* row = data + y * (stride + 1);
        const uint8_t filter = row[0];
        uint8_t* cur = row + 1;
        switch (filter) {
        case 0:
            break;
        case 1:
            for (size_t i = bpp; i < stride; ++i)
                cur[i] = uint8_t(cur[i] + cur[i - bpp]);
            break;
        case 2:
            if (previous)
                for (size_t i = 0; i < stride; ++i)
                    cur[i] = uint8_t(cur[i] + previous[i]);
            break;
        case 3:
            for (size_t i = 0; i < stride; ++i) {
                const int left = i >= bpp ? cur[i - bpp] : 0;
                const int up = previous ? previous[i] : 0;
                cur[i] = uint8_t(cur[i] + ((left + up) >> 1));
            }
            break;
        case 4:
            for (size_t i = 0; i < stride; ++i) {
                const int left = i >= bpp ? cur[i - bpp] : 0;
                const int up = previous ? previous[i] : 0;
                const int upLeft = previous && i >= bpp ? previous[i - bpp] : 0;
                cur[i] = uint8_t(cur[i] + paeth(left, up, upLeft));
            }
            break;
        default:
            return false;
        }
        previous = cur;
    }
    return true;
}

struct DecompressorFree {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};
struct CompressorFree {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

} // namespace

bool decode(const std::string& text, cv::Mat& image)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const size_t size = text.size();
    if (size < 8 + 25 || std::memcmp(bytes, kSignature, 8) != 0)
        return false;
    size_t at = 8;
    uint32_t width = 0, height = 0;
    bool header = false, end = false;
    std::vector<uint8_t> compressed;
    while (!end && at + 12 <= size) {
        const uint32_t length = bigEndian32(bytes + at);
        const uint8_t* type = bytes + at + 4;
        if (length > size - at - 12)
            return false;
        const uint8_t* data = bytes + at + 8;
        if (std::memcmp(type, "IHDR", 4) == 0) {
            // 16-bit, greyscale, deflate, adaptive filters, not interlaced: anything else goes to the general decoder.
            if (header || length != 13 || data[8] != 16 || data[9] != 0 || data[10] != 0 || data[11] != 0 || data[12] != 0)
                return false;
            width = bigEndian32(data);
            height = bigEndian32(data + 4);
            if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide)
                return false;
            header = true;
        } else if (std::memcmp(type, "IDAT", 4) == 0) {
            if (!header)
                return false;
            compressed.insert(compressed.end(), data, data + length);
        } else if (std::memcmp(type, "IEND", 4) == 0) {
            end = true;
        } else if (!(type[0] & 0x20)) {
            return false;  // a critical chunk this reader does not know
        }
        at += 12 + static_cast<size_t>(length);
    }
    if (!header || !end || compressed.empty())
        return false;

    const size_t stride = size_t(width) * 2;
    // Every byte is written by the inflate, which must fill the buffer exactly.
    const size_t rawSize = (stride + 1) * height;
    const std::unique_ptr<uint8_t[]> raw(new uint8_t[rawSize]);
    std::unique_ptr<libdeflate_decompressor, DecompressorFree> decompressor(libdeflate_alloc_decompressor());
    if (!decompressor)
        return false;
    size_t produced = 0;
    if (libdeflate_zlib_decompress(decompressor.get(), compressed.data(), compressed.size(), raw.get(), rawSize, &produced)
            != LIBDEFLATE_SUCCESS
        || produced != rawSize)
        return false;
    if (!unfilter(raw.get(), stride, height))
        return false;
    image.create(static_cast<int>(height), static_cast<int>(width), CV_16UC1);
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* in = raw.get() + y * (stride + 1) + 1;
        auto* out = image.ptr<uint16_t>(static_cast<int>(y));
        for (uint32_t x = 0; x < width; ++x)
            out[x] = static_cast<uint16_t>(in[2 * x] << 8 | in[2 * x + 1]);
    }
    return true;
}

bool encode(const cv::Mat& image, std::vector<uint8_t>& png, int level)
{
    if (image.type() != CV_16UC1 || image.empty())
        return false;
    const size_t width = static_cast<size_t>(image.cols), height = static_cast<size_t>(image.rows);
    const size_t stride = width * 2;
    std::vector<uint8_t> raw((stride + 1) * height);
    for (size_t y = 0; y < height; ++y) {
        uint8_t* row = raw.data() + y * (stride + 1);
        row[0] = 1;  // sub: each byte minus the same byte of the pixel to its left
        const auto* in = image.ptr<uint16_t>(static_cast<int>(y));
        uint16_t left = 0;
        for (size_t x = 0; x < width; ++x) {
            const uint16_t v = in[x];
            row[1 + 2 * x] = uint8_t((v >> 8) - (left >> 8));
            row[2 + 2 * x] = uint8_t((v & 0xff) - (left & 0xff));
            left = v;
        }
    }
    std::unique_ptr<libdeflate_compressor, CompressorFree> compressor(libdeflate_alloc_compressor(level));
    if (!compressor)
        return false;
    std::vector<uint8_t> compressed(libdeflate_zlib_compress_bound(compressor.get(), raw.size()));
    const size_t packed = libdeflate_zlib_compress(compressor.get(), raw.data(), raw.size(), compressed.data(), compressed.size());
    if (packed == 0)
        return false;

    png.assign(kSignature, kSignature + 8);
    auto chunk = [&](const char* type, const uint8_t* data, size_t length) {
        putBigEndian32(png, static_cast<uint32_t>(length));
        const size_t start = png.size();
        png.insert(png.end(), type, type + 4);
        if (length > 0)
            png.insert(png.end(), data, data + length);
        putBigEndian32(png, libdeflate_crc32(0, png.data() + start, png.size() - start));
    };
    std::vector<uint8_t> header;
    putBigEndian32(header, static_cast<uint32_t>(width));
    putBigEndian32(header, static_cast<uint32_t>(height));
    header.insert(header.end(), {16, 0, 0, 0, 0});
    chunk("IHDR", header.data(), header.size());
    chunk("IDAT", compressed.data(), packed);
    chunk("IEND", nullptr, 0);
    return true;
}

} // namespace depth_png
