#include "SimCalibration.h"

#include <cmath>

namespace obsim {

namespace {

// Lenses as fractions of the stream's width (square pixels) and height, so
// every size of a stream shows the same field of view: colour 86 degrees
// across, depth 90.
struct Lens {
    double focal; // fx = fy, per pixel of width
    double cx;    // per pixel of width
    double cy;    // per pixel of height
};
constexpr Lens kColourLens{0.5394, 0.5012, 0.4985};
constexpr Lens kDepthLens{0.4969, 0.4988, 0.5042};

// The depth camera sits 25 mm left of the colour camera. The IMU's axes are
// not the camera's (x up, y left, z backwards: a chip mounted on its side).
constexpr OBExtrinsic kIdentity{{1, 0, 0, 0, 1, 0, 0, 0, 1}, {0, 0, 0}};
constexpr OBExtrinsic kDepthPose{{1, 0, 0, 0, 1, 0, 0, 0, 1}, {-25.0f, 0.4f, -1.5f}};
constexpr OBExtrinsic kImuPose{{0, -1, 0, -1, 0, 0, 0, 0, -1}, {11.8f, -6.2f, -9.5f}};

} // namespace

Pinhole pinholeOf(ob_stream_type optics, uint32_t width, uint32_t height)
{
    const Lens& lens = optics == OB_STREAM_DEPTH ? kDepthLens : kColourLens;
    Pinhole p;
    p.fx = p.fy = lens.focal * width;
    p.cx = lens.cx * width;
    p.cy = lens.cy * height;
    p.width = static_cast<int>(width);
    p.height = static_cast<int>(height);
    return p;
}

OBCameraIntrinsic intrinsicOf(ob_stream_type optics, uint32_t width, uint32_t height)
{
    const Pinhole p = pinholeOf(optics, width, height);
    return OBCameraIntrinsic{static_cast<float>(p.fx), static_cast<float>(p.fy), static_cast<float>(p.cx),
        static_cast<float>(p.cy), static_cast<int16_t>(width), static_cast<int16_t>(height)};
}

OBExtrinsic poseInColour(ob_stream_type optics)
{
    switch (optics) {
    case OB_STREAM_DEPTH:
        return kDepthPose;
    case OB_STREAM_ACCEL:
    case OB_STREAM_GYRO:
        return kImuPose;
    default:
        return kIdentity;
    }
}

OBExtrinsic extrinsicBetween(ob_stream_type from, ob_stream_type to)
{
    // p_c = Ra p_a + ta and p_c = Rb p_b + tb give p_b = Rb^T Ra p_a + Rb^T (ta - tb).
    const OBExtrinsic a = poseInColour(from);
    const OBExtrinsic b = poseInColour(to);
    OBExtrinsic out{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            float sum = 0;
            for (int k = 0; k < 3; ++k)
                sum += b.rot[k * 3 + i] * a.rot[k * 3 + j];
            out.rot[i * 3 + j] = sum;
        }
        float sum = 0;
        for (int k = 0; k < 3; ++k)
            sum += b.rot[k * 3 + i] * (a.trans[k] - b.trans[k]);
        out.trans[i] = sum;
    }
    return out;
}

OBAccelIntrinsic accelIntrinsic()
{
    OBAccelIntrinsic in{};
    in.noiseDensity = 0.0014; // m/s^2/sqrt(Hz): 0.02 m/s^2 per sample at 200 Hz
    in.randomWalk = 0.0002;
    in.referenceTemp = 40.0;
    in.bias[0] = 0.021;
    in.bias[1] = -0.015;
    in.bias[2] = 0.034;
    in.gravity[0] = 9.80665; // what the IMU reads with the camera standing level
    for (int i = 0; i < 3; ++i)
        in.scaleMisalignment[i * 4] = 1.0;
    return in;
}

OBGyroIntrinsic gyroIntrinsic()
{
    OBGyroIntrinsic in{};
    in.noiseDensity = 0.00014; // rad/s/sqrt(Hz): 0.002 rad/s per sample at 200 Hz
    in.randomWalk = 0.00002;
    in.referenceTemp = 40.0;
    in.bias[0] = 0.0012;
    in.bias[1] = -0.0008;
    in.bias[2] = 0.0005;
    for (int i = 0; i < 3; ++i)
        in.scaleMisalignment[i * 4] = 1.0;
    return in;
}

double sampleNoise(double noiseDensity, double rateHz) { return noiseDensity * std::sqrt(rateHz); }

const DeviceIdentity& deviceIdentity()
{
    static const DeviceIdentity identity{"Kavrel simulated depth camera", "KSIM0000000001", "1.2.0-sim"};
    return identity;
}

} // namespace obsim
