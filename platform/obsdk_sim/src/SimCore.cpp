#include "SimCore.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <pthread.h>

#include "Log.h"
#include "obsdk_sim/SimControl.h"

namespace obsim {

std::atomic<int> g_liveThreads{0};
std::atomic<int64_t> g_liveFrames{0};
std::atomic<int64_t> g_liveHandles{0};
std::atomic<uint64_t> g_droppedFrameSets{0};
std::atomic<uint64_t> g_skippedFrames{0};

int liveThreads() { return g_liveThreads.load(); }
int64_t liveFrames() { return g_liveFrames.load(); }
int64_t liveHandles() { return g_liveHandles.load(); }
uint64_t droppedFrameSets() { return g_droppedFrameSets.load(); }
uint64_t skippedFrames() { return g_skippedFrames.load(); }

void setError(ob_error** error, ob_exception_type type, const char* function, const std::string& args,
    const std::string& message)
{
    if (!error)
        return;
    if (*error) // an earlier error nobody freed: keep the first one
        return;
    auto* e = new ob_error{};
    e->status = OB_STATUS_ERROR;
    e->exception_type = type;
    std::snprintf(e->message, sizeof e->message, "%s", message.c_str());
    std::snprintf(e->function, sizeof e->function, "%s", function);
    std::snprintf(e->args, sizeof e->args, "%s", args.c_str());
    *error = e;
}

namespace {
// The device has been "on" for a while before the process opened it, so its
// clock is not mistaken for the host's.
const auto g_deviceEpoch = std::chrono::steady_clock::now() - std::chrono::seconds(1234);
} // namespace

uint64_t deviceNowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - g_deviceEpoch)
        .count();
}

uint64_t systemNowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// ---- fault injection ---------------------------------------------------------

namespace {

std::mutex g_faultMutex;
std::string g_absentText;    // value the attempt counter belongs to
uint64_t g_absentAttempts = 0;
std::string g_startFailText;
uint64_t g_startAttempts = 0;

std::string env(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// "3" -> 3 attempts; "always", "forever", "-1", "yes", "true" -> for ever; "", "0" -> never.
// Returns false for "never".
bool parseCount(const std::string& text, uint64_t& count, bool& forever)
{
    forever = false;
    count = 0;
    const std::string t = lower(text);
    if (t.empty() || t == "0" || t == "no" || t == "false")
        return false;
    if (t == "always" || t == "forever" || t == "-1" || t == "yes" || t == "true") {
        forever = true;
        return true;
    }
    char* end = nullptr;
    const unsigned long long n = std::strtoull(t.c_str(), &end, 10);
    if (!end || *end != '\0' || n == 0)
        return false;
    count = n;
    return true;
}

int parseType(const std::string& text, int fallback)
{
    char* end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || !end || *end != '\0' || n < 0 || n > 9)
        return fallback;
    return static_cast<int>(n);
}

bool flag(const char* name)
{
    const std::string t = lower(env(name));
    return t == "1" || t == "yes" || t == "true" || t == "on";
}

// One attempt against an "N times or for ever" fault; the count starts over
// whenever the variable's text changes.
bool consumeAttempt(const char* name, std::string& seenText, uint64_t& attempts)
{
    const std::string text = env(name);
    std::lock_guard<std::mutex> lock(g_faultMutex);
    if (text != seenText) {
        seenText = text;
        attempts = 0;
    }
    uint64_t count = 0;
    bool forever = false;
    if (!parseCount(text, count, forever))
        return false;
    ++attempts;
    return forever || attempts <= count;
}

} // namespace

bool cameraAbsentNow(int& exceptionType)
{
    exceptionType = parseType(env("KAVREL_SIM_CAMERA_ERROR_TYPE"), OB_EXCEPTION_TYPE_CAMERA_DISCONNECTED);
    return consumeAttempt("KAVREL_SIM_CAMERA_ABSENT", g_absentText, g_absentAttempts);
}

bool startFailsNow(int& exceptionType)
{
    exceptionType = parseType(env("KAVREL_SIM_START_ERROR_TYPE"), OB_EXCEPTION_TYPE_CAMERA_DISCONNECTED);
    return consumeAttempt("KAVREL_SIM_START_FAILURES", g_startFailText, g_startAttempts);
}

Faults currentFaults()
{
    Faults faults;
    uint64_t count = 0;
    bool forever = false;
    if (parseCount(env("KAVREL_SIM_DISCONNECT_AFTER"), count, forever) && !forever)
        faults.disconnectAfter = count;
    faults.noImu = flag("KAVREL_SIM_NO_IMU");
    faults.imuStartFails = flag("KAVREL_SIM_IMU_START_FAILS");
    const std::string format = env("KAVREL_SIM_COLOR_FORMAT");
    if (!format.empty())
        faults.colorFormat = parseFormat(format);
    return faults;
}

// The light scene stays the default: under ThreadSanitizer on two shared
// cores the heavy one is too slow for the capture page tests' camera waits.
// The slow-card test and bench_save_pipeline ask for the heavy one.
constexpr SceneWeight kDefaultScene = SceneWeight::light;

StreamSettings currentStreamSettings()
{
    StreamSettings settings;
    settings.scene = kDefaultScene;
    const std::string scene = lower(env("KAVREL_SIM_SCENE"));
    if (scene == "heavy")
        settings.scene = SceneWeight::heavy;
    else if (scene == "light")
        settings.scene = SceneWeight::light;
    else if (!scene.empty())
        LOGW << "Simulated camera: KAVREL_SIM_SCENE=" << scene << " is neither light nor heavy; using "
             << (kDefaultScene == SceneWeight::heavy ? "heavy" : "light");
    const std::string scale = env("KAVREL_SIM_DEPTH_SCALE");
    if (!scale.empty()) {
        char* end = nullptr;
        const float value = std::strtof(scale.c_str(), &end);
        // Below 0.01 mm a count could not reach past 65 cm; above 100 mm depth is useless.
        if (end && *end == '\0' && value >= 0.01f && value <= 100.0f)
            settings.depthValueScale = value;
        else
            LOGW << "Simulated camera: KAVREL_SIM_DEPTH_SCALE=" << scale
                 << " is not a scale between 0.01 and 100 mm per count; using 1";
    }
    return settings;
}

bool calibrationWithheld() { return flag("KAVREL_SIM_NO_CALIBRATION"); }

StreamInfo streamInfo(ob_stream_type type, ob_format format, uint32_t width, uint32_t height, uint32_t fps)
{
    StreamInfo info{type, format, width, height, fps, type};
    if (type == OB_STREAM_IR || type == OB_STREAM_IR_LEFT || type == OB_STREAM_IR_RIGHT)
        info.optics = OB_STREAM_DEPTH; // the depth camera's own infrared sensor
    else if (type == OB_STREAM_GYRO)
        info.optics = OB_STREAM_ACCEL; // one IMU chip
    return info;
}

void resetFaultCounters()
{
    std::lock_guard<std::mutex> lock(g_faultMutex);
    g_absentText.clear();
    g_absentAttempts = 0;
    g_startFailText.clear();
    g_startAttempts = 0;
}

void resetFaults() { resetFaultCounters(); }

namespace {
struct FormatName {
    int code;
    const char* name;
};
const FormatName kFormats[] = {{OB_FORMAT_YUYV, "YUYV"}, {OB_FORMAT_YUY2, "YUY2"}, {OB_FORMAT_UYVY, "UYVY"},
    {OB_FORMAT_NV12, "NV12"}, {OB_FORMAT_NV21, "NV21"}, {OB_FORMAT_MJPG, "MJPG"}, {OB_FORMAT_H264, "H264"},
    {OB_FORMAT_H265, "H265"}, {OB_FORMAT_Y16, "Y16"}, {OB_FORMAT_Y8, "Y8"}, {OB_FORMAT_GRAY, "GRAY"},
    {OB_FORMAT_I420, "I420"}, {OB_FORMAT_ACCEL, "ACCEL"}, {OB_FORMAT_GYRO, "GYRO"}, {OB_FORMAT_RGB, "RGB"},
    {OB_FORMAT_BGR, "BGR"}, {OB_FORMAT_BGRA, "BGRA"}, {OB_FORMAT_RGBA, "RGBA"}, {OB_FORMAT_Z16, "Z16"}};
} // namespace

int parseFormat(const std::string& text)
{
    std::string upper = text;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    for (const auto& f : kFormats)
        if (upper == f.name)
            return f.code;
    char* end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || !end || *end != '\0' || n < 0 || n > 0xff)
        return -1;
    return static_cast<int>(n);
}

const char* formatName(int format)
{
    for (const auto& f : kFormats)
        if (f.code == format)
            return f.name;
    return "?";
}

void setThreadName(const char* name) { pthread_setname_np(pthread_self(), name); }

void addRef(const ob_frame* frame)
{
    if (frame)
        frame->refs.fetch_add(1);
}

void release(const ob_frame* frame)
{
    if (frame && frame->refs.fetch_sub(1) == 1)
        delete frame;
}

} // namespace obsim

ob_frame_t::~ob_frame_t()
{
    for (const ob_frame* member : members)
        obsim::release(member);
    --obsim::g_liveFrames;
}
