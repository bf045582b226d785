#include "DepthCamera.h"

#include <libobsensor/ObSensor.hpp>

#include "Log.h"
#include "PreviewThread.h"

// ---- callback gate ----------------------------------------------------------

DepthCamera* DepthCamera::CallbackGate::enter()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (owner_ == nullptr)
        return nullptr;
    ++inside_;
    return owner_;
}

void DepthCamera::CallbackGate::leave()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (--inside_ == 0)
        idle_.notify_all();
}

void DepthCamera::CallbackGate::close()
{
    std::unique_lock<std::mutex> lock(mutex_);
    owner_ = nullptr;
    idle_.wait(lock, [this] { return inside_ == 0; });
}

// ---- lifecycle --------------------------------------------------------------

DepthCamera::DepthCamera()
    : Camera(7, "depthcamera")
    , gate_(std::make_shared<CallbackGate>(this))
{
}

namespace {

void stopPipeline(const std::shared_ptr<ob::Pipeline>& pipeline, const char* what)
{
    if (!pipeline)
        return;
    LOGI << "Stopping " << what << " pipeline...";
    try {
        pipeline->stop();
        LOGI << what << " pipeline stopped";
    } catch (const ob::Error& e) {
        LOGE << "Error stopping " << what << " pipeline: " << e.getMessage();
    } catch (...) {
        LOGE << "Unknown error stopping " << what << " pipeline";
    }
}

} // namespace

DepthCamera::~DepthCamera()
{
    LOGI << "~DepthCamera: Starting resource cleanup...";
    stopRunning();
    // From here on no SDK callback reaches this camera; one in progress has finished.
    gate_->close();

    std::shared_ptr<ob::Pipeline> depthPipeline;
    std::shared_ptr<ob::Pipeline> motionPipeline;
    {
        std::lock_guard<std::mutex> lock(sdkMutex_);
        depthPipeline = pipeline_;
        motionPipeline = imuPipeline_;
        // The capture thread may still hold its own reference until it ends.
        alignFilter_.reset();
    }
    // Stopping wakes the capture thread out of its wait for frames.
    stopPipeline(depthPipeline, "depth");
    stopPipeline(motionPipeline, "IMU");
    depthPipeline.reset();
    motionPipeline.reset();

    LOGI << "Waiting for capture thread to finish...";
    joinCaptureThread();
    // The capture thread is gone: the members below have no other user. The
    // preview thread ends before the members it calls back into.
    preview_.reset();
    pipeline_.reset();
    imuPipeline_.reset();
    LOGI << "~DepthCamera: Resource cleanup completed";
}
