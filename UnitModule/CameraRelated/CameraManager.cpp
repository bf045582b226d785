#include "CameraManager.h"
#include "CameraThread.h"

#include <pthread.h>
#include <sched.h>

#include <libobsensor/ObSensor.hpp>

#include "Log.h"
#include "PreviewThread.h"
#include "rk_mjpeg_decoder_v2.h"

// ---- callback gate ----------------------------------------------------------

CameraManager* CameraManager::CallbackGate::enter()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (owner_ == nullptr)
        return nullptr;
    ++inside_;
    return owner_;
}

void CameraManager::CallbackGate::leave()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (--inside_ == 0)
        idle_.notify_all();
}

void CameraManager::CallbackGate::close()
{
    std::unique_lock<std::mutex> lock(mutex_);
    owner_ = nullptr;
    idle_.wait(lock, [this] { return inside_ == 0; });
}

// ---- lifecycle --------------------------------------------------------------

CameraManager::CameraManager()
    : gate_(std::make_shared<CallbackGate>(this))
{
}

void CameraManager::setCapturePolicy(std::shared_ptr<CapturePolicy> policy)
{
    if (captureThread.joinable()) {
        LOGW << "setCapturePolicy: camera " << name << " is already running, policy not changed";
        return;
    }
    policy_ = policy ? std::move(policy) : std::make_shared<CapturePolicy>();
}

void CameraManager::paramInit(camera_type type, const std::string& cameraName,
    const std::vector<CameraConfig>& configs, std::function<void()> notifyRenderFrame,
    std::function<void(bool)> notifyCameraStatus)
{
    // One capture thread per manager: the page builds a new manager to restart a camera.
    if (captureThread.joinable()) {
        LOGW << "paramInit: camera " << name << " is already running, request ignored";
        return;
    }
    running = true;
    name = cameraName;
    if (configs.empty()) {
        LOGE << "No camera config provided!";
        return;
    }
    cameraConfigs = configs;
    notifyRenderFrameFunc_ = std::move(notifyRenderFrame);
    notifyCameraStatusFunc_ = std::move(notifyCameraStatus);

    switch (type) {
    case usb_camera:
        cameraType_ = usb_camera;
        startUsbCapture();
        break;
    case depth_camera:
        captureThread = std::thread(&CameraManager::capture_camera_loop_OB, this);
        pinThread(captureThread, 7, "depthcamera");
        break;
    default:
        LOGE << "paramInit: unknown camera kind " << static_cast<int>(type) << " for " << cameraName
             << ", no capture started";
        break;
    }
}

#ifndef KAVREL_CAMERA_HAS_USB
// Builds without the USB reader still take a configuration that lists a USB camera.
void CameraManager::startUsbCapture()
{
    LOGW << "USB camera capture is not part of this build; camera \"" << name << "\" is not started";
}
#endif

void CameraManager::pinThread(std::thread& thread, int processor, const char* threadName)
{
    pinCameraThread(thread, processor, threadName);
}

bool CameraManager::sleepWhileRunning(int ms)
{
    std::unique_lock<std::mutex> lock(wakeMutex_);
    return !wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !running.load(); });
}

CameraManager::~CameraManager()
{
    LOGI << "~CameraManager: Starting resource cleanup...";
    {
        // Taken so that a capture thread between its check and its wait still sees the wake-up.
        std::lock_guard<std::mutex> lock(wakeMutex_);
        running = false;
    }
    wake_.notify_all();
    // From here on no SDK callback reaches this manager; one in progress has finished.
    gate_->close();

    std::shared_ptr<ob::Pipeline> depthPipeline;
    std::shared_ptr<ob::Pipeline> motionPipeline;
    bool hasAlignFilter = false;
    {
        std::lock_guard<std::mutex> lock(sdkMutex_);
        depthPipeline = pipeline;
        motionPipeline = imuPipeline;
        hasAlignFilter = alignFilter != nullptr;
    }

    // Stopping wakes the capture thread out of its wait for frames.
    if (depthPipeline) {
        LOGI << "Stopping depth pipeline...";
        try {
            depthPipeline->stop();
            LOGI << "Depth pipeline stopped";
        } catch (const ob::Error& e) {
            LOGE << "Error stopping depth pipeline: " << e.getMessage();
        } catch (...) {
            LOGE << "Unknown error stopping depth pipeline";
        }
    }
    if (hasAlignFilter) {
        LOGI << "Releasing depth2color align filter...";
        {
            // The capture thread may still hold its own reference until it ends.
            std::lock_guard<std::mutex> lock(sdkMutex_);
            alignFilter.reset();
        }
        LOGI << "Depth2color align filter released";
    }
    if (motionPipeline) {
        LOGI << "Stopping IMU pipeline...";
        try {
            motionPipeline->stop();
            LOGI << "IMU pipeline stopped";
        } catch (const ob::Error& e) {
            LOGE << "Error stopping IMU pipeline: " << e.getMessage();
        } catch (...) {
            LOGE << "Unknown error stopping IMU pipeline";
        }
    }
    depthPipeline.reset();
    motionPipeline.reset();

    if (captureThread.joinable()) {
        LOGI << "Waiting for capture thread to finish...";
        captureThread.join();
        LOGI << "Capture thread finished";
    }
    // The capture threads are gone: the members below have no other user.
    // The preview thread ends first: it calls back into this manager.
    preview_.reset();
    if (reader) {
        LOGI << "Releasing camera object...";
        reader.reset();
    }
    if (pixelBuffer) {
        LOGI << "Releasing pixel buffer...";
        pixelBuffer.reset();
    }
    if (jpegDecoder) {
        LOGI << "Releasing JPEG decoder...";
        jpegDecoder.reset();
    }
    if (jpeg_decoder_depthMjpeg) {
        LOGI << "Releasing depth JPEG decoder...";
        jpeg_decoder_depthMjpeg.reset();
    }
    if (pipeline) {
        LOGI << "Releasing depth pipeline...";
        pipeline.reset();
    }
    if (imuPipeline) {
        LOGI << "Releasing IMU pipeline...";
        imuPipeline.reset();
    }
    LOGI << "~CameraManager: Resource cleanup completed";
}
