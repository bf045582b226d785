#pragma once
// The depth camera (colour, depth aligned to colour, IMU) through its SDK.
//
// Threads: the capture thread (captureLoop) opens the camera, starts it and
// hands every frame set to the align filter; the align filter's callback
// thread (onAlignedFrameSet) copies, saves and previews; the IMU pipeline's
// callback thread (onImuFrameSet) queues the samples. The callbacks never
// touch the camera directly: they go through a CallbackGate that the
// destructor closes, so no callback runs on a destroyed camera.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "Camera.h"
#include "DepthCalibration.h"

namespace ob {
class Pipeline;
class Align;
class Frame;
class FrameSet;
class StreamProfile;
} // namespace ob

class rk_mjpeg_decoder_v2;
class PreviewThread;

class DepthCamera : public Camera {
public:
    DepthCamera();
    ~DepthCamera() override;

    uint64_t framesDelivered() const override { return static_cast<uint64_t>(colourFrames_.load()); }
    // Aligned frame sets seen since the stream started (colour and depth come together).
    int32_t colourFrames() const { return colourFrames_.load(); }
    int32_t depthFrames() const { return depthFrames_.load(); }
    uint64_t imuSamples() const { return imuSamples_.load(); }
    // Frame sets and samples the callbacks dropped because handling them failed.
    uint64_t callbackFailures() const { return callbackFailures_.load(); }

protected:
    void captureLoop() override;

    // SDK-thread entry points: they contain every exception (logged, the
    // frame set dropped), since one escaping an SDK thread ends the process.
    void onAlignedFrameSet(const std::shared_ptr<ob::Frame>& frame) noexcept;
    void onImuFrameSet(const std::shared_ptr<ob::FrameSet>& frameSet) noexcept;

    // Serialises the frame-set callback; guards trigger_, continuousFrameSets_,
    // preview_, identity_ and calibration_. Tests hold it to make two
    // requests land between the same two frame sets.
    std::mutex frameMutex_;
    SnapshotTrigger trigger_;
    int32_t continuousFrameSets_ = 0;  // frame sets seen while a continuous run saves

private:
    // Callbacks registered with the SDK hold this, not the camera. A callback
    // enters (gets the owner or nothing), works, and leaves; close() forgets
    // the owner and waits until no callback is inside, so once it returns no
    // callback can reach the camera again.
    class CallbackGate {
    public:
        explicit CallbackGate(DepthCamera* owner)
            : owner_(owner)
        {
        }
        DepthCamera* enter();
        void leave();
        void close();

    private:
        std::mutex mutex_;
        std::condition_variable idle_;
        DepthCamera* owner_;
        int inside_ = 0;
    };

    // One session with the camera, from opening it to losing it (true: open
    // it again) or to the end of the camera (false).
    bool runOnce();
    void releaseLostCamera(std::shared_ptr<ob::Pipeline>& pipe, std::shared_ptr<ob::Pipeline>& imuPipe);
    void handleAlignedFrameSet(const std::shared_ptr<ob::FrameSet>& frameSet);
    void handleImuFrameSet(const std::shared_ptr<ob::FrameSet>& frameSet);
    bool convertPreview(const std::shared_ptr<rk_mjpeg_decoder_v2>& decoder, int format, const uint8_t* data,
        size_t size, int width, int height, uint8_t* out, int outWidth, int outHeight);
    void attachCalibration(FrameSet& set, const std::shared_ptr<ob::Frame>& colour, const std::shared_ptr<ob::Frame>& depth);

    // Set by the capture thread, stopped by the destructor: read or replace
    // them only under sdkMutex_ and call into them through a copy.
    std::mutex sdkMutex_;
    std::shared_ptr<ob::Pipeline> pipeline_;
    std::shared_ptr<ob::Pipeline> imuPipeline_;
    std::shared_ptr<ob::Align> alignFilter_;

    // The colour preview, decoded off the SDK's thread.
    std::unique_ptr<PreviewThread> preview_;

    // What the camera says about the streams it delivers, attached to every
    // frame set queued; rebuilt when the streams change or the IMU starts.
    depth_calibration::Identity identity_;
    std::shared_ptr<const StreamCalibration> calibration_;
    std::mutex imuProfileMutex_;
    std::shared_ptr<ob::StreamProfile> accelProfile_;  // of the first IMU sample of this camera session
    std::shared_ptr<ob::StreamProfile> gyroProfile_;
    std::atomic<bool> imuProfilesKnown_{false};

    std::atomic<uint64_t> imuSamples_{0};
    std::atomic<int32_t> colourFrames_{0};
    std::atomic<int32_t> depthFrames_{0};
    std::atomic<uint64_t> callbackFailures_{0};

    std::shared_ptr<CallbackGate> gate_;
};
