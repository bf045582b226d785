// The simulated depth camera behind the SDK's C calls: a colour + depth
// stream paced in real time, an IMU at its sample rate, and the "Align"
// filter, each producing on a thread of its own as the vendor's SDK does.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "Log.h"
#include "SimCalibration.h"
#include "SimCore.h"
#include "SimScene.h"
#include "libobsensor/ObSensor.h"

using namespace obsim;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kPolledVideoSets = 4;  // frame sets kept for wait_for_frameset
constexpr size_t kPolledImuSets = 200;  // IMU frame sets kept when nobody registered a callback
constexpr size_t kFilterBacklog = 4;    // frame sets waiting for the align filter's thread

std::string pointerText(const char* name, const void* p)
{
    char text[96];
    std::snprintf(text, sizeof text, "%s = %p", name, p);
    return text;
}

// Reports a null handle the way the SDK reports a bad argument.
template <typename T>
bool checkHandle(const T* handle, const char* name, const char* function, ob_error** error)
{
    if (handle)
        return true;
    setError(error, OB_EXCEPTION_TYPE_INVALID_VALUE, function, pointerText(name, handle),
        std::string("invalid handle: ") + name + " is null");
    return false;
}

struct VideoRequest {
    ob_stream_type stream = OB_STREAM_COLOR;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t fps = 0;
    ob_format format = OB_FORMAT_UNKNOWN;
};

struct ImuRequest {
    bool accel = false;
    bool gyro = false;
    int accelRate = OB_SAMPLE_RATE_200_HZ;
    int gyroRate = OB_SAMPLE_RATE_200_HZ;
};

double sampleRateHz(int code)
{
    static const double rates[] = {0, 1.5625, 3.125, 6.25, 12.5, 25, 50, 100, 200, 500, 1000, 2000, 4000, 8000,
        16000, 32000};
    if (code < 1 || code > 15)
        return 200;
    return rates[code];
}

bool isVideoStream(ob_stream_type t)
{
    return t == OB_STREAM_COLOR || t == OB_STREAM_DEPTH || t == OB_STREAM_IR || t == OB_STREAM_IR_LEFT
        || t == OB_STREAM_IR_RIGHT;
}

bool colourFormatSupported(int format)
{
    switch (format) {
    case OB_FORMAT_MJPG:
    case OB_FORMAT_RGB:
    case OB_FORMAT_BGR:
    case OB_FORMAT_BGRA:
    case OB_FORMAT_RGBA:
    case OB_FORMAT_Y8:
    case OB_FORMAT_GRAY:
    case OB_FORMAT_YUYV:
    case OB_FORMAT_YUY2:
    case OB_FORMAT_UYVY:
    case OB_FORMAT_I420:
    case OB_FORMAT_NV12:
    case OB_FORMAT_NV21:
        return true;
    default:
        return false;
    }
}

struct SimDevice {
    bool hasImu = true;
    std::atomic<bool> disconnected{false};
};

std::string localClockText(uint64_t systemUs)
{
    const time_t seconds = static_cast<time_t>(systemUs / 1000000);
    tm local{};
    localtime_r(&seconds, &local);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900, local.tm_mon + 1,
        local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(systemUs / 1000 % 1000));
    return text;
}

// Runs a user callback on an SDK thread; nothing it throws may end that thread.
template <typename Fn>
void guardedCallback(const char* where, Fn&& fn)
{
    try {
        fn();
    } catch (const std::exception& e) {
        LOGE << "Simulated camera: exception escaped the " << where << " callback: " << e.what();
    } catch (...) {
        LOGE << "Simulated camera: unknown exception escaped the " << where << " callback";
    }
}

// Counts the thread for the leak check from its first to its last instruction.
class ThreadCount {
public:
    ThreadCount() { ++g_liveThreads; }
    ~ThreadCount() { --g_liveThreads; }
};

// Sleeps until `until` unless `stop` turns true first; returns false on stop.
bool sleepUntil(std::mutex& mutex, std::condition_variable& cv, const bool& stop, Clock::time_point until)
{
    std::unique_lock<std::mutex> lock(mutex);
    return !cv.wait_until(lock, until, [&] { return stop; });
}

} // namespace

// ---- handles ------------------------------------------------------------------

struct ob_config_t : Counted {
    std::vector<VideoRequest> video;
    ImuRequest imu;
    ob_frame_aggregate_output_mode aggregateMode = OB_FRAME_AGGREGATE_OUTPUT_ALL_TYPE_FRAME_REQUIRE;
};

struct ob_stream_profile_t : Counted, StreamInfo {
    ob_stream_profile_t() = default;
    explicit ob_stream_profile_t(const StreamInfo& info)
        : StreamInfo(info)
    {
    }
};

struct ob_stream_profile_list_t : Counted {
    std::vector<ob_stream_profile_t> profiles;
};

struct ob_device_t : Counted {
    std::shared_ptr<SimDevice> device;
};

struct ob_device_info_t : Counted {};

struct ob_sensor_list_t : Counted {
    std::vector<ob_sensor_type> types;
};

struct ob_sensor_t : Counted {
    ob_sensor_type type = OB_SENSOR_UNKNOWN;
};

namespace {

// State a pipeline shares with its threads; the threads keep it alive, so a
// handle deleted from inside its own callback cannot pull it from under them.
struct PipelineState {
    std::shared_ptr<SimDevice> device;
    std::mutex mutex;
    std::condition_variable cv;
    bool started = false;          // guarded by mutex
    bool stop = false;             // guarded by mutex
    std::deque<const ob_frame*> ready; // guarded by mutex; owned references
    size_t readyCapacity = kPolledVideoSets;
    ob_frameset_callback callback = nullptr;
    void* userData = nullptr;
    std::vector<std::thread> workers;

    ~PipelineState()
    {
        for (const ob_frame* f : ready)
            release(f);
    }

    // Hands a finished frame set (one reference) to the callback or the poll queue.
    void deliver(ob_frame* set)
    {
        if (callback) {
            guardedCallback("frame set", [&] { callback(set, userData); });
            return;
        }
        const ob_frame* dropped = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex);
            ready.push_back(set);
            if (ready.size() > readyCapacity) {
                dropped = ready.front();
                ready.pop_front();
            }
        }
        cv.notify_all();
        if (dropped) {
            ++g_droppedFrameSets;
            release(dropped);
        }
    }
};

// Stops a pipeline's or filter's threads; a thread that stops itself (from a
// callback) is detached and ends as soon as its callback returns.
void joinWorkers(std::vector<std::thread>& workers)
{
    for (auto& worker : workers) {
        if (!worker.joinable())
            continue;
        if (worker.get_id() == std::this_thread::get_id())
            worker.detach();
        else
            worker.join();
    }
    workers.clear();
}

ob_frame* makeSet(uint64_t index, uint64_t deviceUs, uint64_t systemUs)
{
    auto* set = new ob_frame_t;
    set->type = OB_FRAME_SET;
    set->format = OB_FORMAT_UNKNOWN;
    set->index = index;
    set->timestampUs = deviceUs;
    set->systemTimestampUs = systemUs;
    return set;
}

cv::Vec3d positionMm(ob_stream_type optics)
{
    const OBExtrinsic pose = poseInColour(optics);
    return {pose.trans[0], pose.trans[1], pose.trans[2]};
}

void videoLoop(std::shared_ptr<PipelineState> state, std::vector<VideoRequest> streams, uint64_t disconnectAfter,
    StreamSettings settings)
{
    ThreadCount counted;
    setThreadName("obsim-video");
    SceneRenderer scene(settings.scene);

    uint32_t maxFps = 1;
    for (const auto& s : streams)
        maxFps = std::max(maxFps, s.fps);
    const auto tickPeriod = std::chrono::microseconds(1000000 / maxFps);
    std::vector<int64_t> lastIndex(streams.size(), -1);
    const auto start = Clock::now();
    const uint64_t startDeviceUs = deviceNowUs();
    uint64_t tick = 1; // the first frame is exposed one period after the start
    uint64_t produced = 0;

    for (;;) {
        const auto due = start + tick * tickPeriod;
        if (!sleepUntil(state->mutex, state->cv, state->stop, due))
            break;
        // A frame whose time has long passed was never exposed: skip to the present,
        // as a sensor does when its reader falls behind.
        const auto late = Clock::now() - due;
        if (late > tickPeriod) {
            const auto missed = static_cast<uint64_t>(late / tickPeriod);
            g_skippedFrames += missed;
            tick += missed;
            continue;
        }
        const auto sinceStart = std::chrono::duration_cast<std::chrono::microseconds>(due - start).count();
        const double t = sinceStart / 1e6;
        const uint64_t deviceUs = startDeviceUs + sinceStart;
        const uint64_t systemUs = systemNowUs();

        ob_frame* set = makeSet(tick, deviceUs, systemUs);
        for (size_t i = 0; i < streams.size(); ++i) {
            const VideoRequest& s = streams[i];
            // Each stream exposes at its own rate; its index counts its own periods.
            const int64_t index = static_cast<int64_t>(sinceStart * int64_t(s.fps) / 1000000);
            if (index == lastIndex[i])
                continue;
            lastIndex[i] = index;
            auto* frame = new ob_frame_t;
            frame->index = static_cast<uint64_t>(index);
            frame->timestampUs = startDeviceUs + static_cast<uint64_t>(index) * 1000000 / s.fps;
            frame->systemTimestampUs = systemUs;
            frame->width = s.width;
            frame->height = s.height;
            frame->format = s.stream == OB_STREAM_COLOR || s.stream == OB_STREAM_DEPTH ? s.format : OB_FORMAT_Y8;
            frame->profile = streamInfo(s.stream, frame->format, s.width, s.height, s.fps);
            const Pinhole lens = pinholeOf(frame->profile.optics, s.width, s.height);
            const cv::Vec3d origin = positionMm(frame->profile.optics);
            if (s.stream == OB_STREAM_DEPTH) {
                frame->type = OB_FRAME_DEPTH;
                frame->valueScale = settings.depthValueScale;
                cv::Mat depth;
                scene.renderDepth(lens, origin, t, settings.depthValueScale, depth);
                frame->data.assign(depth.datastart, depth.dataend);
            } else {
                frame->type = s.stream == OB_STREAM_COLOR ? OB_FRAME_COLOR : OB_FRAME_IR;
                cv::Mat bgr;
                scene.renderColor(lens, origin, t, frame->index, localClockText(systemUs), bgr);
                packColor(bgr, frame->format, frame->data);
            }
            set->members.push_back(frame);
        }
        ++tick;
        if (set->members.empty()) {
            release(set);
            continue;
        }
        state->deliver(set);
        if (disconnectAfter && ++produced >= disconnectAfter) {
            LOGW << "Simulated camera: disconnected after " << produced << " frame sets";
            {
                // Under the lock, so a waiter cannot miss the news between its check and its sleep.
                std::lock_guard<std::mutex> lock(state->mutex);
                state->device->disconnected = true;
            }
            state->cv.notify_all();
            break;
        }
    }
}

void imuLoop(std::shared_ptr<PipelineState> state, ImuRequest request)
{
    ThreadCount counted;
    setThreadName("obsim-imu");
    const double hz = sampleRateHz(request.accel ? request.accelRate : request.gyroRate);
    const auto period = std::chrono::microseconds(static_cast<int64_t>(1e6 / hz));
    const auto start = Clock::now();
    const uint64_t startDeviceUs = deviceNowUs();
    std::minstd_rand noiseSource(42);
    const OBAccelIntrinsic accelCalibration = accelIntrinsic();
    const OBGyroIntrinsic gyroCalibration = gyroIntrinsic();
    std::normal_distribution<double> accelNoise(0.0, sampleNoise(accelCalibration.noiseDensity, hz));
    std::normal_distribution<double> gyroNoise(0.0, sampleNoise(gyroCalibration.noiseDensity, hz));
    // Motion is made in the colour camera's frame and read in the IMU's axes.
    const OBExtrinsic toImu = extrinsicBetween(OB_STREAM_COLOR, OB_STREAM_ACCEL);
    auto reading = [&](const cv::Vec3d& inCamera, const double bias[3], std::normal_distribution<double>& noise) {
        OBFloat3D out{};
        float* axes[3] = {&out.x, &out.y, &out.z};
        for (int i = 0; i < 3; ++i) {
            double sum = bias[i] + noise(noiseSource);
            for (int k = 0; k < 3; ++k)
                sum += toImu.rot[i * 3 + k] * inCamera[k];
            *axes[i] = static_cast<float>(sum);
        }
        return out;
    };

    for (uint64_t tick = 1;; ++tick) {
        const auto due = start + tick * period;
        if (!sleepUntil(state->mutex, state->cv, state->stop, due))
            break;
        if (state->device->disconnected)
            break;
        // Stalls of up to a second are caught up sample by sample (the device
        // buffers them); after a longer one the missed samples are gone.
        const auto late = Clock::now() - due;
        if (late > std::chrono::seconds(1)) {
            const auto missed = static_cast<uint64_t>(late / period);
            g_skippedFrames += missed;
            tick += missed;
            continue;
        }
        const uint64_t sinceStart = std::chrono::duration_cast<std::chrono::microseconds>(due - start).count();
        const uint64_t deviceUs = startDeviceUs + sinceStart;
        const double t = sinceStart / 1e6;
        ob_frame* set = makeSet(tick, deviceUs, systemNowUs());
        if (request.accel) {
            auto* accel = new ob_frame_t;
            accel->type = OB_FRAME_ACCEL;
            accel->format = OB_FORMAT_ACCEL;
            accel->index = tick;
            accel->timestampUs = deviceUs;
            accel->profile = streamInfo(OB_STREAM_ACCEL, OB_FORMAT_ACCEL, 0, 0, 0);
            accel->systemTimestampUs = set->systemTimestampUs;
            // The camera stands level (y down): the accelerometer feels the floor
            // push up at 9.80665 m/s^2, with a faint tremor.
            accel->value = reading(
                {0.03 * std::sin(0.7 * t), -9.80665 + 0.02 * std::sin(2.1 * t), 0.03 * std::cos(0.5 * t)},
                accelCalibration.bias, accelNoise);
            accel->data.resize(sizeof accel->value);
            std::memcpy(accel->data.data(), &accel->value, sizeof accel->value);
            set->members.push_back(accel);
        }
        if (request.gyro) {
            auto* gyro = new ob_frame_t;
            gyro->type = OB_FRAME_GYRO;
            gyro->format = OB_FORMAT_GYRO;
            gyro->index = tick;
            gyro->timestampUs = deviceUs;
            gyro->profile = streamInfo(OB_STREAM_GYRO, OB_FORMAT_GYRO, 0, 0, 0);
            gyro->systemTimestampUs = set->systemTimestampUs;
            // Angular rate in rad/s of the tremor.
            gyro->value = reading({0.003 * std::cos(0.7 * t), 0.001 * std::sin(0.3 * t), -0.002 * std::sin(0.5 * t)},
                gyroCalibration.bias, gyroNoise);
            gyro->data.resize(sizeof gyro->value);
            std::memcpy(gyro->data.data(), &gyro->value, sizeof gyro->value);
            set->members.push_back(gyro);
        }
        state->deliver(set);
    }
}

} // namespace

struct ob_pipeline_t : Counted {
    std::shared_ptr<PipelineState> state = std::make_shared<PipelineState>();
};

namespace {

struct FilterState {
    std::string name;
    std::map<std::string, double> values;   // guarded by mutex
    std::mutex mutex;
    std::condition_variable cv;
    bool stop = false;                      // guarded by mutex
    std::deque<const ob_frame*> pending;    // guarded by mutex; owned references
    ob_filter_callback callback = nullptr;  // guarded by mutex
    void* userData = nullptr;               // guarded by mutex
    std::thread worker;

    ~FilterState()
    {
        for (const ob_frame* f : pending)
            release(f);
    }
};

// Depth seen through the colour camera: every depth pixel becomes a point
// (depth lens), moves into the colour camera's frame (extrinsic) and lands on
// the colour pixels its footprint covers (colour lens). Where two points land
// on one pixel the first stays unless the other is clearly nearer, so the
// noise of one surface is not biased toward the camera.
ob_frame* alignDepthToColour(const ob_frame* depth, const ob_frame* colour)
{
    auto* aligned = new ob_frame_t;
    aligned->type = OB_FRAME_DEPTH;
    aligned->format = depth->format;
    aligned->index = depth->index;
    aligned->timestampUs = depth->timestampUs;
    aligned->systemTimestampUs = depth->systemTimestampUs;
    aligned->valueScale = depth->valueScale;
    aligned->width = colour->width;
    aligned->height = colour->height;
    aligned->profile = depth->profile;
    aligned->profile.width = colour->width;
    aligned->profile.height = colour->height;
    aligned->profile.optics = colour->profile.optics;

    const Pinhole from = pinholeOf(depth->profile.optics, depth->width, depth->height);
    const Pinhole to = pinholeOf(colour->profile.optics, colour->width, colour->height);
    const OBExtrinsic e = extrinsicBetween(depth->profile.optics, colour->profile.optics);
    const float* R = e.rot;
    const float scale = depth->valueScale;
    // The ray of each depth pixel turned into the colour frame, per column and
    // per row: a point is z * (column[u] + row[v]) + trans.
    std::vector<cv::Vec3f> column(from.width);
    for (int u = 0; u < from.width; ++u) {
        const float x = static_cast<float>((u - from.cx) / from.fx);
        column[u] = cv::Vec3f(R[0], R[3], R[6]) * x;
    }
    // Half a depth pixel seen from the colour camera, plus a margin so that
    // neighbours moved apart by noise leave no crack between them.
    const float halfU = static_cast<float>(0.5 * to.fx / from.fx), halfV = static_cast<float>(0.5 * to.fy / from.fy);
    constexpr float kMargin = 0.2f;
    const auto ceilInt = [](float x) {
        const int i = static_cast<int>(x);
        return i + (x > i ? 1 : 0);
    };
    cv::Mat nearest(to.height, to.width, CV_32F, cv::Scalar(0)); // mm, 0 = nothing landed
    for (int v = 0; v < from.height; ++v) {
        const float y = static_cast<float>((v - from.cy) / from.fy);
        const cv::Vec3f row = cv::Vec3f(R[1], R[4], R[7]) * y + cv::Vec3f(R[2], R[5], R[8]);
        const uint16_t* counts = reinterpret_cast<const uint16_t*>(depth->data.data()) + size_t(v) * from.width;
        for (int u = 0; u < from.width; ++u) {
            if (!counts[u])
                continue;
            const float z = counts[u] * scale;
            const cv::Vec3f q = (column[u] + row) * z + cv::Vec3f(e.trans[0], e.trans[1], e.trans[2]);
            if (q[2] <= 0)
                continue;
            const float inverse = 1.0f / q[2];
            const float uc = static_cast<float>(to.cx + to.fx * q[0] * inverse);
            const float vc = static_cast<float>(to.cy + to.fy * q[1] * inverse);
            const float hu = halfU * z * inverse + kMargin, hv = halfV * z * inverse + kMargin;
            const int u0 = std::max(0, ceilInt(uc - hu));
            const int u1 = std::min(to.width, ceilInt(uc + hu));
            const int v0 = std::max(0, ceilInt(vc - hv));
            const int v1 = std::min(to.height, ceilInt(vc + hv));
            for (int yy = v0; yy < v1; ++yy) {
                float* out = nearest.ptr<float>(yy);
                for (int x = u0; x < u1; ++x)
                    if (out[x] == 0 || q[2] < out[x] * 0.95f)
                        out[x] = q[2];
            }
        }
    }
    cv::Mat out;
    nearest.convertTo(out, CV_32S, 1.0 / scale);
    out.setTo(0, out > 65535);
    out.convertTo(out, CV_16U);
    aligned->data.assign(out.datastart, out.dataend);
    return aligned;
}

ob_frame* alignFrameSet(const ob_frame* input, double alignType)
{
    const ob_frame* colour = nullptr;
    const ob_frame* depth = nullptr;
    for (const ob_frame* m : input->members) {
        if (m->type == OB_FRAME_COLOR)
            colour = m;
        else if (m->type == OB_FRAME_DEPTH)
            depth = m;
    }
    ob_frame* out = makeSet(input->index, input->timestampUs, input->systemTimestampUs);
    for (const ob_frame* m : input->members) {
        if (m == depth && colour && static_cast<int>(alignType) == OB_STREAM_COLOR
            && depth->profile.optics != colour->profile.optics) {
            out->members.push_back(alignDepthToColour(depth, colour));
        } else {
            addRef(m);
            out->members.push_back(m);
        }
    }
    return out;
}

void filterLoop(std::shared_ptr<FilterState> state)
{
    ThreadCount counted;
    setThreadName("obsim-align");
    for (;;) {
        const ob_frame* input = nullptr;
        double alignType = OB_STREAM_COLOR;
        ob_filter_callback callback = nullptr;
        void* userData = nullptr;
        {
            std::unique_lock<std::mutex> lock(state->mutex);
            state->cv.wait(lock, [&] { return state->stop || !state->pending.empty(); });
            if (state->stop)
                return;
            input = state->pending.front();
            state->pending.pop_front();
            alignType = state->values["AlignType"];
            callback = state->callback;
            userData = state->userData;
        }
        ob_frame* result = alignFrameSet(input, alignType);
        release(input);
        if (callback)
            guardedCallback("filter", [&] { callback(result, userData); });
        else
            release(result);
    }
}

} // namespace

struct ob_filter_t : Counted {
    std::shared_ptr<FilterState> state = std::make_shared<FilterState>();
};

namespace {
template <typename R, typename Get>
R frameField(const ob_frame* frame, const char* function, ob_error** error, R fallback, Get get)
{
    if (!checkHandle(frame, "frame", function, error))
        return fallback;
    return get(*frame);
}

bool checkFrameType(const ob_frame* frame, const char* function, ob_error** error, bool ok)
{
    if (ok)
        return true;
    setError(error, OB_EXCEPTION_TYPE_UNSUPPORTED_OPERATION, function, pointerText("frame", frame),
        "unsupported operation, object's type is not require type");
    return false;
}
} // namespace

// ---- the C calls ----------------------------------------------------------------

extern "C" {

ob_status ob_error_get_status(const ob_error* error) { return error ? error->status : OB_STATUS_OK; }
const char* ob_error_get_message(const ob_error* error) { return error ? error->message : ""; }
const char* ob_error_get_function(const ob_error* error) { return error ? error->function : ""; }
const char* ob_error_get_args(const ob_error* error) { return error ? error->args : ""; }
ob_exception_type ob_error_get_exception_type(const ob_error* error)
{
    return error ? error->exception_type : OB_EXCEPTION_TYPE_UNKNOWN;
}
void ob_delete_error(ob_error* error) { delete error; }

// ---- pipeline ----

ob_pipeline* ob_create_pipeline(ob_error** error)
{
    int type = 0;
    if (cameraAbsentNow(type)) {
        setError(error, static_cast<ob_exception_type>(type), "ob_create_pipeline", "", "No device found");
        return nullptr;
    }
    auto* pipeline = new ob_pipeline_t;
    pipeline->state->device = std::make_shared<SimDevice>();
    pipeline->state->device->hasImu = !currentFaults().noImu;
    LOGI << "Simulated camera: opened (no depth camera hardware in use)"
         << (pipeline->state->device->hasImu ? "" : ", without IMU");
    return pipeline;
}

ob_pipeline* ob_create_pipeline_with_device(const ob_device* dev, ob_error** error)
{
    if (!checkHandle(dev, "dev", "ob_create_pipeline_with_device", error))
        return nullptr;
    if (dev->device->disconnected) {
        setError(error, OB_EXCEPTION_TYPE_CAMERA_DISCONNECTED, "ob_create_pipeline_with_device",
            pointerText("dev", dev), "Device disconnected");
        return nullptr;
    }
    auto* pipeline = new ob_pipeline_t;
    pipeline->state->device = dev->device;
    return pipeline;
}

void ob_pipeline_stop(ob_pipeline* pipeline, ob_error** error)
{
    if (!checkHandle(pipeline, "pipeline", "ob_pipeline_stop", error))
        return;
    auto& state = *pipeline->state;
    std::vector<std::thread> workers;
    std::deque<const ob_frame*> ready;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.stop = true;
        state.started = false;
        workers.swap(state.workers);
        ready.swap(state.ready);
    }
    state.cv.notify_all();
    joinWorkers(workers);
    for (const ob_frame* f : ready)
        release(f);
}

void ob_delete_pipeline(ob_pipeline* pipeline, ob_error** error)
{
    if (!pipeline)
        return;
    ob_pipeline_stop(pipeline, error);
    delete pipeline;
}

ob_device* ob_pipeline_get_device(const ob_pipeline* pipeline, ob_error** error)
{
    if (!checkHandle(pipeline, "pipeline", "ob_pipeline_get_device", error))
        return nullptr;
    auto* device = new ob_device_t;
    device->device = pipeline->state->device;
    return device;
}

namespace {

void startPipeline(ob_pipeline* pipeline, const ob_config* config, ob_frameset_callback callback, void* userData,
    const char* function, ob_error** error)
{
    if (!checkHandle(pipeline, "pipeline", function, error))
        return;
    const std::string args = pointerText("pipeline", pipeline) + ", " + pointerText("config", config);
    auto state = pipeline->state;
    if (state->device->disconnected) {
        setError(error, OB_EXCEPTION_TYPE_CAMERA_DISCONNECTED, function, args, "Device disconnected");
        return;
    }
    int failType = 0;
    if (startFailsNow(failType)) {
        setError(error, static_cast<ob_exception_type>(failType), function, args, "Failed to start streams");
        return;
    }
    ob_config_t defaults;
    if (!config) {
        // Without a config the camera streams its default profiles.
        defaults.video.push_back({OB_STREAM_COLOR, 1280, 720, 30, OB_FORMAT_MJPG});
        defaults.video.push_back({OB_STREAM_DEPTH, 640, 400, 30, OB_FORMAT_Y16});
        config = &defaults;
    }
    if (config->video.empty() && !config->imu.accel && !config->imu.gyro) {
        setError(error, OB_EXCEPTION_TYPE_INVALID_VALUE, function, args, "No stream enabled in the config");
        return;
    }
    const Faults faults = currentFaults();
    if (config->imu.accel || config->imu.gyro) {
        if (!state->device->hasImu) {
            setError(error, OB_EXCEPTION_TYPE_INVALID_VALUE, function, args,
                "The device has no accelerometer or gyroscope");
            return;
        }
        if (faults.imuStartFails) {
            setError(error, OB_EXCEPTION_TYPE_IO, function, args, "Failed to start IMU streams");
            return;
        }
    }
    ob_pipeline_stop(pipeline, nullptr); // starting again restarts

    std::lock_guard<std::mutex> lock(state->mutex);
    state->stop = false;
    state->started = true;
    state->callback = callback;
    state->userData = userData;
    state->readyCapacity = config->video.empty() ? kPolledImuSets : kPolledVideoSets;
    if (!config->video.empty()) {
        std::ostringstream what;
        for (const auto& s : config->video)
            what << (s.stream == OB_STREAM_DEPTH ? " depth " : s.stream == OB_STREAM_COLOR ? " color " : " ir ")
                 << s.width << "x" << s.height << "@" << s.fps << " " << formatName(s.format);
        const StreamSettings settings = currentStreamSettings();
        LOGI << "Simulated camera: streaming" << what.str() << ", "
             << (settings.scene == SceneWeight::heavy ? "heavy" : "light") << " scene, depth counts of "
             << settings.depthValueScale << " mm" << (calibrationWithheld() ? ", calibration withheld" : "");
        state->workers.emplace_back(videoLoop, state, config->video, faults.disconnectAfter, settings);
    }
    if (config->imu.accel || config->imu.gyro)
        state->workers.emplace_back(imuLoop, state, config->imu);
}

} // namespace

void ob_pipeline_start_with_config(ob_pipeline* pipeline, const ob_config* config, ob_error** error)
{
    startPipeline(pipeline, config, nullptr, nullptr, "ob_pipeline_start_with_config", error);
}

void ob_pipeline_start_with_callback(ob_pipeline* pipeline, const ob_config* config, ob_frameset_callback callback,
    void* user_data, ob_error** error)
{
    if (!callback) {
        setError(error, OB_EXCEPTION_TYPE_INVALID_VALUE, "ob_pipeline_start_with_callback",
            pointerText("callback", nullptr), "callback is null");
        return;
    }
    startPipeline(pipeline, config, callback, user_data, "ob_pipeline_start_with_callback", error);
}

ob_frame* ob_pipeline_wait_for_frameset(ob_pipeline* pipeline, uint32_t timeout_ms, ob_error** error)
{
    if (!checkHandle(pipeline, "pipeline", "ob_pipeline_wait_for_frameset", error))
        return nullptr;
    auto& state = *pipeline->state;
    std::unique_lock<std::mutex> lock(state.mutex);
    if (state.stop)
        return nullptr; // stopped: nothing will come
    state.cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
        [&] { return !state.ready.empty() || state.stop || state.device->disconnected; });
    if (!state.ready.empty()) {
        const ob_frame* set = state.ready.front();
        state.ready.pop_front();
        return const_cast<ob_frame*>(set);
    }
    if (state.device->disconnected && !state.stop) {
        setError(error, OB_EXCEPTION_TYPE_CAMERA_DISCONNECTED, "ob_pipeline_wait_for_frameset",
            pointerText("pipeline", pipeline) + ", timeout_ms = " + std::to_string(timeout_ms),
            "Device disconnected");
    }
    return nullptr;
}

// ---- config ----

ob_config* ob_create_config(ob_error** /*error*/) { return new ob_config_t; }

void ob_delete_config(ob_config* config, ob_error** /*error*/) { delete config; }

void ob_config_enable_video_stream(ob_config* config, ob_stream_type stream_type, uint32_t width, uint32_t height,
    uint32_t fps, ob_format format, ob_error** error)
{
    static const char* function = "ob_config_enable_video_stream";
    if (!checkHandle(config, "config", function, error))
        return;
    std::ostringstream args;
    args << pointerText("config", config) << ", stream_type = " << stream_type << ", width = " << width
         << ", height = " << height << ", fps = " << fps << ", format = " << format;
    if (!isVideoStream(stream_type)) {
        setError(error, OB_EXCEPTION_TYPE_INVALID_VALUE, function, args.str(), "Not a video stream type");
        return;
    }
    VideoRequest request{stream_type, width, height, fps, format};
    // 0 and OB_FORMAT_UNKNOWN mean "any": the camera's default profile.
    const bool depth = stream_type == OB_STREAM_DEPTH;
    if (request.width == 0 || request.height == 0) {
        request.width = depth ? 640 : 1280;
        request.height = depth ? 400 : 720;
    }
    if (request.fps == 0)
        request.fps = 30;
    if (request.format == OB_FORMAT_UNKNOWN)
        request.format = depth ? OB_FORMAT_Y16 : stream_type == OB_STREAM_COLOR ? OB_FORMAT_MJPG : OB_FORMAT_Y8;
    if (stream_type == OB_STREAM_COLOR) {
        const int forced = currentFaults().colorFormat;
        if (forced >= 0)
            request.format = static_cast<ob_format>(forced);
    }
    if (request.width > 4096 || request.height > 4096 || request.fps > 120) {
        setError(error, OB_EXCEPTION_TYPE_INVALID_VALUE, function, args.str(), "No matching stream profile");
        return;
    }
    const bool formatOk = depth ? request.format == OB_FORMAT_Y16
        : stream_type == OB_STREAM_COLOR ? colourFormatSupported(request.format)
                                         : request.format == OB_FORMAT_Y8;
    if (!formatOk) {
        setError(error, OB_EXCEPTION_TYPE_INVALID_VALUE, function, args.str(),
            std::string("No matching stream profile: format ") + formatName(request.format)
                + " is not offered by this stream");
        return;
    }
    auto& video = config->video;
    video.erase(std::remove_if(video.begin(), video.end(), [&](const VideoRequest& r) { return r.stream == stream_type; }),
        video.end());
    video.push_back(request);
}

void ob_config_enable_accel_stream(ob_config* config, ob_accel_full_scale_range /*full_scale_range*/,
    ob_accel_sample_rate sample_rate, ob_error** error)
{
    if (!checkHandle(config, "config", "ob_config_enable_accel_stream", error))
        return;
    config->imu.accel = true;
    config->imu.accelRate = sample_rate == OB_SAMPLE_RATE_UNKNOWN ? OB_SAMPLE_RATE_200_HZ : sample_rate;
}

void ob_config_enable_gyro_stream(ob_config* config, ob_gyro_full_scale_range /*full_scale_range*/,
    ob_gyro_sample_rate sample_rate, ob_error** error)
{
    if (!checkHandle(config, "config", "ob_config_enable_gyro_stream", error))
        return;
    config->imu.gyro = true;
    config->imu.gyroRate = sample_rate == OB_SAMPLE_RATE_UNKNOWN ? OB_SAMPLE_RATE_200_HZ : sample_rate;
}

void ob_config_set_frame_aggregate_output_mode(ob_config* config, ob_frame_aggregate_output_mode mode,
    ob_error** error)
{
    if (!checkHandle(config, "config", "ob_config_set_frame_aggregate_output_mode", error))
        return;
    config->aggregateMode = mode;
}

ob_stream_profile_list* ob_config_get_enabled_stream_profile_list(const ob_config* config, ob_error** error)
{
    if (!checkHandle(config, "config", "ob_config_get_enabled_stream_profile_list", error))
        return nullptr;
    auto* list = new ob_stream_profile_list_t;
    for (const auto& v : config->video)
        list->profiles.emplace_back(streamInfo(v.stream, v.format, v.width, v.height, v.fps));
    if (config->imu.accel)
        list->profiles.emplace_back(streamInfo(OB_STREAM_ACCEL, OB_FORMAT_ACCEL, 0, 0, 0));
    if (config->imu.gyro)
        list->profiles.emplace_back(streamInfo(OB_STREAM_GYRO, OB_FORMAT_GYRO, 0, 0, 0));
    return list;
}

// ---- stream profiles ----

uint32_t ob_stream_profile_list_get_count(const ob_stream_profile_list* profile_list, ob_error** error)
{
    if (!checkHandle(profile_list, "profile_list", "ob_stream_profile_list_get_count", error))
        return 0;
    return static_cast<uint32_t>(profile_list->profiles.size());
}

ob_stream_profile* ob_stream_profile_list_get_profile(const ob_stream_profile_list* profile_list, int index,
    ob_error** error)
{
    if (!checkHandle(profile_list, "profile_list", "ob_stream_profile_list_get_profile", error))
        return nullptr;
    if (index < 0 || static_cast<size_t>(index) >= profile_list->profiles.size()) {
        setError(error, OB_EXCEPTION_TYPE_INVALID_VALUE, "ob_stream_profile_list_get_profile",
            "index = " + std::to_string(index), "index out of range");
        return nullptr;
    }
    return new ob_stream_profile_t(profile_list->profiles[static_cast<size_t>(index)]);
}

void ob_delete_stream_profile_list(const ob_stream_profile_list* profile_list, ob_error** /*error*/)
{
    delete profile_list;
}

ob_stream_type ob_stream_profile_get_type(const ob_stream_profile* profile, ob_error** error)
{
    if (!checkHandle(profile, "profile", "ob_stream_profile_get_type", error))
        return OB_STREAM_UNKNOWN;
    return profile->type;
}

ob_format ob_stream_profile_get_format(const ob_stream_profile* profile, ob_error** error)
{
    if (!checkHandle(profile, "profile", "ob_stream_profile_get_format", error))
        return OB_FORMAT_UNKNOWN;
    return profile->format;
}

namespace {
const ob_stream_profile* videoProfile(const ob_stream_profile* profile, const char* function, ob_error** error)
{
    if (!checkHandle(profile, "profile", function, error))
        return nullptr;
    if (!isVideoStream(profile->type)) {
        setError(error, OB_EXCEPTION_TYPE_UNSUPPORTED_OPERATION, function, pointerText("profile", profile),
            "unsupported operation, object's type is not require type");
        return nullptr;
    }
    return profile;
}
} // namespace

uint32_t ob_video_stream_profile_get_width(const ob_stream_profile* profile, ob_error** error)
{
    const auto* p = videoProfile(profile, "ob_video_stream_profile_get_width", error);
    return p ? p->width : 0;
}

uint32_t ob_video_stream_profile_get_height(const ob_stream_profile* profile, ob_error** error)
{
    const auto* p = videoProfile(profile, "ob_video_stream_profile_get_height", error);
    return p ? p->height : 0;
}

uint32_t ob_video_stream_profile_get_fps(const ob_stream_profile* profile, ob_error** error)
{
    const auto* p = videoProfile(profile, "ob_video_stream_profile_get_fps", error);
    return p ? p->fps : 0;
}

void ob_delete_stream_profile(const ob_stream_profile* profile, ob_error** /*error*/) { delete profile; }

namespace {
// The calibration calls fail alike when the device holds none.
bool calibrationKnown(const char* function, const ob_stream_profile* profile, ob_error** error)
{
    if (!calibrationWithheld())
        return true;
    setError(error, OB_EXCEPTION_TYPE_UNSUPPORTED_OPERATION, function, pointerText("profile", profile),
        "The device holds no calibration");
    return false;
}

const ob_stream_profile* motionProfile(const ob_stream_profile* profile, ob_stream_type type, const char* function,
    ob_error** error)
{
    if (!checkHandle(profile, "profile", function, error))
        return nullptr;
    if (profile->type != type) {
        setError(error, OB_EXCEPTION_TYPE_UNSUPPORTED_OPERATION, function, pointerText("profile", profile),
            "unsupported operation, object's type is not require type");
        return nullptr;
    }
    return calibrationKnown(function, profile, error) ? profile : nullptr;
}
} // namespace

OBCameraIntrinsic ob_video_stream_profile_get_intrinsic(const ob_stream_profile* profile, ob_error** error)
{
    static const char* function = "ob_video_stream_profile_get_intrinsic";
    const auto* p = videoProfile(profile, function, error);
    if (!p || !calibrationKnown(function, p, error))
        return {};
    return intrinsicOf(p->optics, p->width, p->height);
}

OBCameraDistortion ob_video_stream_profile_get_distortion(const ob_stream_profile* profile, ob_error** error)
{
    static const char* function = "ob_video_stream_profile_get_distortion";
    const auto* p = videoProfile(profile, function, error);
    if (!p || !calibrationKnown(function, p, error))
        return {};
    // Images are rendered through distortion-free lenses: a Brown model with zero coefficients.
    OBCameraDistortion distortion{};
    distortion.model = OB_DISTORTION_BROWN_CONRADY;
    return distortion;
}

OBExtrinsic ob_stream_profile_get_extrinsic_to(const ob_stream_profile* source, const ob_stream_profile* target,
    ob_error** error)
{
    static const char* function = "ob_stream_profile_get_extrinsic_to";
    if (!checkHandle(source, "source", function, error) || !checkHandle(target, "target", function, error)
        || !calibrationKnown(function, source, error))
        return {};
    return extrinsicBetween(source->optics, target->optics);
}

OBAccelIntrinsic ob_accel_stream_profile_get_intrinsic(const ob_stream_profile* profile, ob_error** error)
{
    return motionProfile(profile, OB_STREAM_ACCEL, "ob_accel_stream_profile_get_intrinsic", error)
        ? accelIntrinsic()
        : OBAccelIntrinsic{};
}

OBGyroIntrinsic ob_gyro_stream_profile_get_intrinsic(const ob_stream_profile* profile, ob_error** error)
{
    return motionProfile(profile, OB_STREAM_GYRO, "ob_gyro_stream_profile_get_intrinsic", error)
        ? gyroIntrinsic()
        : OBGyroIntrinsic{};
}

// ---- device and sensors ----

void ob_delete_device(ob_device* device, ob_error** /*error*/) { delete device; }

ob_device_info* ob_device_get_device_info(const ob_device* device, ob_error** error)
{
    if (!checkHandle(device, "device", "ob_device_get_device_info", error))
        return nullptr;
    return new ob_device_info_t;
}

const char* ob_device_info_get_name(const ob_device_info* info, ob_error** error)
{
    return checkHandle(info, "info", "ob_device_info_get_name", error) ? deviceIdentity().name : nullptr;
}

const char* ob_device_info_get_serial_number(const ob_device_info* info, ob_error** error)
{
    return checkHandle(info, "info", "ob_device_info_get_serial_number", error) ? deviceIdentity().serialNumber
                                                                                 : nullptr;
}

const char* ob_device_info_get_firmware_version(const ob_device_info* info, ob_error** error)
{
    return checkHandle(info, "info", "ob_device_info_get_firmware_version", error)
        ? deviceIdentity().firmwareVersion
        : nullptr;
}

void ob_delete_device_info(ob_device_info* info, ob_error** /*error*/) { delete info; }

ob_sensor_list* ob_device_get_sensor_list(const ob_device* device, ob_error** error)
{
    if (!checkHandle(device, "device", "ob_device_get_sensor_list", error))
        return nullptr;
    auto* list = new ob_sensor_list_t;
    list->types = {OB_SENSOR_IR, OB_SENSOR_COLOR, OB_SENSOR_DEPTH};
    if (device->device->hasImu) {
        list->types.push_back(OB_SENSOR_ACCEL);
        list->types.push_back(OB_SENSOR_GYRO);
    }
    return list;
}

uint32_t ob_sensor_list_get_count(const ob_sensor_list* sensor_list, ob_error** error)
{
    if (!checkHandle(sensor_list, "sensor_list", "ob_sensor_list_get_count", error))
        return 0;
    return static_cast<uint32_t>(sensor_list->types.size());
}

ob_sensor_type ob_sensor_list_get_sensor_type(const ob_sensor_list* sensor_list, uint32_t index, ob_error** error)
{
    if (!checkHandle(sensor_list, "sensor_list", "ob_sensor_list_get_sensor_type", error))
        return OB_SENSOR_UNKNOWN;
    if (index >= sensor_list->types.size()) {
        setError(error, OB_EXCEPTION_TYPE_INVALID_VALUE, "ob_sensor_list_get_sensor_type",
            "index = " + std::to_string(index), "index out of range");
        return OB_SENSOR_UNKNOWN;
    }
    return sensor_list->types[index];
}

ob_sensor* ob_sensor_list_get_sensor(const ob_sensor_list* sensor_list, uint32_t index, ob_error** error)
{
    const ob_sensor_type type = ob_sensor_list_get_sensor_type(sensor_list, index, error);
    if (type == OB_SENSOR_UNKNOWN)
        return nullptr;
    auto* sensor = new ob_sensor_t;
    sensor->type = type;
    return sensor;
}

void ob_delete_sensor_list(ob_sensor_list* sensor_list, ob_error** /*error*/) { delete sensor_list; }

ob_sensor_type ob_sensor_get_type(const ob_sensor* sensor, ob_error** error)
{
    if (!checkHandle(sensor, "sensor", "ob_sensor_get_type", error))
        return OB_SENSOR_UNKNOWN;
    return sensor->type;
}

void ob_delete_sensor(ob_sensor* sensor, ob_error** /*error*/) { delete sensor; }

// ---- filters ----

ob_filter* ob_create_filter(const char* name, ob_error** error)
{
    if (!name || std::strcmp(name, "Align") != 0) {
        setError(error, OB_EXCEPTION_TYPE_INVALID_VALUE, "ob_create_filter",
            std::string("name = ") + (name ? name : "(null)"),
            std::string("Filter not found: ") + (name ? name : "(null)"));
        return nullptr;
    }
    auto* filter = new ob_filter_t;
    filter->state->name = name;
    filter->state->values["AlignType"] = OB_STREAM_COLOR;
    filter->state->values["MatchTargetResolution"] = 1;
    return filter;
}

const char* ob_filter_get_name(const ob_filter* filter, ob_error** error)
{
    if (!checkHandle(filter, "filter", "ob_filter_get_name", error))
        return nullptr;
    return filter->state->name.c_str();
}

void ob_filter_set_config_value(ob_filter* filter, const char* config_name, double value, ob_error** error)
{
    if (!checkHandle(filter, "filter", "ob_filter_set_config_value", error))
        return;
    const std::string key = config_name ? config_name : "";
    const std::string args = pointerText("filter", filter) + ", config_name = " + key + ", value = "
        + std::to_string(value);
    std::lock_guard<std::mutex> lock(filter->state->mutex);
    auto it = filter->state->values.find(key);
    if (it == filter->state->values.end()) {
        setError(error, OB_EXCEPTION_TYPE_INVALID_VALUE, "ob_filter_set_config_value", args,
            "Config not found: " + key);
        return;
    }
    if (key == "AlignType" && value != OB_STREAM_COLOR && value != OB_STREAM_DEPTH) {
        setError(error, OB_EXCEPTION_TYPE_INVALID_VALUE, "ob_filter_set_config_value", args,
            "AlignType must be 2 (color) or 3 (depth)");
        return;
    }
    it->second = value;
}

double ob_filter_get_config_value(const ob_filter* filter, const char* config_name, ob_error** error)
{
    if (!checkHandle(filter, "filter", "ob_filter_get_config_value", error))
        return 0;
    const std::string key = config_name ? config_name : "";
    std::lock_guard<std::mutex> lock(filter->state->mutex);
    auto it = filter->state->values.find(key);
    if (it == filter->state->values.end()) {
        setError(error, OB_EXCEPTION_TYPE_INVALID_VALUE, "ob_filter_get_config_value", "config_name = " + key,
            "Config not found: " + key);
        return 0;
    }
    return it->second;
}

namespace {
bool checkFrameSet(const ob_frame* frame, const char* function, ob_error** error)
{
    if (!checkHandle(frame, "frame", function, error))
        return false;
    if (frame->type != OB_FRAME_SET) {
        setError(error, OB_EXCEPTION_TYPE_INVALID_VALUE, function, pointerText("frame", frame),
            "The align filter takes frame sets only");
        return false;
    }
    return true;
}
} // namespace

ob_frame* ob_filter_process(ob_filter* filter, const ob_frame* frame, ob_error** error)
{
    if (!checkHandle(filter, "filter", "ob_filter_process", error)
        || !checkFrameSet(frame, "ob_filter_process", error))
        return nullptr;
    double alignType = OB_STREAM_COLOR;
    {
        std::lock_guard<std::mutex> lock(filter->state->mutex);
        alignType = filter->state->values["AlignType"];
    }
    return alignFrameSet(frame, alignType);
}

void ob_filter_set_callback(ob_filter* filter, ob_filter_callback callback, void* user_data, ob_error** error)
{
    if (!checkHandle(filter, "filter", "ob_filter_set_callback", error))
        return;
    auto state = filter->state;
    std::lock_guard<std::mutex> lock(state->mutex);
    state->callback = callback;
    state->userData = user_data;
    if (!state->worker.joinable() && !state->stop)
        state->worker = std::thread(filterLoop, state);
}

void ob_filter_push_frame(ob_filter* filter, const ob_frame* frame, ob_error** error)
{
    if (!checkHandle(filter, "filter", "ob_filter_push_frame", error)
        || !checkFrameSet(frame, "ob_filter_push_frame", error))
        return;
    auto& state = *filter->state;
    const ob_frame* dropped = nullptr;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (!state.callback) {
            setError(error, OB_EXCEPTION_TYPE_WRONG_API_CALL_SEQUENCE, "ob_filter_push_frame",
                pointerText("filter", filter), "Set a callback before pushing frames");
            return;
        }
        addRef(frame);
        state.pending.push_back(frame);
        // The filter keeps up with the camera; when its callback is too slow
        // the oldest set waiting is the one given up.
        if (state.pending.size() > kFilterBacklog) {
            dropped = state.pending.front();
            state.pending.pop_front();
        }
    }
    state.cv.notify_one();
    if (dropped) {
        ++g_droppedFrameSets;
        release(dropped);
    }
}

void ob_delete_filter(ob_filter* filter, ob_error** /*error*/)
{
    if (!filter)
        return;
    auto& state = *filter->state;
    std::thread worker;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.stop = true;
        worker.swap(state.worker);
    }
    state.cv.notify_all();
    std::vector<std::thread> workers;
    workers.push_back(std::move(worker));
    joinWorkers(workers);
    delete filter;
}

// ---- frames ----


void ob_frame_add_ref(const ob_frame* frame, ob_error** error)
{
    if (checkHandle(frame, "frame", "ob_frame_add_ref", error))
        addRef(frame);
}

void ob_delete_frame(const ob_frame* frame, ob_error** /*error*/) { release(frame); }

ob_frame_type ob_frame_get_type(const ob_frame* frame, ob_error** error)
{
    return frameField(frame, "ob_frame_get_type", error, OB_FRAME_UNKNOWN, [](const ob_frame& f) { return f.type; });
}

ob_format ob_frame_get_format(const ob_frame* frame, ob_error** error)
{
    return frameField(
        frame, "ob_frame_get_format", error, OB_FORMAT_UNKNOWN, [](const ob_frame& f) { return f.format; });
}

uint64_t ob_frame_get_index(const ob_frame* frame, ob_error** error)
{
    return frameField(frame, "ob_frame_get_index", error, uint64_t(0), [](const ob_frame& f) { return f.index; });
}

uint8_t* ob_frame_get_data(const ob_frame* frame, ob_error** error)
{
    return frameField(frame, "ob_frame_get_data", error, static_cast<uint8_t*>(nullptr), [](const ob_frame& f) {
        return f.data.empty() ? nullptr : const_cast<uint8_t*>(f.data.data());
    });
}

uint32_t ob_frame_get_data_size(const ob_frame* frame, ob_error** error)
{
    return frameField(frame, "ob_frame_get_data_size", error, uint32_t(0),
        [](const ob_frame& f) { return static_cast<uint32_t>(f.data.size()); });
}

uint64_t ob_frame_get_timestamp_us(const ob_frame* frame, ob_error** error)
{
    return frameField(
        frame, "ob_frame_get_timestamp_us", error, uint64_t(0), [](const ob_frame& f) { return f.timestampUs; });
}

uint64_t ob_frame_get_system_timestamp_us(const ob_frame* frame, ob_error** error)
{
    return frameField(frame, "ob_frame_get_system_timestamp_us", error, uint64_t(0),
        [](const ob_frame& f) { return f.systemTimestampUs; });
}

namespace {
bool isVideoFrame(const ob_frame* f)
{
    return f->type == OB_FRAME_COLOR || f->type == OB_FRAME_DEPTH || f->type == OB_FRAME_IR
        || f->type == OB_FRAME_VIDEO || f->type == OB_FRAME_IR_LEFT || f->type == OB_FRAME_IR_RIGHT;
}
} // namespace

ob_stream_profile* ob_frame_get_stream_profile(const ob_frame* frame, ob_error** error)
{
    if (!checkHandle(frame, "frame", "ob_frame_get_stream_profile", error)
        || !checkFrameType(frame, "ob_frame_get_stream_profile", error, frame->profile.type != OB_STREAM_UNKNOWN))
        return nullptr;
    return new ob_stream_profile_t(frame->profile);
}

float ob_depth_frame_get_value_scale(const ob_frame* frame, ob_error** error)
{
    if (!checkHandle(frame, "frame", "ob_depth_frame_get_value_scale", error)
        || !checkFrameType(frame, "ob_depth_frame_get_value_scale", error, frame->type == OB_FRAME_DEPTH))
        return 0;
    return frame->valueScale;
}

uint32_t ob_video_frame_get_width(const ob_frame* frame, ob_error** error)
{
    if (!checkHandle(frame, "frame", "ob_video_frame_get_width", error)
        || !checkFrameType(frame, "ob_video_frame_get_width", error, isVideoFrame(frame)))
        return 0;
    return frame->width;
}

uint32_t ob_video_frame_get_height(const ob_frame* frame, ob_error** error)
{
    if (!checkHandle(frame, "frame", "ob_video_frame_get_height", error)
        || !checkFrameType(frame, "ob_video_frame_get_height", error, isVideoFrame(frame)))
        return 0;
    return frame->height;
}

ob_accel_value ob_accel_frame_get_value(const ob_frame* frame, ob_error** error)
{
    if (!checkHandle(frame, "frame", "ob_accel_frame_get_value", error)
        || !checkFrameType(frame, "ob_accel_frame_get_value", error, frame->type == OB_FRAME_ACCEL))
        return {};
    return frame->value;
}

ob_gyro_value ob_gyro_frame_get_value(const ob_frame* frame, ob_error** error)
{
    if (!checkHandle(frame, "frame", "ob_gyro_frame_get_value", error)
        || !checkFrameType(frame, "ob_gyro_frame_get_value", error, frame->type == OB_FRAME_GYRO))
        return {};
    return frame->value;
}

uint32_t ob_frameset_get_count(const ob_frame* frameset, ob_error** error)
{
    if (!checkHandle(frameset, "frameset", "ob_frameset_get_count", error)
        || !checkFrameType(frameset, "ob_frameset_get_count", error, frameset->type == OB_FRAME_SET))
        return 0;
    return static_cast<uint32_t>(frameset->members.size());
}

ob_frame* ob_frameset_get_frame(const ob_frame* frameset, ob_frame_type frame_type, ob_error** error)
{
    if (!checkHandle(frameset, "frameset", "ob_frameset_get_frame", error)
        || !checkFrameType(frameset, "ob_frameset_get_frame", error, frameset->type == OB_FRAME_SET))
        return nullptr;
    for (const ob_frame* member : frameset->members) {
        if (member->type == frame_type) {
            addRef(member);
            return const_cast<ob_frame*>(member);
        }
    }
    return nullptr;
}

} // extern "C"
