#include "RosMessages.h"

#include <cstring>

namespace mcap_export {

namespace {

#define KAVREL_SEPARATOR "================================================================================\n"
#define KAVREL_HEADER_DEFS                                                                              \
    KAVREL_SEPARATOR "MSG: std_msgs/Header\nbuiltin_interfaces/Time stamp\nstring frame_id\n"            \
    KAVREL_SEPARATOR "MSG: builtin_interfaces/Time\nint32 sec\nuint32 nanosec\n"
#define KAVREL_VECTOR3_DEF KAVREL_SEPARATOR "MSG: geometry_msgs/Vector3\nfloat64 x\nfloat64 y\nfloat64 z\n"
#define KAVREL_QUATERNION_DEF \
    KAVREL_SEPARATOR "MSG: geometry_msgs/Quaternion\nfloat64 x 0\nfloat64 y 0\nfloat64 z 0\nfloat64 w 1\n"

} // namespace

const RosSchema kCompressedImageSchema{"sensor_msgs/msg/CompressedImage",
    "std_msgs/Header header\nstring format\nuint8[] data\n" KAVREL_HEADER_DEFS};
const RosSchema kImageSchema{"sensor_msgs/msg/Image",
    "std_msgs/Header header\nuint32 height\nuint32 width\nstring encoding\nuint8 is_bigendian\nuint32 step\n"
    "uint8[] data\n" KAVREL_HEADER_DEFS};
const RosSchema kCameraInfoSchema{"sensor_msgs/msg/CameraInfo",
    "std_msgs/Header header\nuint32 height\nuint32 width\nstring distortion_model\nfloat64[] d\nfloat64[9] k\n"
    "float64[9] r\nfloat64[12] p\nuint32 binning_x\nuint32 binning_y\nRegionOfInterest roi\n" KAVREL_HEADER_DEFS
    KAVREL_SEPARATOR "MSG: sensor_msgs/RegionOfInterest\nuint32 x_offset\nuint32 y_offset\nuint32 height\n"
    "uint32 width\nbool do_rectify\n"};
const RosSchema kImuSchema{"sensor_msgs/msg/Imu",
    "std_msgs/Header header\ngeometry_msgs/Quaternion orientation\nfloat64[9] orientation_covariance\n"
    "geometry_msgs/Vector3 angular_velocity\nfloat64[9] angular_velocity_covariance\n"
    "geometry_msgs/Vector3 linear_acceleration\nfloat64[9] linear_acceleration_covariance\n" KAVREL_HEADER_DEFS
    KAVREL_QUATERNION_DEF KAVREL_VECTOR3_DEF};
const RosSchema kTfMessageSchema{"tf2_msgs/msg/TFMessage",
    "geometry_msgs/TransformStamped[] transforms\n" KAVREL_SEPARATOR
    "MSG: geometry_msgs/TransformStamped\nstd_msgs/Header header\nstring child_frame_id\nTransform transform\n"
    KAVREL_HEADER_DEFS KAVREL_SEPARATOR "MSG: geometry_msgs/Transform\nVector3 translation\nQuaternion rotation\n"
    KAVREL_VECTOR3_DEF KAVREL_QUATERNION_DEF};

CdrWriter::CdrWriter()
{
    data_.reserve(256);
    // Encapsulation: CDR, little-endian; two option bytes.
    data_ = {0x00, 0x01, 0x00, 0x00};
}

void CdrWriter::put(const void* value, size_t size)
{
    // Alignment counts from the end of the 4-byte encapsulation header.
    while ((data_.size() - 4) % size != 0)
        data_.push_back(0);
    const auto* p = static_cast<const uint8_t*>(value);
    data_.insert(data_.end(), p, p + size);  // the host is little-endian (x86-64, arm64)
}

void CdrWriter::string(const std::string& s)
{
    u32(static_cast<uint32_t>(s.size() + 1));  // the length counts the terminating zero
    data_.insert(data_.end(), s.begin(), s.end());
    data_.push_back(0);
}

void CdrWriter::bytes(const uint8_t* data, size_t size)
{
    u32(static_cast<uint32_t>(size));
    data_.insert(data_.end(), data, data + size);
}

void CdrWriter::f64s(const double* values, size_t count, bool sequence)
{
    if (sequence)
        u32(static_cast<uint32_t>(count));
    for (size_t i = 0; i < count; ++i)
        f64(values[i]);
}

Stamp stampOf(uint64_t nanoseconds)
{
    return {static_cast<int32_t>(nanoseconds / 1000000000ULL), static_cast<uint32_t>(nanoseconds % 1000000000ULL)};
}

namespace {

void header(CdrWriter& cdr, Stamp stamp, const std::string& frameId)
{
    cdr.i32(stamp.sec);
    cdr.u32(stamp.nanosec);
    cdr.string(frameId);
}

} // namespace

std::vector<uint8_t> compressedImage(Stamp stamp, const std::string& frameId, const std::string& format,
    const uint8_t* data, size_t size)
{
    CdrWriter cdr;
    header(cdr, stamp, frameId);
    cdr.string(format);
    cdr.bytes(data, size);
    return cdr.take();
}

std::vector<uint8_t> image(Stamp stamp, const std::string& frameId, uint32_t width, uint32_t height,
    const std::string& encoding, uint32_t step, const uint8_t* data, size_t size)
{
    CdrWriter cdr;
    header(cdr, stamp, frameId);
    cdr.u32(height);
    cdr.u32(width);
    cdr.string(encoding);
    cdr.u8(0);  // is_bigendian
    cdr.u32(step);
    cdr.bytes(data, size);
    return cdr.take();
}

std::vector<uint8_t> imu(Stamp stamp, const std::string& frameId, const std::array<double, 3>& angularVelocity,
    const std::array<double, 3>& linearAcceleration)
{
    // No orientation estimate: its covariance starts with -1, as the message asks.
    const double unknownOrientation[9] = {-1, 0, 0, 0, 0, 0, 0, 0, 0};
    const double unknownCovariance[9] = {};
    const double identity[4] = {0, 0, 0, 1};
    CdrWriter cdr;
    header(cdr, stamp, frameId);
    cdr.f64s(identity, 4, false);
    cdr.f64s(unknownOrientation, 9, false);
    cdr.f64s(angularVelocity.data(), 3, false);
    cdr.f64s(unknownCovariance, 9, false);
    cdr.f64s(linearAcceleration.data(), 3, false);
    cdr.f64s(unknownCovariance, 9, false);
    return cdr.take();
}

std::vector<uint8_t> cameraInfo(Stamp stamp, const std::string& frameId, const CameraModel& model)
{
    CdrWriter cdr;
    header(cdr, stamp, frameId);
    cdr.u32(model.height);
    cdr.u32(model.width);
    cdr.string(model.distortionModel);
    cdr.f64s(model.d.data(), model.d.size(), true);
    cdr.f64s(model.k.data(), 9, false);
    cdr.f64s(model.r.data(), 9, false);
    cdr.f64s(model.p.data(), 12, false);
    cdr.u32(1);  // binning_x: none
    cdr.u32(1);  // binning_y
    for (int i = 0; i < 4; ++i)  // roi: the full image
        cdr.u32(0);
    cdr.u8(0);
    return cdr.take();
}

std::vector<uint8_t> tfMessage(Stamp stamp, const std::vector<Transform>& transforms)
{
    CdrWriter cdr;
    cdr.u32(static_cast<uint32_t>(transforms.size()));
    for (const Transform& t : transforms) {
        header(cdr, stamp, t.parent);
        cdr.string(t.child);
        cdr.f64s(t.translation.data(), 3, false);
        cdr.f64s(t.rotation.data(), 4, false);
    }
    return cdr.take();
}

} // namespace mcap_export
