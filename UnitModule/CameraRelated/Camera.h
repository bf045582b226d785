#pragma once
// What the capture page and the self-test see of any camera: start it with a
// name, its stream requests, two callbacks and the capture session's policy;
// take its newest preview frame from the mailbox; read its counts; destroy it
// to stop it. Each kind of camera (DepthCamera, UsbCamera) runs one capture
// thread that opens the camera, streams, and opens it again once a second
// whenever it is lost, for as long as the object lives.
//
// Thread rules: the callbacks run on the camera's own threads and must only
// post elsewhere; no callback runs once the destructor has returned, since
// every thread the camera started is joined there.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CameraConfig.h"
#include "CapturePolicy.h"
#include "FrameQueues.h"

struct CameraCallbacks {
    // Preview thread: a new frame waits in the preview mailbox.
    std::function<void()> frameReady;
    // Capture thread: true once the camera streams, false when it was lost.
    std::function<void(bool)> status;
};

class Camera {
public:
    virtual ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // Starts the capture thread. The policy is read by the camera's threads
    // without a lock, so it is fixed from here on (null: nothing is saved).
    // Empty requests, or a second start, start nothing; false then.
    bool start(const std::string& name, const std::vector<CameraConfig>& requests, CameraCallbacks callbacks,
        std::shared_ptr<CapturePolicy> policy);
    bool started() const { return captureThread_.joinable(); }

    const std::string& name() const { return name_; }
    // The newest preview frame, NV12 at the size it carries.
    PreviewMailbox& previewMailbox() { return previewMailbox_; }
    // Frames the camera delivered since it last started streaming.
    virtual uint64_t framesDelivered() const = 0;
    // Times the camera was lost and its capture thread went back to opening it.
    uint64_t reconnects() const { return reconnects_.load(); }

    // Between two attempts to open an absent or lost camera.
    static constexpr int retryEveryMs = 1000;

protected:
    // The capture thread runs on `processor` when it can, named `threadName`.
    Camera(int processor, const char* threadName);

    // The body of the capture thread: returns once running() is false.
    virtual void captureLoop() = 0;

    // Destructors of the kinds first stop (waking every wait of the capture
    // thread), then join, then free what the thread used.
    void stopRunning();
    void joinCaptureThread();
    bool running() const { return running_.load(); }
    // Sleeps up to `ms`; false when woken because the camera is stopping.
    bool sleepWhileRunning(int ms);
    void reportStatus(bool streaming) const;
    void reportFrameReady() const;
    void countReconnect() { ++reconnects_; }

    const std::vector<CameraConfig>& requests() const { return requests_; }
    CapturePolicy& policy() const { return *policy_; }

private:
    const int processor_;
    const char* const threadName_;
    std::string name_;
    std::vector<CameraConfig> requests_;
    CameraCallbacks callbacks_;
    std::shared_ptr<CapturePolicy> policy_ = std::make_shared<CapturePolicy>();
    std::atomic<bool> running_{false};
    std::atomic<uint64_t> reconnects_{0};
    std::mutex wakeMutex_;
    std::condition_variable wake_;
    // Before the kinds' preview threads, which post to it: it outlives them.
    PreviewMailbox previewMailbox_;
    std::thread captureThread_;
};

// Which of the snapshot requests a camera has served. Several requests
// between two frame sets make one capture, stamped with the latest id. Not
// thread-safe: its camera guards it.
class SnapshotTrigger {
public:
    // Requests made before the stream started are not this stream's.
    void skipEarlier(const CapturePolicy& policy) { served_ = policy.requests(); }
    // True once for every new burst of requests.
    bool take(const CapturePolicy& policy)
    {
        const uint64_t requests = policy.requests();
        if (served_ >= requests)
            return false;
        served_ = requests;
        return true;
    }
    uint64_t served() const { return served_; }

private:
    uint64_t served_ = 0;
};
