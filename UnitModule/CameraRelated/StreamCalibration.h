#pragma once
// What a camera said about itself and the streams it delivered: sizes and
// formats of the frames, the pinhole models, extrinsics and IMU figures as
// the camera reported them. Every figure the camera did not give stays
// empty: nothing here is ever a guess. A camera builds one when its streams
// start (or change) and attaches it to every frame set it queues.

#include <array>
#include <optional>
#include <string>

struct StreamCalibration {
    struct Pinhole {
        double fx = 0, fy = 0, cx = 0, cy = 0;  // pixels at the stream's own size
    };
    struct Distortion {
        std::string model;  // "brown_conrady", "kannala_brandt4", "none", ...
        double k1 = 0, k2 = 0, k3 = 0, k4 = 0, k5 = 0, k6 = 0, p1 = 0, p2 = 0;
    };
    // p_target = rotation * p_source + translation
    struct Rigid {
        std::array<double, 9> rotation{};  // row-major
        std::array<double, 3> translationM{};
    };
    struct Stream {
        int width = 0;
        int height = 0;
        std::string format;   // "MJPG", "Y16", "YUYV"
        int fps = 0;          // 0: not known
        std::string payload;  // what the file bytes are: "jpeg", "png16", "raw"
        std::optional<Pinhole> intrinsics;
        std::optional<Distortion> distortion;
    };
    struct Inertial {
        double noiseDensity = 0;
        double randomWalk = 0;
        std::array<double, 3> bias{};
    };

    bool usbCamera = false;
    std::string name;  // USB: the V4L2 card name
    std::string serial;
    std::string firmware;
    std::string sdkVersion;
    std::optional<double> depthUnitM;  // metres per depth count
    std::optional<Stream> colour;
    std::optional<Stream> depth;       // aligned to colour: its intrinsics are colour's
    std::optional<Rigid> depthToColour;
    std::optional<Rigid> imuToColour;
    bool imuDelivered = false;         // the IMU streamed; its figures below may still be unknown
    std::optional<Inertial> accelerometer;
    std::optional<Inertial> gyroscope;

    // The camera gave the pinhole model of what is saved.
    bool known() const { return colour && colour->intrinsics.has_value(); }
};
