#pragma once
// One camera: its stream requests, the capture thread that runs it, the
// SDK objects or USB reader it owns, and the two callbacks toward the
// capture page. Built idle; paramInit starts it; destruction stops it and
// joins every thread it started.
//
// Threads of a depth manager: the capture thread (capture_camera_loop_OB),
// the align filter's callback thread (onAlignedFrameSet) and the IMU
// pipeline's callback thread (onImuFrameSet). The callbacks never touch the
// manager directly: they go through a CallbackGate that the destructor
// closes, so no callback runs on a destroyed manager.

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
#include "DepthCalibration.h"
#include "FrameQueues.h"

namespace ob {
class Pipeline;
class Align;
class Frame;
class FrameSet;
class StreamProfile;
} // namespace ob

namespace camera_base {
class CameraRead;
}

class rk_mjpeg_decoder_v2;
class PreviewThread;

enum camera_type {
    depth_camera = 0,
    usb_camera = 1,
};

class CameraManager {
public:
    CameraManager();
    ~CameraManager();
    CameraManager(const CameraManager&) = delete;
    CameraManager& operator=(const CameraManager&) = delete;

    // The capture session's policy and counts. Set before paramInit: the
    // camera threads read it without a lock. Without one, nothing is saved.
    void setCapturePolicy(std::shared_ptr<CapturePolicy> policy);
    const std::shared_ptr<CapturePolicy>& capturePolicy() const { return policy_; }

    // Stores the requests and callbacks and starts the capture thread of the
    // given kind; an empty request list or an unknown kind starts nothing.
    void paramInit(camera_type type, const std::string& cameraName, const std::vector<CameraConfig>& configs,
        std::function<void()> notifyRenderFrame, std::function<void(bool)> notifyCameraStatus);

    // Bodies of the capture thread.
    void capture_camera_loop_OB();
    void capture_camera_loop();  // USB camera, in CameraManagerUsb.cpp
    // The frame loop of a USB camera once `source` is open: preview every
    // frame, save the requested soil snapshot. Returns true when the camera
    // stopped delivering for a second (unplugged), false once `running` is
    // cleared. Tests drive it with a fake reader.
    bool runUsbFrames(camera_base::CameraRead& source, const std::string& node);
    // A USB camera silent this long counts as lost and is opened again.
    static constexpr int usbLostAfterMs = 1000;

    camera_type cameraType_ = depth_camera;
    std::string name;
    std::vector<CameraConfig> cameraConfigs;
    std::function<void()> notifyRenderFrameFunc_;
    std::function<void(bool)> notifyCameraStatusFunc_;
    std::shared_ptr<camera_base::CameraRead> reader;

    // pipeline, imuPipeline and alignFilter are set by the capture thread and
    // stopped by the destructor: read or replace them only under sdkMutex_
    // and call into them through a copy.
    std::shared_ptr<ob::Pipeline> pipeline;
    std::shared_ptr<ob::Pipeline> imuPipeline;

    std::thread captureThread;
    std::atomic<bool> running{false};

    uint64_t usbFrameCount = 0;
    std::unique_ptr<uint8_t[]> pixelBuffer;
    std::shared_ptr<rk_mjpeg_decoder_v2> jpegDecoder;
    std::shared_ptr<rk_mjpeg_decoder_v2> jpeg_decoder_depthMjpeg;
    std::shared_ptr<ob::Align> alignFilter;

    // Serialises the frame-set callback; guards lastCount and preview_.
    std::mutex frameMutex;
    uint64_t lastCount = 0;  // the policy's snapshot requests already served
    std::atomic<uint64_t> imuSampleCount{0};
    std::atomic<int32_t> colorFrameCount{0};
    std::atomic<int32_t> depthFrameCount{0};
    std::atomic<int32_t> frameCounter{0};  // frame sets seen by continuous runs
    // Times the camera was lost and opened again.
    std::atomic<uint64_t> reconnectCount{0};

    // Counts for tests and logs: frame sets the callback dropped because it failed.
    std::atomic<uint64_t> callbackFailureCount{0};

    // The newest colour preview for the GUI. Declared before the preview
    // threads that post to it, so it outlives them.
    PreviewMailbox previewMailbox;

protected:
    // Callbacks registered with the SDK hold this, not the manager. A callback
    // enters (gets the owner or nothing), works, and leaves; close() forgets
    // the owner and waits until no callback is inside, so once it returns no
    // callback can reach the manager again.
    class CallbackGate {
    public:
        explicit CallbackGate(CameraManager* owner)
            : owner_(owner)
        {
        }
        CameraManager* enter();
        void leave();
        void close();

    private:
        std::mutex mutex_;
        std::condition_variable idle_;
        CameraManager* owner_;
        int inside_ = 0;
    };

    // The USB half of paramInit (pixel buffer, decoder, "camera_loop" thread),
    // in CameraManagerUsb.cpp. The USB reader owns its own threads and stops
    // them when the destructor releases `reader`.
    void startUsbCapture();

    // Names `thread`, pins it to one processor and, once pinned, gives it
    // first-in-first-out real-time scheduling at the top priority. Failures
    // are not errors: without that processor (or the privilege) it runs
    // unpinned at normal priority.
    static void pinThread(std::thread& thread, int processor, const char* threadName);

    // Sleeps up to `ms`, returning early (false) once `running` is cleared.
    bool sleepWhileRunning(int ms);

    // SDK-thread entry points: they contain every exception (logged, the
    // frame set dropped), since one escaping an SDK thread ends the process.
    void onAlignedFrameSet(const std::shared_ptr<ob::Frame>& frame) noexcept;
    void onImuFrameSet(const std::shared_ptr<ob::FrameSet>& frameSet) noexcept;

private:
    // One session with the depth camera, from opening it to losing it (true:
    // open it again) or to the end of the manager (false).
    bool runDepthCameraOnce();
    void releaseLostCamera(std::shared_ptr<ob::Pipeline>& pipe, std::shared_ptr<ob::Pipeline>& imuPipe);
    void handleAlignedFrameSet(const std::shared_ptr<ob::FrameSet>& frameSet);
    void handleImuFrameSet(const std::shared_ptr<ob::FrameSet>& frameSet);
    bool convertDepthPreview(const std::shared_ptr<rk_mjpeg_decoder_v2>& decoder, int format, const uint8_t* data,
        size_t size, int width, int height, uint8_t* out, int outWidth, int outHeight);
    bool requestPending();

    std::shared_ptr<CapturePolicy> policy_ = std::make_shared<CapturePolicy>();
    // The depth camera's colour preview, decoded off the SDK's thread.
    std::unique_ptr<PreviewThread> preview_;

    // What the camera says about the streams it delivers, attached to every
    // frame set queued; rebuilt when the streams change or the IMU starts.
    // identity_ and calibration_ are guarded by frameMutex.
    depth_calibration::Identity identity_;
    std::shared_ptr<const StreamCalibration> calibration_;
    std::mutex imuProfileMutex_;
    std::shared_ptr<ob::StreamProfile> accelProfile_;  // of the first IMU sample of this camera session
    std::shared_ptr<ob::StreamProfile> gyroProfile_;
    std::atomic<bool> imuProfilesKnown_{false};
    void attachCalibration(FrameSet& set, const std::shared_ptr<ob::Frame>& colour, const std::shared_ptr<ob::Frame>& depth);

    std::shared_ptr<CallbackGate> gate_;
    std::mutex sdkMutex_;
    std::mutex wakeMutex_;
    std::condition_variable wake_;
};
