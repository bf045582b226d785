// The depth camera's capture thread: open the camera (retrying while it is
// absent), enable colour and depth, start, warm up, run the IMU in a pipeline
// of its own, and push every frame set into the align filter, whose callback
// (DepthCallbacks.cpp) does the copying, saving and preview work.

#include <opencv2/core.hpp>

#include <libobsensor/ObSensor.hpp>

#include "DepthCamera.h"
#include "DepthCaptureRules.h"
#include "FrameQueues.h"
#include "Log.h"
#include "PreviewThread.h"
#include "rk_mjpeg_decoder_v2.h"

namespace {
constexpr int kRetryDelayMs = Camera::retryEveryMs;
constexpr int kStartAttempts = 10;
constexpr int kWarmupFrames = 10;
constexpr uint32_t kWarmupTimeoutMs = 500;
constexpr uint32_t kFrameTimeoutMs = 2000;
constexpr int kErrorPauseMs = 100;
} // namespace

// Macros, not functions, so each line names the function that logged it.
#define LOG_OB_ERROR_WITH_ARGS(e)                              \
    do {                                                       \
        LOGE << "  Function: " << (e).getFunction();           \
        LOGE << "  Args: " << (e).getArgs();                   \
        LOGE << "  Message: " << (e).getMessage();             \
        LOGE << "  Type: " << (e).getExceptionType();          \
    } while (0)
#define LOG_OB_ERROR(e)                                        \
    do {                                                       \
        LOGE << "  Function: " << (e).getFunction();           \
        LOGE << "  Message: " << (e).getMessage();             \
        LOGE << "  Type: " << (e).getExceptionType();          \
    } while (0)

void DepthCamera::releaseLostCamera(std::shared_ptr<ob::Pipeline>& pipe, std::shared_ptr<ob::Pipeline>& imuPipe)
{
    // Everything of the lost device goes, so the next session starts clean.
    for (auto* lost : {&imuPipe, &pipe}) {
        if (!*lost)
            continue;
        try {
            (*lost)->stop();
        } catch (...) {
            // Already gone with the camera.
        }
    }
    {
        std::lock_guard<std::mutex> lock(sdkMutex_);
        pipeline_.reset();
        imuPipeline_.reset();
        alignFilter_.reset();
    }
    std::unique_ptr<PreviewThread> preview;
    {
        std::lock_guard<std::mutex> lock(frameMutex_);
        preview = std::move(preview_);
    }
    preview.reset();  // joined outside the lock
    imuPipe.reset();
    pipe.reset();
    previewMailbox().clear();
}

void DepthCamera::captureLoop()
{
    // A camera lost while streaming is opened again, once a second, for as
    // long as the camera lives; the preview comes back by itself.
    while (runOnce() && running()) {
        countReconnect();
        LOGW << "Depth camera lost; trying to open it again every " << kRetryDelayMs << " ms";
        sleepWhileRunning(kRetryDelayMs);
    }
}

bool DepthCamera::runOnce()
{
    // 1. Open the camera; an absent or busy camera is retried every second for as long as we run.
    std::shared_ptr<ob::Pipeline> pipe;
    int attempts = 0;
    while (running()) {
        ++attempts;
        LOGI << "Attempting to create pipeline (attempt " << attempts << ")...";
        try {
            pipe = std::make_shared<ob::Pipeline>();
            LOGI << "Pipeline created successfully";
            break;
        } catch (const ob::Error& e) {
            LOGE << "Failed to create pipeline:";
            LOG_OB_ERROR_WITH_ARGS(e);
            const int type = e.getExceptionType();
            if (type == OB_EXCEPTION_TYPE_CAMERA_DISCONNECTED) {
                LOGE << "Camera disconnected, retrying in " << kRetryDelayMs << "ms...";
            } else if (type == OB_EXCEPTION_TYPE_PLATFORM || type == OB_EXCEPTION_TYPE_IO) {
                LOGE << "Platform/IO error, retrying in " << kRetryDelayMs << "ms...";
            } else {
                LOGE << "Fatal error, cannot retry. Exiting...";
                return false;
            }
            pipe.reset();
            sleepWhileRunning(kRetryDelayMs);
        } catch (const std::exception& e) {
            LOGE << "Standard exception during pipeline creation: " << e.what();
            return false;
        } catch (...) {
            LOGE << "Unknown exception during pipeline creation";
            return false;
        }
    }
    if (!pipe) {
        LOGE << "Failed to create pipeline after " << attempts << " attempts.";
        return false;
    }
    {
        // Published so that the destructor can stop it and wake us.
        std::lock_guard<std::mutex> lock(sdkMutex_);
        pipeline_ = pipe;
    }

    std::shared_ptr<ob::Pipeline> imuPipe;
    try {
        // 2. Sensors: the IMU runs only when the device has both of its sensors.
        auto config = std::make_shared<ob::Config>();
        auto device = pipe->getDevice();
        {
            // A camera session starts its calibration afresh: the camera may have been replaced.
            const auto identity = depth_calibration::identify(device);
            std::lock_guard<std::mutex> lock(frameMutex_);
            identity_ = identity;
            calibration_.reset();
        }
        {
            std::lock_guard<std::mutex> lock(imuProfileMutex_);
            accelProfile_.reset();
            gyroProfile_.reset();
            imuProfilesKnown_ = false;
        }
        auto sensors = device->getSensorList();
        bool hasAccel = false;
        bool hasGyro = false;
        for (uint32_t i = 0; i < sensors->getCount(); ++i) {
            const OBSensorType type = sensors->getSensorType(i);
            LOGD << "Sensor[" << i << "]: type=" << type;
            if (type == OB_SENSOR_ACCEL) {
                hasAccel = true;
                LOGD << "Found ACCEL sensor";
            } else if (type == OB_SENSOR_GYRO) {
                hasGyro = true;
                LOGD << "Found GYRO sensor";
            }
        }

        // 3. Streams, in the order requested.
        for (const CameraConfig& c : requests()) {
            if (c.streamType == camera_stream::kDepth) {
                LOGD << "Configuring Depth: " << c.width << "x" << c.height << " @ " << c.fps
                     << "fps, format=" << c.format;
                config->enableVideoStream(OB_STREAM_DEPTH, static_cast<uint32_t>(c.width),
                    static_cast<uint32_t>(c.height), static_cast<uint32_t>(c.fps), static_cast<OBFormat>(c.format));
            } else if (c.streamType == camera_stream::kColor) {
                LOGD << "Configuring Color: " << c.width << "x" << c.height << " @ " << c.fps
                     << "fps, format=" << c.format;
                config->enableVideoStream(OB_STREAM_COLOR, static_cast<uint32_t>(c.width),
                    static_cast<uint32_t>(c.height), static_cast<uint32_t>(c.fps), static_cast<OBFormat>(c.format));
            }
        }

        // 4. A frame set may lack a stream; the IMU has a pipeline of its own.
        config->setFrameAggregateOutputMode(OB_FRAME_AGGREGATE_OUTPUT_ANY_SITUATION);
        LOGD << "Frame aggregate mode: ANY_SITUATION (IMU uses separate pipeline)";

        // 5. The preview takes the colour stream's size.
        const CameraConfig* color = firstColorConfig(requests());
        if (color) {
            LOGD << "initDepthNV12 Configuring Color: " << color->width << "x" << color->height << " @ "
                 << color->fps << "fps, format=" << color->format;
            // Frames of an earlier stream have another size; they carry it, but are stale.
            previewMailbox().clear();
        }

        // 6. What the SDK made of the requests.
        LOGD << "=== Enabled Stream Profiles ===";
        auto profiles = config->getEnabledStreamProfileList();
        for (uint32_t i = 0; i < profiles->getCount(); ++i) {
            auto profile = profiles->getProfile(i);
            const OBStreamType type = profile->getType();
            if (profile->is<ob::VideoStreamProfile>()) {
                auto video = profile->as<ob::VideoStreamProfile>();
                LOGD << i << ". Type: " << type << ", Format: " << video->getFormat()
                     << ", Resolution: " << video->getWidth() << "x" << video->getHeight()
                     << ", FPS: " << video->getFps();
            } else if (type == OB_STREAM_ACCEL) {
                LOGD << i << ". Type: ACCEL (IMU Accelerometer)";
            } else if (type == OB_STREAM_GYRO) {
                LOGD << i << ". Type: GYRO (IMU Gyroscope)";
            } else {
                LOGD << i << ". Type: " << type << " (Unknown Stream)";
            }
        }

        // 7. Start; a camera that drops off meanwhile gets a few more tries.
        bool started = false;
        for (int k = 1; k <= kStartAttempts && running(); ++k) {
            LOGI << "Starting pipeline (attempt " << k << "/" << kStartAttempts << ")...";
            try {
                pipe->start(config);
                LOGI << "Pipeline started successfully";
                started = true;
                break;
            } catch (const ob::Error& e) {
                LOGE << "Failed to start pipeline:";
                LOG_OB_ERROR_WITH_ARGS(e);
                if (e.getExceptionType() != OB_EXCEPTION_TYPE_CAMERA_DISCONNECTED) {
                    LOGE << "Fatal error starting pipeline. Exiting...";
                    return false;
                }
                LOGE << "Camera disconnected during start, retrying...";
                sleepWhileRunning(kRetryDelayMs);
            }
        }
        if (!started) {
            if (running())
                LOGE << "Failed to start pipeline after " << kStartAttempts << " attempts";
            else
                LOGI << "Pipeline start abandoned: the camera is being destroyed";
            return false;
        }

        // 8. The first frame sets after a start are not worth keeping.
        LOGD << "Warming up (skipping first 10 frames)...";
        for (int i = 0; i < kWarmupFrames && running(); ++i) {
            if (!pipe->waitForFrameset(kWarmupTimeoutMs))
                LOGW << "Warmup: Failed to get frameset " << i;
        }
        LOGD << "Warmup completed";

        // 9. IMU in a pipeline of its own; without it colour and depth still stream.
        if (hasAccel && hasGyro && running()) {
            LOGD << "Creating separate IMU Pipeline...";
            try {
                imuPipe = std::make_shared<ob::Pipeline>(device);
                auto imuConfig = std::make_shared<ob::Config>();
                imuConfig->enableGyroStream(OB_GYRO_FS_ANY, OB_SAMPLE_RATE_200_HZ);
                imuConfig->enableAccelStream(OB_ACCEL_FS_ANY, OB_SAMPLE_RATE_200_HZ);
                {
                    std::lock_guard<std::mutex> lock(sdkMutex_);
                    imuPipeline_ = imuPipe;
                }
                // The callback holds the gate, never the camera (see DepthCamera.h).
                imuPipe->start(imuConfig, [gate = gate_](std::shared_ptr<ob::FrameSet> frameSet) {
                    if (DepthCamera* owner = gate->enter()) {
                        owner->onImuFrameSet(frameSet);
                        gate->leave();
                    }
                });
                LOGD << "IMU Pipeline started successfully with separate callback";
            } catch (const ob::Error& e) {
                LOGE << "Failed to create/start IMU Pipeline:";
                LOG_OB_ERROR(e);
                imuPipe.reset();
                std::lock_guard<std::mutex> lock(sdkMutex_);
                imuPipeline_.reset();
            }
        }

        // 10. Depth aligned to colour; the aligned sets arrive on the filter's thread.
        auto align = std::make_shared<ob::Align>(OB_STREAM_COLOR);
        align->setCallBack([gate = gate_](std::shared_ptr<ob::Frame> frame) {
            if (DepthCamera* owner = gate->enter()) {
                owner->onAlignedFrameSet(frame);
                gate->leave();
            }
        });
        {
            std::lock_guard<std::mutex> lock(sdkMutex_);
            alignFilter_ = align;
        }
        LOGD << "Depth to Color align filter created with async callback";
        reportStatus(true);

        // 11. Preview decoder at the colour stream's size (0 x 0 decodes nothing).
        const int colorWidth = color ? color->width : 0;
        const int colorHeight = color ? color->height : 0;
        LOGD << "Color stream resolution: " << colorWidth << "x" << colorHeight;
        auto decoder = std::make_shared<rk_mjpeg_decoder_v2>(colorWidth, colorHeight);
        // 12. The preview thread owns its decoder; the callback only hands it frames.
        auto preview = std::make_unique<PreviewThread>(
            previewMailbox(), colorWidth, colorHeight,
            [this, decoder, colorWidth, colorHeight](const PreviewThread::Frame& frame, uint8_t* out) {
                return convertPreview(decoder, frame.format, frame.data.data(), frame.data.size(), frame.width,
                    frame.height, out, colorWidth, colorHeight);
            },
            [this] { reportFrameReady(); },
            "depthpreview");
        {
            // The frame-set callback uses the preview under frameMutex.
            std::lock_guard<std::mutex> lock(frameMutex_);
            preview_ = std::move(preview);
            // 13. Requests made before the stream started do not count.
            trigger_.skipEarlier(policy());
        }
        imuSamples_ = 0;
        colourFrames_ = 0;
        depthFrames_ = 0;

        // 14. Wait and hand over; everything else happens on the filter's thread.
        while (running()) {
            try {
                auto frameSet = pipe->waitForFrameset(kFrameTimeoutMs);
                if (!frameSet) {
                    if (running())
                        LOGW << "Failed to get frameset, timeout";
                    continue;
                }
                align->pushFrame(frameSet);
            } catch (const ob::Error& e) {
                LOGE << "Error during frame capture:";
                LOG_OB_ERROR(e);
                if (e.getExceptionType() == OB_EXCEPTION_TYPE_CAMERA_DISCONNECTED) {
                    LOGE << "Camera disconnected during capture. Attempting to reconnect...";
                    releaseLostCamera(pipe, imuPipe);
                    reportStatus(false);
                    return true;
                }
                sleepWhileRunning(kErrorPauseMs);
            } catch (const std::exception& e) {
                LOGE << "Standard exception during capture: " << e.what();
                sleepWhileRunning(kErrorPauseMs);
            }
        }

        // 15. Orderly stop.
        LOGI << "Stopping pipelines...";
        if (imuPipe) {
            try {
                imuPipe->stop();
                LOGI << "IMU Pipeline stopped successfully";
            } catch (const ob::Error& e) {
                LOGE << "Error stopping IMU pipeline: " << e.getMessage();
            }
        }
        try {
            pipe->stop();
            LOGI << "Depth Pipeline stopped successfully";
        } catch (const ob::Error& e) {
            LOGE << "Error stopping pipeline: " << e.getMessage();
        }
        LOGI << "capture_camera_loop_OB exit";
        return false;
    } catch (const ob::Error& e) {
        LOGE << "Fatal Orbbec error:";
        LOG_OB_ERROR_WITH_ARGS(e);
    } catch (const cv::Exception& e) {
        LOGE << "OpenCV Error: " << e.what();
    } catch (const std::exception& e) {
        LOGE << "Standard exception: " << e.what();
    } catch (...) {
        LOGE << "Unknown exception in capture_camera_loop_OB";
    }
    return false;
}
