#include "SimScene.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <opencv2/imgproc.hpp>
#include <turbojpeg.h>

#include "libobsensor/ObSensor.h"

namespace obsim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kFloorY = SceneRenderer::cameraHeightM;

// Fixed and moving parts of the room (metres, colour camera frame, x right, y down).
struct Rect3 {
    double x0, x1, y0, y1;
    bool contains(double x, double y) const { return x >= x0 && x < x1 && y >= y0 && y < y1; }
};
constexpr Rect3 kPillar{-1.55, -1.20, -3.0, kFloorY}; // stands on the floor, its top out of view
constexpr Rect3 kScreen{0.55, 1.55, -1.10, -0.55};    // hangs on the wall
constexpr double kScreenBezelM = 0.03;
constexpr double kTileM = 0.5;
constexpr double kGroutM = 0.015;
constexpr double kBoxWidthM = 0.45;
constexpr double kBoxHeightM = 0.35;
constexpr double kBallRadiusM = 0.1;

// Depth noise of a structured-light sensor grows with the square of the
// distance: 3.3 mm at 1 m, 30 mm (1%) at 3 m.
constexpr double kDepthNoisePerM2 = 0.00333;
constexpr double kDepthNoiseBlur = 0.7; // pixels
// Colour sensor noise (grey levels) and the texture of the room's surfaces.
constexpr double kColourNoise = 3.0;
constexpr double kColourNoiseBase = 16.0;
constexpr double kTexture = 14.0;
// A depth step of more than this share of the distance leaves no return at its edge.
constexpr double kEdgeStep = 0.04;

struct Moving {
    Rect3 box;
    cv::Vec3d ball; // centre
    explicit Moving(double t)
    {
        const double x0 = 0.8 * std::sin(2 * kPi * t / 6.0) - kBoxWidthM / 2;
        box = {x0, x0 + kBoxWidthM, kFloorY - kBoxHeightM, kFloorY};
        // Toward the camera and back every 4 s, bouncing on the floor.
        const double phase = 0.5 + 0.5 * std::sin(2 * kPi * t / 4.0);
        const double nearest
            = SceneRenderer::ballNearM + (SceneRenderer::ballFarM - SceneRenderer::ballNearM) * phase;
        const double bounce = std::fabs(std::sin(2 * kPi * t / 1.6));
        ball = {0.25 * std::cos(2 * kPi * t / 9.0), kFloorY - kBallRadiusM - 0.55 * bounce, nearest + kBallRadiusM};
    }
};

// The ray through a pixel centre; its z component is 1, so the distance along
// it to a hit is the hit's depth.
cv::Vec3d rayThrough(const Pinhole& lens, double u, double v)
{
    return {(u - lens.cx) / lens.fx, (v - lens.cy) / lens.fy, 1.0};
}

// Pixels whose centres see a rectangle square to the optical axis at depth z.
cv::Rect pixelsOf(const Pinhole& lens, const cv::Vec3d& o, const Rect3& r, double z)
{
    const double s = z - o[2];
    const int u0 = int(std::ceil(lens.cx + lens.fx * (r.x0 - o[0]) / s));
    const int u1 = int(std::ceil(lens.cx + lens.fx * (r.x1 - o[0]) / s));
    const int v0 = int(std::ceil(lens.cy + lens.fy * (r.y0 - o[1]) / s));
    const int v1 = int(std::ceil(lens.cy + lens.fy * (r.y1 - o[1]) / s));
    return cv::Rect(cv::Point(u0, v0), cv::Point(u1, v1)) & cv::Rect(0, 0, lens.width, lens.height);
}

enum Material : uint8_t { wall, tile, grout, pillarFace, pillarLit, screen, bezel };

// The static room through a lens: depth in metres and what each pixel sees.
void castRoom(const Pinhole& lens, const cv::Vec3d& o, cv::Mat& depthM, cv::Mat& material)
{
    depthM.create(lens.height, lens.width, CV_32F);
    material.create(lens.height, lens.width, CV_8U);
    const Rect3 screenFace{kScreen.x0 + kScreenBezelM, kScreen.x1 - kScreenBezelM, kScreen.y0 + kScreenBezelM,
        kScreen.y1 - kScreenBezelM};
    for (int v = 0; v < lens.height; ++v) {
        float* depth = depthM.ptr<float>(v);
        uint8_t* what = material.ptr<uint8_t>(v);
        for (int u = 0; u < lens.width; ++u) {
            const cv::Vec3d d = rayThrough(lens, u, v);
            double s = SceneRenderer::wallM - o[2];
            cv::Vec3d p = o + s * d;
            Material m = screenFace.contains(p[0], p[1]) ? screen : kScreen.contains(p[0], p[1]) ? bezel : wall;
            if (d[1] > 0) {
                const double floorS = (kFloorY - o[1]) / d[1];
                if (floorS < s) {
                    s = floorS;
                    p = o + s * d;
                    const double gx = std::fabs(std::remainder(p[0], kTileM));
                    const double gz = std::fabs(std::remainder(p[2], kTileM));
                    m = gx < kGroutM / 2 || gz < kGroutM / 2 ? grout : tile;
                }
            }
            const double pillarS = SceneRenderer::pillarM - o[2];
            const cv::Vec3d q = o + pillarS * d;
            if (pillarS < s && kPillar.contains(q[0], q[1])) {
                s = pillarS;
                m = q[0] < kPillar.x0 + (kPillar.x1 - kPillar.x0) / 4 ? pillarLit : pillarFace;
            }
            depth[u] = static_cast<float>(s);
            what[u] = m;
        }
    }
}

// Calls fn(u, v, depth, normal, ray) for every pixel that sees the ball.
template <typename Fn>
void forEachBallPixel(const Pinhole& lens, const cv::Vec3d& o, const cv::Vec3d& centre, Fn fn)
{
    const cv::Vec3d c = centre - o;
    const double reach = lens.fx * kBallRadiusM / (c[2] - kBallRadiusM) + 2;
    const double uc = lens.cx + lens.fx * c[0] / c[2];
    const double vc = lens.cy + lens.fy * c[1] / c[2];
    const cv::Rect box = cv::Rect(cv::Point(int(uc - reach), int(vc - reach)), cv::Point(int(uc + reach) + 1,
                             int(vc + reach) + 1))
        & cv::Rect(0, 0, lens.width, lens.height);
    for (int v = box.y; v < box.y + box.height; ++v)
        for (int u = box.x; u < box.x + box.width; ++u) {
            const cv::Vec3d d = rayThrough(lens, u, v);
            // |s d - c|^2 = r^2, nearer root.
            const double a = d.dot(d);
            const double b = d.dot(c);
            const double disc = b * b - a * (c.dot(c) - kBallRadiusM * kBallRadiusM);
            if (disc < 0)
                continue;
            const double s = (b - std::sqrt(disc)) / a;
            if (s > 0)
                fn(u, v, s, (s * d - c) / kBallRadiusM, d / std::sqrt(a));
        }
}

// A light above, left of and behind the camera; the ball's highlight.
const cv::Vec3d kToLight = cv::normalize(cv::Vec3d(-0.4, -0.7, -0.6));
double specular(const cv::Vec3d& normal, const cv::Vec3d& ray)
{
    const cv::Vec3d half = cv::normalize(kToLight - ray);
    return std::pow(std::max(0.0, normal.dot(half)), 60);
}

// Steps in depth leave a seam of no return about two pixels wide.
void markEdges(const cv::Mat& depthM, const cv::Rect& area, cv::Mat& noReturn)
{
    const auto mark = [&](int u, int v) {
        const cv::Rect around = cv::Rect(u - 1, v - 1, 3, 3) & cv::Rect(0, 0, noReturn.cols, noReturn.rows);
        noReturn(around).setTo(255);
    };
    for (int v = area.y; v < area.y + area.height - 1; ++v)
        for (int u = area.x; u < area.x + area.width - 1; ++u) {
            const float z = depthM.at<float>(v, u);
            if (std::fabs(depthM.at<float>(v, u + 1) - z) > kEdgeStep * z
                || std::fabs(depthM.at<float>(v + 1, u) - z) > kEdgeStep * z)
                mark(u, v);
        }
}

} // namespace

SceneRenderer::SceneRenderer(SceneWeight weight)
    : weight_(weight)
    , rng_(0x5ce7e)
{
}

bool SceneRenderer::redraw(Cache& cache, const Pinhole& lens, const cv::Vec3d& origin)
{
    // The static part of the room is drawn once per view.
    const cv::Matx<double, 1, 9> view(
        lens.fx, lens.fy, lens.cx, lens.cy, lens.width, lens.height, origin[0], origin[1], origin[2]);
    if (view == cache.view)
        return false;
    cache.view = view;
    return true;
}

cv::Mat SceneRenderer::noiseWindow(Cache& cache, cv::Size size)
{
    const int dx = rng_.uniform(0, cache.noise.cols - size.width + 1);
    const int dy = rng_.uniform(0, cache.noise.rows - size.height + 1);
    return cache.noise(cv::Rect(dx, dy, size.width, size.height));
}

void SceneRenderer::renderColor(const Pinhole& lens, const cv::Vec3d& originMm, double t, uint64_t index,
    const std::string& clockText, cv::Mat& bgr)
{
    const int w = lens.width;
    const int h = lens.height;
    const cv::Vec3d origin = originMm / 1000.0;
    const bool heavy = weight_ == SceneWeight::heavy;
    if (redraw(colour_, lens, origin)) {
        cv::Mat depthM, material;
        castRoom(lens, origin, depthM, material);
        colour_.image.create(h, w, CV_8UC3);
        const double horizon = lens.cy + lens.fy * (kFloorY - origin[1]) / (wallM - origin[2]);
        for (int v = 0; v < h; ++v) {
            const double k = v < horizon ? v / horizon : (v - horizon) / std::max(1.0, h - horizon);
            const cv::Vec3b wallColour(cv::saturate_cast<uchar>(200 - 40 * k), cv::saturate_cast<uchar>(190 - 30 * k),
                cv::saturate_cast<uchar>(170 - 20 * k));
            const cv::Vec3b tileColour(cv::saturate_cast<uchar>(60 + 50 * k), cv::saturate_cast<uchar>(90 + 60 * k),
                cv::saturate_cast<uchar>(120 + 70 * k));
            for (int u = 0; u < w; ++u) {
                static const cv::Vec3b fixed[] = {{}, {}, {50, 70, 90}, {120, 160, 80}, {150, 200, 110},
                    {25, 25, 25}, {90, 90, 90}};
                const uint8_t m = material.at<uint8_t>(v, u);
                colour_.image.at<cv::Vec3b>(v, u) = m == wall ? wallColour : m == tile ? tileColour : fixed[m];
            }
        }
        if (heavy) {
            // Plaster, wood grain and paint: fine texture that does not move.
            cv::Mat texture(h, w, CV_16SC3);
            cv::randn(texture, 0, kTexture);
            cv::GaussianBlur(texture, texture, cv::Size(3, 3), 0.8);
            cv::add(colour_.image, texture, colour_.image, cv::noArray(), CV_8U);
            // Sensor noise, read at a random offset each frame, kept as 8-bit
            // values around kColourNoiseBase for two fast saturating passes.
            colour_.noise.create(h + 32, w + 32, CV_8UC3);
            cv::randn(colour_.noise, kColourNoiseBase, kColourNoise);
        }
    }
    colour_.image.copyTo(bgr);

    const Moving moving(t);
    const cv::Rect box = pixelsOf(lens, origin, moving.box, boxM);
    bgr(box).setTo(cv::Scalar(30, 120, 230));
    const Rect3 lid{moving.box.x0, moving.box.x1, moving.box.y0, moving.box.y0 + kBoxHeightM / 6};
    bgr(pixelsOf(lens, origin, lid, boxM)).setTo(cv::Scalar(70, 170, 250));
    cv::rectangle(bgr, box, cv::Scalar(20, 60, 120), std::max(1, w / 400));

    forEachBallPixel(lens, origin, moving.ball, [&](int u, int v, double, const cv::Vec3d& n, const cv::Vec3d& ray) {
        const double shade = 0.3 + 0.7 * std::max(0.0, n.dot(kToLight));
        const double shine = 230 * specular(n, ray);
        bgr.at<cv::Vec3b>(v, u) = cv::Vec3b(cv::saturate_cast<uchar>(200 * shade + shine),
            cv::saturate_cast<uchar>(60 * shade + shine), cv::saturate_cast<uchar>(40 * shade + shine));
    });

    if (heavy) {
        cv::add(bgr, noiseWindow(colour_, bgr.size()), bgr);
        cv::subtract(bgr, cv::Scalar::all(kColourNoiseBase), bgr);
    }

    // Caption: what this is, when it was taken, which frame.
    const double scale = std::max(0.35, h / 720.0 * 0.9);
    const int thickness = std::max(1, cvRound(scale * 2));
    const std::string lines[] = {"SIMULATED CAMERA", clockText, "frame " + std::to_string(index)};
    int baseline = 0;
    cv::Size textSize;
    for (const std::string& line : lines) {
        const cv::Size size = cv::getTextSize(line, cv::FONT_HERSHEY_SIMPLEX, scale, thickness, &baseline);
        textSize = cv::Size(std::max(textSize.width, size.width), std::max(textSize.height, size.height));
    }
    const int lineHeight = textSize.height + baseline + 6;
    const cv::Rect panel = cv::Rect(8, 8, textSize.width + 16, lineHeight * 3 + 8) & cv::Rect(0, 0, w, h);
    bgr(panel).setTo(cv::Scalar(0, 0, 0));
    for (int i = 0; i < 3; ++i)
        cv::putText(bgr, lines[i], cv::Point(16, 8 + lineHeight * (i + 1) - baseline), cv::FONT_HERSHEY_SIMPLEX, scale,
            cv::Scalar(255, 255, 255), thickness, cv::LINE_AA);
}

void SceneRenderer::renderDepth(const Pinhole& lens, const cv::Vec3d& originMm, double t, float valueScale,
    cv::Mat& counts)
{
    const cv::Vec3d origin = originMm / 1000.0;
    const bool heavy = weight_ == SceneWeight::heavy;
    const cv::Rect whole(0, 0, lens.width, lens.height);
    if (redraw(depth_, lens, origin)) {
        cv::Mat material;
        castRoom(lens, origin, depth_.image, material);
        // The dark screen absorbs the projector's pattern.
        depth_.noReturn = material == screen;
        if (heavy) {
            markEdges(depth_.image, whole, depth_.noReturn);
            // Matching over a patch correlates neighbours' errors: smoothed
            // noise, scaled back to a standard deviation of 1.
            depth_.noise.create(lens.height + 32, lens.width + 32, CV_32F);
            cv::randn(depth_.noise, 0, 1);
            cv::GaussianBlur(depth_.noise, depth_.noise, cv::Size(5, 5), kDepthNoiseBlur);
            cv::Scalar mean, deviation;
            cv::meanStdDev(depth_.noise, mean, deviation);
            depth_.noise = (depth_.noise - mean[0]) / deviation[0];
        }
    }
    cv::Mat depthM = depth_.image.clone();
    cv::Mat noReturn = depth_.noReturn.clone();

    const Moving moving(t);
    const cv::Rect box = pixelsOf(lens, origin, moving.box, boxM);
    depthM(box).setTo(boxM - origin[2]);
    noReturn(box).setTo(0);
    cv::Rect ball;
    forEachBallPixel(lens, origin, moving.ball, [&](int u, int v, double s, const cv::Vec3d& n, const cv::Vec3d& ray) {
        depthM.at<float>(v, u) = static_cast<float>(s);
        // The highlight blinds the sensor.
        noReturn.at<uint8_t>(v, u) = specular(n, ray) > 0.5 ? 255 : 0;
        ball |= cv::Rect(u, v, 1, 1);
    });
    if (heavy)
        for (const cv::Rect& moved : {box, ball})
            markEdges(depthM, (moved + cv::Point(-2, -2) + cv::Size(4, 4)) & whole, noReturn);

    // One pass to counts of valueScale mm; beyond the range of 16 bits there is no return.
    counts.create(lens.height, lens.width, CV_16U);
    const float perCount = 1000.0f / valueScale;
    const float noisePerM2 = static_cast<float>(kDepthNoisePerM2);
    const cv::Mat noise = heavy ? noiseWindow(depth_, whole.size()) : cv::Mat();
    for (int v = 0; v < lens.height; ++v) {
        const float* s = depthM.ptr<float>(v);
        const uint8_t* none = noReturn.ptr<uint8_t>(v);
        const float* n = heavy ? noise.ptr<float>(v) : nullptr;
        uint16_t* out = counts.ptr<uint16_t>(v);
        for (int u = 0; u < lens.width; ++u) {
            // Zero-mean noise: sigma = k z^2.
            const float z = heavy ? s[u] + noisePerM2 * s[u] * s[u] * n[u] : s[u];
            const float c = z * perCount + 0.5f;
            out[u] = none[u] || c >= 65536.0f || c < 1.0f ? 0 : static_cast<uint16_t>(c);
        }
    }
}

bool encodeJpeg(const cv::Mat& bgr, int quality, std::vector<uint8_t>& jpeg)
{
    tjhandle handle = tjInitCompress();
    if (!handle)
        return false;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    const int rc = tjCompress2(handle, bgr.data, bgr.cols, static_cast<int>(bgr.step), bgr.rows, TJPF_BGR, &buffer,
        &size, TJSAMP_422, quality, TJFLAG_FASTDCT);
    if (rc == 0)
        jpeg.assign(buffer, buffer + size);
    tjFree(buffer);
    tjDestroy(handle);
    return rc == 0;
}

namespace {

// Packed 4:2:2, two pixels in four bytes; order gives the offsets of Y0, U, Y1, V.
void packYuv422(const cv::Mat& bgr, const int order[4], std::vector<uint8_t>& bytes)
{
    cv::Mat yuv;
    cv::cvtColor(bgr, yuv, cv::COLOR_BGR2YUV);
    const int w = bgr.cols & ~1;
    bytes.assign(size_t(bgr.cols) * bgr.rows * 2, 0);
    for (int y = 0; y < bgr.rows; ++y) {
        const cv::Vec3b* row = yuv.ptr<cv::Vec3b>(y);
        uint8_t* out = bytes.data() + size_t(y) * bgr.cols * 2;
        for (int x = 0; x < w; x += 2, out += 4) {
            out[order[0]] = row[x][0];
            out[order[1]] = static_cast<uint8_t>((row[x][1] + row[x + 1][1]) / 2);
            out[order[2]] = row[x + 1][0];
            out[order[3]] = static_cast<uint8_t>((row[x][2] + row[x + 1][2]) / 2);
        }
    }
}

} // namespace

bool packColor(const cv::Mat& bgr, int format, std::vector<uint8_t>& bytes)
{
    cv::Mat converted;
    switch (format) {
    case OB_FORMAT_MJPG:
        return encodeJpeg(bgr, 85, bytes);
    case OB_FORMAT_BGR:
        bytes.assign(bgr.datastart, bgr.dataend);
        return true;
    case OB_FORMAT_RGB:
        cv::cvtColor(bgr, converted, cv::COLOR_BGR2RGB);
        break;
    case OB_FORMAT_BGRA:
        cv::cvtColor(bgr, converted, cv::COLOR_BGR2BGRA);
        break;
    case OB_FORMAT_RGBA:
        cv::cvtColor(bgr, converted, cv::COLOR_BGR2RGBA);
        break;
    case OB_FORMAT_Y8:
    case OB_FORMAT_GRAY:
        cv::cvtColor(bgr, converted, cv::COLOR_BGR2GRAY);
        break;
    case OB_FORMAT_YUYV:
    case OB_FORMAT_YUY2: {
        static const int yuyv[4] = {0, 1, 2, 3};
        packYuv422(bgr, yuyv, bytes);
        return true;
    }
    case OB_FORMAT_UYVY: {
        static const int uyvy[4] = {1, 0, 3, 2};
        packYuv422(bgr, uyvy, bytes);
        return true;
    }
    case OB_FORMAT_I420:
    case OB_FORMAT_NV12:
    case OB_FORMAT_NV21: {
        if ((bgr.cols | bgr.rows) & 1)
            return false;
        cv::cvtColor(bgr, converted, cv::COLOR_BGR2YUV_I420);
        if (format == OB_FORMAT_I420)
            break;
        const size_t ySize = size_t(bgr.cols) * bgr.rows;
        const size_t quarter = ySize / 4;
        bytes.assign(converted.datastart, converted.datastart + ySize + 2 * quarter);
        const uint8_t* u = converted.datastart + ySize;
        const uint8_t* v = u + quarter;
        uint8_t* uv = bytes.data() + ySize;
        const bool vFirst = format == OB_FORMAT_NV21;
        for (size_t i = 0; i < quarter; ++i) {
            uv[2 * i] = vFirst ? v[i] : u[i];
            uv[2 * i + 1] = vFirst ? u[i] : v[i];
        }
        return true;
    }
    default:
        return false;
    }
    bytes.assign(converted.datastart, converted.dataend);
    return true;
}

} // namespace obsim
