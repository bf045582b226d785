#pragma once
// ROS 2 messages as a bag stores them: the schema text of each type with its
// dependent types, and the messages serialized as CDR (XCDR1, little-endian).

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace mcap_export {

struct RosSchema {
    const char* name;        // e.g. "sensor_msgs/msg/Image"
    const char* definition;  // ros2msg text, dependent types after "MSG:" lines
};
extern const RosSchema kCompressedImageSchema;
extern const RosSchema kImageSchema;
extern const RosSchema kCameraInfoSchema;
extern const RosSchema kImuSchema;
extern const RosSchema kTfMessageSchema;

// Serializes into a buffer that starts with the encapsulation header; every
// primitive is aligned to its size, counted from after that header.
class CdrWriter {
public:
    CdrWriter();
    void u8(uint8_t v) { data_.push_back(v); }
    void u32(uint32_t v) { put(&v, 4); }
    void i32(int32_t v) { put(&v, 4); }
    void f64(double v) { put(&v, 8); }
    void string(const std::string& s);
    void bytes(const uint8_t* data, size_t size);  // a uint8[] sequence
    void f64s(const double* values, size_t count, bool sequence);
    std::vector<uint8_t> take() { return std::move(data_); }

private:
    void put(const void* value, size_t size);
    std::vector<uint8_t> data_;
};

struct Stamp {
    int32_t sec = 0;
    uint32_t nanosec = 0;
};
Stamp stampOf(uint64_t nanoseconds);

std::vector<uint8_t> compressedImage(Stamp stamp, const std::string& frameId, const std::string& format,
    const uint8_t* data, size_t size);
// Rows of `step` bytes, little-endian values.
std::vector<uint8_t> image(Stamp stamp, const std::string& frameId, uint32_t width, uint32_t height,
    const std::string& encoding, uint32_t step, const uint8_t* data, size_t size);
std::vector<uint8_t> imu(Stamp stamp, const std::string& frameId, const std::array<double, 3>& angularVelocity,
    const std::array<double, 3>& linearAcceleration);

struct CameraModel {
    uint32_t width = 0, height = 0;
    std::string distortionModel;  // "plumb_bob", "rational_polynomial"
    std::vector<double> d;
    std::array<double, 9> k{}, r{};
    std::array<double, 12> p{};
};
std::vector<uint8_t> cameraInfo(Stamp stamp, const std::string& frameId, const CameraModel& model);

struct Transform {
    std::string parent, child;
    std::array<double, 3> translation{};      // metres
    std::array<double, 4> rotation{0, 0, 0, 1};  // quaternion x, y, z, w
};
std::vector<uint8_t> tfMessage(Stamp stamp, const std::vector<Transform>& transforms);

} // namespace mcap_export
