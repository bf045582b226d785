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

// Where things are, in fractions of the image, at time t.
struct Layout {
    double horizon = 0.62;                   // wall above, floor below
    cv::Rect2d pillar{0.06, 0.08, 0.09, 0.54}; // static, stands on the floor line
    cv::Rect2d screen{0.62, 0.14, 0.22, 0.20}; // dark, absorbs the projector: no depth
    cv::Rect2d box;                          // slides left and right
    cv::Point2d ballCentre;                  // bounces
    double ballRadius = 0;                   // fraction of the image height
    double ballMm = 0;

    explicit Layout(double t)
    {
        const double slide = 0.5 + 0.5 * std::sin(2 * kPi * t / 6.0);
        box = cv::Rect2d(0.20 + 0.45 * slide, 0.40, 0.16, 0.30);
        // The ball comes toward the camera and goes back every 4 s, bouncing on the floor.
        const double phase = 0.5 + 0.5 * std::sin(2 * kPi * t / 4.0);
        ballMm = SceneRenderer::ballNearMm + (SceneRenderer::ballFarMm - SceneRenderer::ballNearMm) * phase;
        ballRadius = 0.075 * SceneRenderer::ballFarMm / ballMm;
        const double bounce = std::fabs(std::sin(2 * kPi * t / 1.6));
        ballCentre = cv::Point2d(0.50 + 0.20 * std::cos(2 * kPi * t / 9.0), 0.86 - ballRadius - 0.25 * bounce);
    }
};

cv::Rect toPixels(const cv::Rect2d& r, int w, int h)
{
    return cv::Rect(cv::Point(cvRound(r.x * w), cvRound(r.y * h)),
               cv::Point(cvRound((r.x + r.width) * w), cvRound((r.y + r.height) * h)))
        & cv::Rect(0, 0, w, h);
}

} // namespace

void SceneRenderer::renderColor(int w, int h, double t, uint64_t index, const std::string& clockText, cv::Mat& bgr)
{
    const Layout layout(t);
    if (colorBackground_.cols != w || colorBackground_.rows != h) {
        // The static part of the room is drawn once per size.
        colorBackground_.create(h, w, CV_8UC3);
        const int horizon = cvRound(layout.horizon * h);
        for (int y = 0; y < h; ++y) {
            cv::Vec3b colour;
            if (y < horizon) {
                const double k = double(y) / std::max(1, horizon);
                colour = cv::Vec3b(cv::saturate_cast<uchar>(200 - 40 * k), cv::saturate_cast<uchar>(190 - 30 * k),
                    cv::saturate_cast<uchar>(170 - 20 * k));
            } else {
                const double k = double(y - horizon) / std::max(1, h - horizon);
                colour = cv::Vec3b(cv::saturate_cast<uchar>(60 + 50 * k), cv::saturate_cast<uchar>(90 + 60 * k),
                    cv::saturate_cast<uchar>(120 + 70 * k));
            }
            colorBackground_.row(y).setTo(colour);
        }
        // Floor tiles: lines converging to the vanishing point make the depth readable.
        const cv::Point vanish(w / 2, horizon - h / 3);
        for (int i = -8; i <= 8; ++i) {
            const cv::Point bottom(w / 2 + i * w / 8, h);
            const double k = double(horizon - vanish.y) / std::max(1, h - vanish.y);
            const cv::Point top(cvRound(vanish.x + (bottom.x - vanish.x) * k), horizon);
            cv::line(colorBackground_, top, bottom, cv::Scalar(50, 70, 90), std::max(1, w / 640), cv::LINE_AA);
        }
        for (int j = 1; j <= 5; ++j) {
            const int y = horizon + (h - horizon) * j * j / 25;
            cv::line(colorBackground_, cv::Point(0, y), cv::Point(w, y), cv::Scalar(50, 70, 90), std::max(1, w / 640));
        }
        const cv::Rect pillar = toPixels(layout.pillar, w, h);
        cv::rectangle(colorBackground_, pillar, cv::Scalar(120, 160, 80), cv::FILLED);
        cv::rectangle(colorBackground_, cv::Rect(pillar.x, pillar.y, std::max(1, pillar.width / 4), pillar.height),
            cv::Scalar(150, 200, 110), cv::FILLED);
        const cv::Rect screen = toPixels(layout.screen, w, h);
        cv::rectangle(colorBackground_, screen, cv::Scalar(25, 25, 25), cv::FILLED);
        cv::rectangle(colorBackground_, screen, cv::Scalar(90, 90, 90), std::max(2, w / 320));
    }
    colorBackground_.copyTo(bgr);

    const cv::Rect box = toPixels(layout.box, w, h);
    cv::rectangle(bgr, box, cv::Scalar(30, 120, 230), cv::FILLED);
    cv::rectangle(bgr, cv::Rect(box.x, box.y, box.width, std::max(1, box.height / 6)), cv::Scalar(70, 170, 250),
        cv::FILLED);
    cv::rectangle(bgr, box, cv::Scalar(20, 60, 120), std::max(1, w / 400));

    const cv::Point ball(cvRound(layout.ballCentre.x * w), cvRound(layout.ballCentre.y * h));
    const int radius = std::max(2, cvRound(layout.ballRadius * h));
    cv::circle(bgr, ball, radius, cv::Scalar(200, 60, 40), cv::FILLED, cv::LINE_AA);
    cv::circle(bgr, ball - cv::Point(radius / 3, radius / 3), std::max(1, radius / 3), cv::Scalar(240, 150, 120),
        cv::FILLED, cv::LINE_AA);

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

void SceneRenderer::renderDepth(int w, int h, double t, cv::Mat& depth)
{
    const Layout layout(t);
    if (depthBackground_.cols != w || depthBackground_.rows != h) {
        depthBackground_.create(h, w, CV_16UC1);
        const int horizon = cvRound(layout.horizon * h);
        for (int y = 0; y < h; ++y) {
            uint16_t mm = wallMm;
            if (y >= horizon) {
                // The floor comes nearer toward the bottom of the image.
                const double k = double(y - horizon) / std::max(1, h - 1 - horizon);
                mm = static_cast<uint16_t>(wallMm - (wallMm - 800) * k);
            }
            depthBackground_.row(y).setTo(mm);
        }
        depthBackground_(toPixels(layout.pillar, w, h)).setTo(pillarMm);
        depthBackground_(toPixels(layout.screen, w, h)).setTo(0);
        // A band of no return beside the pillar, where the projector cannot reach.
        const cv::Rect pillar = toPixels(layout.pillar, w, h);
        const cv::Rect shadow = cv::Rect(pillar.x + pillar.width, pillar.y, std::max(1, w / 80), pillar.height)
            & cv::Rect(0, 0, w, h);
        depthBackground_(shadow).setTo(0);
    }
    depthBackground_.copyTo(depth);

    const cv::Rect box = toPixels(layout.box, w, h);
    depth(box).setTo(boxMm);
    const cv::Rect boxShadow = cv::Rect(box.x + box.width, box.y, std::max(1, w / 100), box.height) & cv::Rect(0, 0, w, h);
    depth(boxShadow).setTo(0);

    const cv::Point ball(cvRound(layout.ballCentre.x * w), cvRound(layout.ballCentre.y * h));
    const int radius = std::max(2, cvRound(layout.ballRadius * h));
    cv::circle(depth, ball, radius, cv::Scalar(layout.ballMm), cv::FILLED);
    // Specular spot: a small hole in the middle of the ball.
    cv::circle(depth, ball - cv::Point(radius / 3, radius / 3), std::max(1, radius / 6), cv::Scalar(0), cv::FILLED);
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
