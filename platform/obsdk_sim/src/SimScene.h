#pragma once
// The simulated camera's view: a room with a back wall, a floor, a pillar, a
// dark screen (no depth return), a box sliding left and right and a ball that
// bounces toward the camera and back. Colour and depth are drawn from the same
// geometry, so depth aligned to colour lines up with what the operator sees.

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace obsim {

class SceneRenderer {
public:
    // Colour image (BGR, 8 bit) at time t (seconds since the stream started),
    // stamped with the frame index and the given clock text.
    void renderColor(int width, int height, double t, uint64_t index, const std::string& clockText, cv::Mat& bgr);
    // Depth image (16 bit, millimetres, 0 = no return) of the same scene at time t.
    void renderDepth(int width, int height, double t, cv::Mat& depthMm);

    // Distances in millimetres, for tests and for the README.
    static constexpr uint16_t wallMm = 3000;
    static constexpr uint16_t pillarMm = 2200;
    static constexpr uint16_t boxMm = 1500;
    static constexpr uint16_t ballNearMm = 700;
    static constexpr uint16_t ballFarMm = 1200;

private:
    cv::Mat colorBackground_;
    cv::Mat depthBackground_;
};

// Encodes a BGR image to JPEG with 4:2:2 chroma, as UVC colour cameras send it.
bool encodeJpeg(const cv::Mat& bgr, int quality, std::vector<uint8_t>& jpeg);

// Packs a BGR image into the byte layout of an SDK format code; false for a
// code the simulated camera cannot produce.
bool packColor(const cv::Mat& bgr, int format, std::vector<uint8_t>& bytes);

} // namespace obsim
