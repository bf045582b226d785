#pragma once
// Wrapper classes over the depth camera SDK's C calls, in the vendor's style:
// each object owns one SDK handle, releases it in its destructor, and turns a
// failed call into an ob::Error exception. Header-only, so the same capture
// code links against the simulated camera or the vendor's library.

#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "ObSensor.h"

namespace ob {

class Error : public std::exception {
public:
    // Takes the fields out of an SDK error; the caller frees it.
    explicit Error(const ob_error* error)
        : message_(error->message)
        , function_(error->function)
        , args_(error->args)
        , exceptionType_(error->exception_type)
    {
    }

    // Throws when the last call set *error; the SDK error is freed either way.
    static void handle(ob_error** error, bool throwException = true)
    {
        if (!error || !*error)
            return;
        Error copy(*error);
        ob_delete_error(*error);
        *error = nullptr;
        if (throwException)
            throw copy;
    }

    const char* what() const noexcept override { return message_.c_str(); }
    const char* getMessage() const noexcept { return message_.c_str(); }
    const char* getFunction() const noexcept { return function_.c_str(); }
    // Older name of getFunction().
    const char* getName() const noexcept { return function_.c_str(); }
    const char* getArgs() const noexcept { return args_.c_str(); }
    OBExceptionType getExceptionType() const noexcept { return exceptionType_; }

private:
    std::string message_;
    std::string function_;
    std::string args_;
    OBExceptionType exceptionType_;
};

namespace detail {
// Releases a handle in a destructor: failures there cannot be reported.
inline void ignoreError(ob_error* error)
{
    if (error)
        ob_delete_error(error);
}
inline const char* wrongTypeText() { return "unsupported operation, object's type is not require type"; }
} // namespace detail

class StreamProfile;

// ---- frames ----------------------------------------------------------------

class Frame : public std::enable_shared_from_this<Frame> {
public:
    // Takes over one reference to the handle.
    explicit Frame(ob_frame* impl)
        : impl_(impl)
    {
    }
    virtual ~Frame()
    {
        if (impl_) {
            ob_error* error = nullptr;
            ob_delete_frame(impl_, &error);
            detail::ignoreError(error);
        }
    }
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    static bool isTypeOf(OBFrameType) { return true; }

    OBFrameType getType() const { return call(ob_frame_get_type); }
    OBFrameType type() const { return getType(); }
    OBFormat getFormat() const { return call(ob_frame_get_format); }
    OBFormat format() const { return getFormat(); }
    uint64_t getIndex() const { return call(ob_frame_get_index); }
    uint64_t index() const { return getIndex(); }
    uint8_t* getData() const { return call(ob_frame_get_data); }
    uint8_t* data() const { return getData(); }
    uint32_t getDataSize() const { return call(ob_frame_get_data_size); }
    uint32_t dataSize() const { return getDataSize(); }
    // Device clock in microseconds.
    uint64_t getTimeStampUs() const { return call(ob_frame_get_timestamp_us); }
    uint64_t timeStampUs() const { return getTimeStampUs(); }
    uint64_t getSystemTimeStampUs() const { return call(ob_frame_get_system_timestamp_us); }
    uint64_t systemTimeStampUs() const { return getSystemTimeStampUs(); }
    // The stream this frame belongs to, with its calibration; a frame set has none and throws.
    std::shared_ptr<StreamProfile> getStreamProfile() const;

    template <typename T>
    bool is() const
    {
        return T::isTypeOf(getType());
    }

    // A view of this frame as a subclass; a frame of another class throws
    // std::runtime_error, as the vendor's SDK does.
    template <typename T>
    std::shared_ptr<T> as()
    {
        if (!is<T>())
            throw std::runtime_error(detail::wrongTypeText());
        ob_error* error = nullptr;
        ob_frame_add_ref(impl_, &error);
        Error::handle(&error);
        return std::make_shared<T>(impl_);
    }

    const ob_frame* getImpl() const { return impl_; }

protected:
    template <typename R>
    R call(R (*fn)(const ob_frame*, ob_error**)) const
    {
        ob_error* error = nullptr;
        R result = fn(impl_, &error);
        Error::handle(&error);
        return result;
    }

    ob_frame* impl_;
};

class VideoFrame : public Frame {
public:
    using Frame::Frame;
    static bool isTypeOf(OBFrameType t)
    {
        return t == OB_FRAME_VIDEO || t == OB_FRAME_COLOR || t == OB_FRAME_DEPTH || t == OB_FRAME_IR
            || t == OB_FRAME_IR_LEFT || t == OB_FRAME_IR_RIGHT;
    }
    uint32_t getWidth() const { return call(ob_video_frame_get_width); }
    uint32_t width() const { return getWidth(); }
    uint32_t getHeight() const { return call(ob_video_frame_get_height); }
    uint32_t height() const { return getHeight(); }
};

class ColorFrame : public VideoFrame {
public:
    using VideoFrame::VideoFrame;
    static bool isTypeOf(OBFrameType t) { return t == OB_FRAME_COLOR; }
};

class DepthFrame : public VideoFrame {
public:
    using VideoFrame::VideoFrame;
    static bool isTypeOf(OBFrameType t) { return t == OB_FRAME_DEPTH; }
    // Millimetres per depth count.
    float getValueScale() const { return call(ob_depth_frame_get_value_scale); }
};

class AccelFrame : public Frame {
public:
    using Frame::Frame;
    static bool isTypeOf(OBFrameType t) { return t == OB_FRAME_ACCEL; }
    OBAccelValue getValue() const { return call(ob_accel_frame_get_value); }
    OBAccelValue value() const { return getValue(); }
};

class GyroFrame : public Frame {
public:
    using Frame::Frame;
    static bool isTypeOf(OBFrameType t) { return t == OB_FRAME_GYRO; }
    OBGyroValue getValue() const { return call(ob_gyro_frame_get_value); }
    OBGyroValue value() const { return getValue(); }
};

class FrameSet : public Frame {
public:
    using Frame::Frame;
    static bool isTypeOf(OBFrameType t) { return t == OB_FRAME_SET; }

    uint32_t getCount() const { return call(ob_frameset_get_count); }
    uint32_t frameCount() const { return getCount(); }

    // The member frame of that type, or null when the set lacks it.
    std::shared_ptr<Frame> getFrame(OBFrameType frameType) const
    {
        ob_error* error = nullptr;
        ob_frame* frame = ob_frameset_get_frame(impl_, frameType, &error);
        Error::handle(&error);
        if (!frame)
            return nullptr;
        return std::make_shared<Frame>(frame);
    }
    std::shared_ptr<ColorFrame> colorFrame() const { return member<ColorFrame>(OB_FRAME_COLOR); }
    std::shared_ptr<DepthFrame> depthFrame() const { return member<DepthFrame>(OB_FRAME_DEPTH); }
    std::shared_ptr<AccelFrame> accelFrame() const { return member<AccelFrame>(OB_FRAME_ACCEL); }
    std::shared_ptr<GyroFrame> gyroFrame() const { return member<GyroFrame>(OB_FRAME_GYRO); }

private:
    template <typename T>
    std::shared_ptr<T> member(OBFrameType frameType) const
    {
        ob_error* error = nullptr;
        ob_frame* frame = ob_frameset_get_frame(impl_, frameType, &error);
        Error::handle(&error);
        if (!frame)
            return nullptr;
        return std::make_shared<T>(frame);
    }
};

// ---- stream profiles -------------------------------------------------------

class StreamProfile {
public:
    // Takes over the handle.
    explicit StreamProfile(const ob_stream_profile* impl)
        : impl_(impl, &StreamProfile::release)
    {
    }
    // Another view of a handle already owned (see as<T>()).
    explicit StreamProfile(std::shared_ptr<const ob_stream_profile> impl)
        : impl_(std::move(impl))
    {
    }
    virtual ~StreamProfile() = default;
    StreamProfile(const StreamProfile&) = delete;
    StreamProfile& operator=(const StreamProfile&) = delete;

    static bool isTypeOf(OBStreamType) { return true; }

    OBStreamType getType() const { return call(ob_stream_profile_get_type); }
    OBStreamType type() const { return getType(); }
    OBFormat getFormat() const { return call(ob_stream_profile_get_format); }
    OBFormat format() const { return getFormat(); }

    // Rotation and translation (mm) from this stream's frame to the target's.
    OBExtrinsic getExtrinsicTo(std::shared_ptr<StreamProfile> target) const
    {
        ob_error* error = nullptr;
        OBExtrinsic extrinsic = ob_stream_profile_get_extrinsic_to(impl_.get(), target->impl_.get(), &error);
        Error::handle(&error);
        return extrinsic;
    }

    template <typename T>
    bool is() const
    {
        return T::isTypeOf(getType());
    }
    // This profile as a subclass, sharing the handle; another class throws
    // std::runtime_error.
    template <typename T>
    std::shared_ptr<T> as()
    {
        if (!is<T>())
            throw std::runtime_error(detail::wrongTypeText());
        return std::make_shared<T>(impl_);
    }

protected:
    template <typename R>
    R call(R (*fn)(const ob_stream_profile*, ob_error**)) const
    {
        ob_error* error = nullptr;
        R result = fn(impl_.get(), &error);
        Error::handle(&error);
        return result;
    }

    static void release(const ob_stream_profile* profile)
    {
        ob_error* error = nullptr;
        ob_delete_stream_profile(profile, &error);
        detail::ignoreError(error);
    }

    std::shared_ptr<const ob_stream_profile> impl_;
};

class VideoStreamProfile : public StreamProfile {
public:
    using StreamProfile::StreamProfile;
    static bool isTypeOf(OBStreamType t)
    {
        return t == OB_STREAM_VIDEO || t == OB_STREAM_COLOR || t == OB_STREAM_DEPTH || t == OB_STREAM_IR
            || t == OB_STREAM_IR_LEFT || t == OB_STREAM_IR_RIGHT;
    }
    uint32_t getWidth() const { return call(ob_video_stream_profile_get_width); }
    uint32_t width() const { return getWidth(); }
    uint32_t getHeight() const { return call(ob_video_stream_profile_get_height); }
    uint32_t height() const { return getHeight(); }
    uint32_t getFps() const { return call(ob_video_stream_profile_get_fps); }
    uint32_t fps() const { return getFps(); }
    OBCameraIntrinsic getIntrinsic() const { return call(ob_video_stream_profile_get_intrinsic); }
    OBCameraDistortion getDistortion() const { return call(ob_video_stream_profile_get_distortion); }
};

class AccelStreamProfile : public StreamProfile {
public:
    using StreamProfile::StreamProfile;
    static bool isTypeOf(OBStreamType t) { return t == OB_STREAM_ACCEL; }
    OBAccelIntrinsic getIntrinsic() const { return call(ob_accel_stream_profile_get_intrinsic); }
};

class GyroStreamProfile : public StreamProfile {
public:
    using StreamProfile::StreamProfile;
    static bool isTypeOf(OBStreamType t) { return t == OB_STREAM_GYRO; }
    OBGyroIntrinsic getIntrinsic() const { return call(ob_gyro_stream_profile_get_intrinsic); }
};

inline std::shared_ptr<StreamProfile> Frame::getStreamProfile() const
{
    ob_error* error = nullptr;
    ob_stream_profile* profile = ob_frame_get_stream_profile(impl_, &error);
    Error::handle(&error);
    return std::make_shared<StreamProfile>(profile);
}

class StreamProfileList {
public:
    explicit StreamProfileList(ob_stream_profile_list* impl)
        : impl_(impl)
    {
    }
    ~StreamProfileList()
    {
        ob_error* error = nullptr;
        ob_delete_stream_profile_list(impl_, &error);
        detail::ignoreError(error);
    }
    StreamProfileList(const StreamProfileList&) = delete;
    StreamProfileList& operator=(const StreamProfileList&) = delete;

    uint32_t getCount() const
    {
        ob_error* error = nullptr;
        uint32_t count = ob_stream_profile_list_get_count(impl_, &error);
        Error::handle(&error);
        return count;
    }
    uint32_t count() const { return getCount(); }
    std::shared_ptr<StreamProfile> getProfile(uint32_t index) const
    {
        ob_error* error = nullptr;
        ob_stream_profile* profile = ob_stream_profile_list_get_profile(impl_, static_cast<int>(index), &error);
        Error::handle(&error);
        return std::make_shared<StreamProfile>(profile);
    }

private:
    ob_stream_profile_list* impl_;
};

// ---- device and sensors ----------------------------------------------------

class Sensor {
public:
    explicit Sensor(ob_sensor* impl)
        : impl_(impl)
    {
    }
    ~Sensor()
    {
        ob_error* error = nullptr;
        ob_delete_sensor(impl_, &error);
        detail::ignoreError(error);
    }
    Sensor(const Sensor&) = delete;
    Sensor& operator=(const Sensor&) = delete;

    OBSensorType getType() const
    {
        ob_error* error = nullptr;
        OBSensorType type = ob_sensor_get_type(impl_, &error);
        Error::handle(&error);
        return type;
    }
    OBSensorType type() const { return getType(); }

private:
    ob_sensor* impl_;
};

class SensorList {
public:
    explicit SensorList(ob_sensor_list* impl)
        : impl_(impl)
    {
    }
    ~SensorList()
    {
        ob_error* error = nullptr;
        ob_delete_sensor_list(impl_, &error);
        detail::ignoreError(error);
    }
    SensorList(const SensorList&) = delete;
    SensorList& operator=(const SensorList&) = delete;

    uint32_t getCount() const
    {
        ob_error* error = nullptr;
        uint32_t count = ob_sensor_list_get_count(impl_, &error);
        Error::handle(&error);
        return count;
    }
    uint32_t count() const { return getCount(); }
    OBSensorType getSensorType(uint32_t index) const
    {
        ob_error* error = nullptr;
        OBSensorType type = ob_sensor_list_get_sensor_type(impl_, index, &error);
        Error::handle(&error);
        return type;
    }
    OBSensorType type(uint32_t index) const { return getSensorType(index); }
    std::shared_ptr<Sensor> getSensor(uint32_t index) const
    {
        ob_error* error = nullptr;
        ob_sensor* sensor = ob_sensor_list_get_sensor(impl_, index, &error);
        Error::handle(&error);
        return std::make_shared<Sensor>(sensor);
    }

private:
    ob_sensor_list* impl_;
};

class DeviceInfo {
public:
    explicit DeviceInfo(ob_device_info* impl)
        : impl_(impl)
    {
    }
    ~DeviceInfo()
    {
        ob_error* error = nullptr;
        ob_delete_device_info(impl_, &error);
        detail::ignoreError(error);
    }
    DeviceInfo(const DeviceInfo&) = delete;
    DeviceInfo& operator=(const DeviceInfo&) = delete;

    const char* getName() const { return call(ob_device_info_get_name); }
    const char* name() const { return getName(); }
    const char* getSerialNumber() const { return call(ob_device_info_get_serial_number); }
    const char* serialNumber() const { return getSerialNumber(); }
    const char* getFirmwareVersion() const { return call(ob_device_info_get_firmware_version); }
    const char* firmwareVersion() const { return getFirmwareVersion(); }

private:
    const char* call(const char* (*fn)(const ob_device_info*, ob_error**)) const
    {
        ob_error* error = nullptr;
        const char* text = fn(impl_, &error);
        Error::handle(&error);
        return text;
    }

    ob_device_info* impl_;
};

class Device {
public:
    explicit Device(ob_device* impl)
        : impl_(impl)
    {
    }
    ~Device()
    {
        ob_error* error = nullptr;
        ob_delete_device(impl_, &error);
        detail::ignoreError(error);
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    std::shared_ptr<SensorList> getSensorList() const
    {
        ob_error* error = nullptr;
        ob_sensor_list* list = ob_device_get_sensor_list(impl_, &error);
        Error::handle(&error);
        return std::make_shared<SensorList>(list);
    }

    // Name, serial number and firmware version.
    std::shared_ptr<DeviceInfo> getDeviceInfo() const
    {
        ob_error* error = nullptr;
        ob_device_info* info = ob_device_get_device_info(impl_, &error);
        Error::handle(&error);
        return std::make_shared<DeviceInfo>(info);
    }

    const ob_device* getImpl() const { return impl_; }

private:
    ob_device* impl_;
};

// ---- config and pipeline ---------------------------------------------------

class Config {
public:
    Config()
    {
        ob_error* error = nullptr;
        impl_ = ob_create_config(&error);
        Error::handle(&error);
    }
    ~Config()
    {
        ob_error* error = nullptr;
        ob_delete_config(impl_, &error);
        detail::ignoreError(error);
    }
    Config(const Config&) = delete;
    Config& operator=(const Config&) = delete;

    void enableVideoStream(OBStreamType streamType, uint32_t width, uint32_t height, uint32_t fps, OBFormat format)
    {
        ob_error* error = nullptr;
        ob_config_enable_video_stream(impl_, streamType, width, height, fps, format, &error);
        Error::handle(&error);
    }
    void enableAccelStream(OBAccelFullScaleRange fullScaleRange = OB_ACCEL_FS_ANY,
        OBAccelSampleRate sampleRate = OB_SAMPLE_RATE_200_HZ)
    {
        ob_error* error = nullptr;
        ob_config_enable_accel_stream(impl_, fullScaleRange, sampleRate, &error);
        Error::handle(&error);
    }
    void enableGyroStream(OBGyroFullScaleRange fullScaleRange = OB_GYRO_FS_ANY,
        OBGyroSampleRate sampleRate = OB_SAMPLE_RATE_200_HZ)
    {
        ob_error* error = nullptr;
        ob_config_enable_gyro_stream(impl_, fullScaleRange, sampleRate, &error);
        Error::handle(&error);
    }
    void setFrameAggregateOutputMode(OBFrameAggregateOutputMode mode)
    {
        ob_error* error = nullptr;
        ob_config_set_frame_aggregate_output_mode(impl_, mode, &error);
        Error::handle(&error);
    }
    std::shared_ptr<StreamProfileList> getEnabledStreamProfileList() const
    {
        ob_error* error = nullptr;
        ob_stream_profile_list* list = ob_config_get_enabled_stream_profile_list(impl_, &error);
        Error::handle(&error);
        return std::make_shared<StreamProfileList>(list);
    }

    const ob_config* getImpl() const { return impl_; }

private:
    ob_config* impl_ = nullptr;
};

using FrameSetCallback = std::function<void(std::shared_ptr<FrameSet> frameSet)>;

class Pipeline {
public:
    // Opens the first camera found; throws ob::Error when there is none.
    Pipeline()
    {
        ob_error* error = nullptr;
        impl_ = ob_create_pipeline(&error);
        Error::handle(&error);
    }
    // A second pipeline on an open device (the IMU runs in one of its own).
    explicit Pipeline(std::shared_ptr<Device> device)
        : device_(std::move(device))
    {
        ob_error* error = nullptr;
        impl_ = ob_create_pipeline_with_device(device_->getImpl(), &error);
        Error::handle(&error);
    }
    // Stops the streams and joins the SDK's threads before the callback goes.
    ~Pipeline()
    {
        ob_error* error = nullptr;
        ob_delete_pipeline(impl_, &error);
        detail::ignoreError(error);
    }
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    void start(std::shared_ptr<Config> config)
    {
        ob_error* error = nullptr;
        ob_pipeline_start_with_config(impl_, config->getImpl(), &error);
        Error::handle(&error);
    }
    // Frame sets reach the callback on an SDK thread.
    void start(std::shared_ptr<Config> config, FrameSetCallback callback)
    {
        // The SDK's thread may be inside the old callback: stop it before replacing it.
        ob_error* error = nullptr;
        ob_pipeline_stop(impl_, &error);
        detail::ignoreError(error);
        error = nullptr;
        callback_ = std::move(callback);
        ob_pipeline_start_with_callback(impl_, config->getImpl(), &Pipeline::trampoline, this, &error);
        Error::handle(&error);
    }
    void stop()
    {
        ob_error* error = nullptr;
        ob_pipeline_stop(impl_, &error);
        Error::handle(&error);
    }
    // Null when no frame set arrives within timeoutMs.
    std::shared_ptr<FrameSet> waitForFrameset(uint32_t timeoutMs = 1000)
    {
        ob_error* error = nullptr;
        ob_frame* frameSet = ob_pipeline_wait_for_frameset(impl_, timeoutMs, &error);
        Error::handle(&error);
        if (!frameSet)
            return nullptr;
        return std::make_shared<FrameSet>(frameSet);
    }
    std::shared_ptr<FrameSet> waitForFrames(uint32_t timeoutMs = 1000) { return waitForFrameset(timeoutMs); }
    std::shared_ptr<Device> getDevice()
    {
        ob_error* error = nullptr;
        ob_device* device = ob_pipeline_get_device(impl_, &error);
        Error::handle(&error);
        return std::make_shared<Device>(device);
    }

private:
    static void trampoline(ob_frame* frameSet, void* userData)
    {
        auto* self = static_cast<Pipeline*>(userData);
        auto wrapped = std::make_shared<FrameSet>(frameSet);
        if (self->callback_)
            self->callback_(wrapped);
    }

    std::shared_ptr<Device> device_;
    FrameSetCallback callback_;
    ob_pipeline* impl_ = nullptr;
};

// ---- filters ---------------------------------------------------------------

using FilterCallback = std::function<void(std::shared_ptr<Frame> frame)>;

class Filter {
public:
    explicit Filter(const std::string& name)
    {
        ob_error* error = nullptr;
        impl_ = ob_create_filter(name.c_str(), &error);
        Error::handle(&error);
    }
    // Joins the filter's thread before the callback goes.
    virtual ~Filter()
    {
        ob_error* error = nullptr;
        ob_delete_filter(impl_, &error);
        detail::ignoreError(error);
    }
    Filter(const Filter&) = delete;
    Filter& operator=(const Filter&) = delete;

    std::string getName() const
    {
        ob_error* error = nullptr;
        const char* name = ob_filter_get_name(impl_, &error);
        Error::handle(&error);
        return name ? name : "";
    }
    void setConfigValue(const std::string& name, double value)
    {
        ob_error* error = nullptr;
        ob_filter_set_config_value(impl_, name.c_str(), value, &error);
        Error::handle(&error);
    }
    double getConfigValue(const std::string& name) const
    {
        ob_error* error = nullptr;
        double value = ob_filter_get_config_value(impl_, name.c_str(), &error);
        Error::handle(&error);
        return value;
    }
    // Synchronous processing on the caller's thread.
    std::shared_ptr<Frame> process(std::shared_ptr<Frame> frame)
    {
        ob_error* error = nullptr;
        ob_frame* result = ob_filter_process(impl_, frame->getImpl(), &error);
        Error::handle(&error);
        if (!result)
            return nullptr;
        return std::make_shared<Frame>(result);
    }
    // Results of pushFrame reach the callback on the filter's own thread.
    // Set it once, before the first pushFrame.
    void setCallBack(FilterCallback callback)
    {
        callback_ = std::move(callback);
        ob_error* error = nullptr;
        ob_filter_set_callback(impl_, &Filter::trampoline, this, &error);
        Error::handle(&error);
    }
    void pushFrame(std::shared_ptr<Frame> frame)
    {
        ob_error* error = nullptr;
        ob_filter_push_frame(impl_, frame->getImpl(), &error);
        Error::handle(&error);
    }

protected:
    static void trampoline(ob_frame* frame, void* userData)
    {
        auto* self = static_cast<Filter*>(userData);
        auto wrapped = std::make_shared<Frame>(frame);
        if (self->callback_)
            self->callback_(wrapped);
    }

    FilterCallback callback_;
    ob_filter* impl_ = nullptr;
};

// Depth-to-colour alignment: the "Align" filter with "AlignType" set to the
// stream aligned to (OB_STREAM_COLOR = 2).
class Align : public Filter {
public:
    explicit Align(OBStreamType alignToStream)
        : Filter("Align")
    {
        setConfigValue("AlignType", static_cast<double>(alignToStream));
    }
};

} // namespace ob
