#pragma once
// The simulated device's factory calibration: the lenses, where each sensor
// sits, the IMU's noise. The scene is rendered through these same numbers, so
// what the SDK reports is what the images show.

#include <cstdint>

#include "libobsensor/ObSensor.h"

namespace obsim {

// Distortion-free pinhole (the images are rendered rectified).
struct Pinhole {
    double fx = 0;
    double fy = 0;
    double cx = 0;
    double cy = 0;
    int width = 0;
    int height = 0;
};

// The lens of a sensor (OB_STREAM_COLOR or OB_STREAM_DEPTH) at a stream size.
Pinhole pinholeOf(ob_stream_type optics, uint32_t width, uint32_t height);
OBCameraIntrinsic intrinsicOf(ob_stream_type optics, uint32_t width, uint32_t height);

// Where a sensor (colour, depth, or OB_STREAM_ACCEL for the IMU) sits in the
// colour camera's frame: p_colour = rot * p_sensor + trans (mm).
OBExtrinsic poseInColour(ob_stream_type optics);
// From one sensor's frame to another's.
OBExtrinsic extrinsicBetween(ob_stream_type from, ob_stream_type to);

// Noise figures; the simulated readings follow them (bias included).
OBAccelIntrinsic accelIntrinsic();
OBGyroIntrinsic gyroIntrinsic();
// Standard deviation of one sample at a rate, from the noise density.
double sampleNoise(double noiseDensity, double rateHz);

struct DeviceIdentity {
    const char* name;
    const char* serialNumber;
    const char* firmwareVersion;
};
const DeviceIdentity& deviceIdentity();

} // namespace obsim
