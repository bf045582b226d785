#pragma once
// The simulated camera's view: a room with a back wall, a floor, a pillar, a
// dark screen (no depth return), a box sliding left and right and a ball that
// bounces toward the camera and back. Every pixel is a ray cast through the
// device's calibrated lenses into one 3D scene, so colour, depth and the
// reported calibration tell the same story.

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "SimCalibration.h"
#include "SimCore.h"

namespace obsim {

class SceneRenderer {
public:
    explicit SceneRenderer(SceneWeight weight = SceneWeight::light);

    // Both images are seen by a camera at `originMm` in the colour camera's
    // frame, axes parallel to it, at time t (seconds since the stream started).
    // Colour: BGR, 8 bit, stamped with the frame index and clock text.
    void renderColor(const Pinhole& lens, const cv::Vec3d& originMm, double t, uint64_t index,
        const std::string& clockText, cv::Mat& bgr);
    // Depth: 16 bit counts of `valueScale` mm, 0 = no return.
    void renderDepth(const Pinhole& lens, const cv::Vec3d& originMm, double t, float valueScale, cv::Mat& counts);

    // The room in the colour camera's frame (x right, y down, z forward), metres.
    static constexpr double wallM = 3.0;         // the back wall, square to the optical axis
    static constexpr double cameraHeightM = 0.6; // above the floor, camera level
    static constexpr double pillarM = 2.2;       // front face of the pillar
    static constexpr double boxM = 1.5;          // front face of the sliding box
    static constexpr double ballNearM = 0.7;     // nearest point of the ball, nearest and farthest
    static constexpr double ballFarM = 1.2;

private:
    struct Cache {
        // What the static part was drawn for: lens and position.
        cv::Matx<double, 1, 9> view;
        cv::Mat image;   // colour background (BGR) or depth background (metres, CV_32F)
        cv::Mat noReturn; // depth: pixels that never return (CV_8U)
        cv::Mat noise;   // pool of sensor noise, larger than the image, read at a random offset
    };
    cv::Mat noiseWindow(Cache& cache, cv::Size size);
    // True when the cache must be drawn again for this view (and notes the view).
    static bool redraw(Cache& cache, const Pinhole& lens, const cv::Vec3d& origin);

    SceneWeight weight_;
    Cache colour_;
    Cache depth_;
    cv::RNG rng_;
};

// Encodes a BGR image to JPEG with 4:2:2 chroma, as UVC colour cameras send it.
bool encodeJpeg(const cv::Mat& bgr, int quality, std::vector<uint8_t>& jpeg);

// Packs a BGR image into the byte layout of an SDK format code; false for a
// code the simulated camera cannot produce.
bool packColor(const cv::Mat& bgr, int format, std::vector<uint8_t>& bytes);

} // namespace obsim
