#include "Camera.h"

#include "CameraThread.h"
#include "Log.h"

Camera::Camera(int processor, const char* threadName)
    : processor_(processor)
    , threadName_(threadName)
{
}

Camera::~Camera()
{
    // The kinds' destructors have joined the thread; this only guards against one that did not.
    stopRunning();
    joinCaptureThread();
}

bool Camera::start(const std::string& name, const std::vector<CameraConfig>& requests, CameraCallbacks callbacks,
    std::shared_ptr<CapturePolicy> policy)
{
    // One capture thread per camera: the page builds a new camera to restart one.
    if (captureThread_.joinable()) {
        LOGW << "Camera " << name_ << " is already running, start ignored";
        return false;
    }
    name_ = name;
    if (requests.empty()) {
        LOGE << "No camera config provided!";
        return false;
    }
    requests_ = requests;
    callbacks_ = std::move(callbacks);
    if (policy)
        policy_ = std::move(policy);
    running_ = true;
    captureThread_ = std::thread(&Camera::captureLoop, this);
    pinCameraThread(captureThread_, processor_, threadName_);
    return true;
}

void Camera::stopRunning()
{
    {
        // Taken so that a capture thread between its check and its wait still sees the wake-up.
        std::lock_guard<std::mutex> lock(wakeMutex_);
        running_ = false;
    }
    wake_.notify_all();
}

void Camera::joinCaptureThread()
{
    if (captureThread_.joinable())
        captureThread_.join();
}

bool Camera::sleepWhileRunning(int ms)
{
    std::unique_lock<std::mutex> lock(wakeMutex_);
    return !wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !running_.load(); });
}

void Camera::reportStatus(bool streaming) const
{
    if (callbacks_.status)
        callbacks_.status(streaming);
}

void Camera::reportFrameReady() const
{
    if (running_ && callbacks_.frameReady)
        callbacks_.frameReady();
}
