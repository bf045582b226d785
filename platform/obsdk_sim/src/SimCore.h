#pragma once
// Internals of the simulated depth camera shared by its source files.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "libobsensor/ObSensor.h"

namespace obsim {

extern std::atomic<int> g_liveThreads;
extern std::atomic<int64_t> g_liveFrames;
extern std::atomic<int64_t> g_liveHandles;
extern std::atomic<uint64_t> g_droppedFrameSets;
extern std::atomic<uint64_t> g_skippedFrames;

// Every SDK object handed out counts itself, so tests can see leaks.
struct Counted {
    Counted() { ++g_liveHandles; }
    Counted(const Counted&) { ++g_liveHandles; }
    virtual ~Counted() { --g_liveHandles; }
};

// Sets *error (when the caller passed one) in the SDK's way.
void setError(ob_error** error, ob_exception_type type, const char* function, const std::string& args,
    const std::string& message);

// Microseconds on the simulated device's clock (it was powered on before the process started).
uint64_t deviceNowUs();
uint64_t systemNowUs();

// What the environment asks the simulated camera to get wrong.
struct Faults {
    uint64_t disconnectAfter = 0;  // frame sets before the camera drops off; 0 = never
    bool noImu = false;            // the device has no accelerometer and no gyroscope
    int colorFormat = -1;          // format the colour stream delivers, whatever was asked; -1 = as asked
    bool imuStartFails = false;    // starting the IMU streams fails
};

// How the scene is drawn: the light scene is flat and noiseless (fast, small
// files); the heavy one carries sensor noise and texture, as large as a real camera's.
enum class SceneWeight { light, heavy };

// Read from the environment when a pipeline starts.
struct StreamSettings {
    SceneWeight scene = SceneWeight::light;
    float depthValueScale = 1.0f; // millimetres per depth count
};
StreamSettings currentStreamSettings();
// The device withholds its calibration (KAVREL_SIM_NO_CALIBRATION), read when asked.
bool calibrationWithheld();

// What a stream profile describes; `optics` is the sensor whose lens and
// position the stream's pixels follow (depth aligned to colour follows colour).
struct StreamInfo {
    ob_stream_type type = OB_STREAM_UNKNOWN;
    ob_format format = OB_FORMAT_UNKNOWN;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t fps = 0;
    ob_stream_type optics = OB_STREAM_UNKNOWN;
};
StreamInfo streamInfo(ob_stream_type type, ob_format format, uint32_t width, uint32_t height, uint32_t fps);

// Reads the environment; counts creation and start attempts for the "N times" faults.
bool cameraAbsentNow(int& exceptionType);
bool startFailsNow(int& exceptionType);
Faults currentFaults();
void resetFaultCounters();

// Parses a format name ("MJPG", "NV12", ...) or number; -1 when it is neither.
int parseFormat(const std::string& text);
const char* formatName(int format);

void setThreadName(const char* name);

} // namespace obsim

// ---- frames -----------------------------------------------------------------

struct ob_frame_t {
    ob_frame_t() { ++obsim::g_liveFrames; }
    ~ob_frame_t();
    ob_frame_t(const ob_frame_t&) = delete;
    ob_frame_t& operator=(const ob_frame_t&) = delete;

    mutable std::atomic<int> refs{1};
    ob_frame_type type = OB_FRAME_UNKNOWN;
    ob_format format = OB_FORMAT_UNKNOWN;
    uint64_t index = 0;
    uint64_t timestampUs = 0;       // device clock
    uint64_t systemTimestampUs = 0; // host clock at arrival
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> data;
    OBFloat3D value{};                 // accelerometer / gyroscope frames
    float valueScale = 1.0f;           // depth frames: millimetres per count
    obsim::StreamInfo profile;         // unset (type unknown) for frame sets
    std::vector<const ob_frame*> members; // frame sets: one reference each
};

namespace obsim {
void addRef(const ob_frame* frame);
void release(const ob_frame* frame);
} // namespace obsim
