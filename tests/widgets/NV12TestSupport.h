#pragma once
// Builds NV12 frames from per-pixel colours and predicts what the preview's
// shader turns them into.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>

#include <QColor>

namespace nv12test {

struct Yuv {
    uint8_t y, u, v;
};

inline uint8_t toByte(double v)
{
    return uint8_t(std::clamp(int(std::lround(v * 255.0)), 0, 255));
}

// YUV bytes whose conversion gives back (r, g, b) in 0..1.
inline Yuv fromRgb(double r, double g, double b)
{
    const double y = 0.299 * r + 0.587 * g + 0.114 * b;
    return {toByte(y + 0.0625), toByte((b - y) / 2.03211 + 0.5), toByte((r - y) / 1.13983 + 0.5)};
}

// The colour the shader draws for these bytes.
inline QColor expectedColor(Yuv p)
{
    const double y = p.y / 255.0 - 0.0625;
    const double u = p.u / 255.0 - 0.5;
    const double v = p.v / 255.0 - 0.5;
    return QColor(toByte(y + 1.13983 * v), toByte(y - 0.39465 * u - 0.58060 * v),
                  toByte(y + 2.03211 * u));
}

// One frame of w x h: luma rows of w bytes, then h/2 chroma rows of w bytes
// holding w/2 (U, V) pairs; chroma comes from the top-left pixel of each 2x2 block.
inline std::unique_ptr<uint8_t[]> makeFrame(int w, int h, const std::function<Yuv(int, int)>& at)
{
    const size_t size = size_t(w) * h * 3 / 2;
    auto buf = std::make_unique<uint8_t[]>(size);
    std::fill(buf.get(), buf.get() + size, uint8_t(0x55));  // junk in the unused bytes
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            buf[size_t(y) * w + x] = at(x, y).y;
    uint8_t* uv = buf.get() + size_t(w) * h;
    for (int cy = 0; cy < h / 2; ++cy)
        for (int cx = 0; cx < w / 2; ++cx) {
            const Yuv p = at(2 * cx, 2 * cy);
            uv[size_t(cy) * w + 2 * cx] = p.u;
            uv[size_t(cy) * w + 2 * cx + 1] = p.v;
        }
    return buf;
}

inline bool near(const QColor& a, const QColor& b, int tolerance = 4)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance
        && std::abs(a.blue() - b.blue()) <= tolerance;
}

} // namespace nv12test
