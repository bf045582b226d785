// The depth camera's SDK callbacks: aligned colour + depth frame sets from the
// align filter's thread, IMU samples from the IMU pipeline's thread. They
// decide by the capture policy what is saved, copy it once into the open
// run's queues, count it and hand the colour frame to the preview thread; a
// full queue drops the newest item (a frame set whole) rather than wait.

#include <cstring>

#include <opencv2/core.hpp>

#include <libobsensor/ObSensor.hpp>

#include "DepthCamera.h"
#include "DepthCapturePreview.h"
#include "DepthCaptureRules.h"
#include "CaptureQueues.h"
#include "FrameQueues.h"
#include "PreviewThread.h"
#include "Log.h"
#include "rk_mjpeg_decoder_v2.h"

namespace {

constexpr uint64_t kImuLogEvery = 200;

std::unique_ptr<uint8_t[]> copyOf(const uint8_t* data, uint32_t size)
{
    auto copy = std::make_unique<uint8_t[]>(size);
    if (size > 0)
        std::memcpy(copy.get(), data, size);
    return copy;
}

} // namespace

void DepthCamera::onAlignedFrameSet(const std::shared_ptr<ob::Frame>& frame) noexcept
{
    // Nothing may leave an SDK thread: an exception there would end the process.
    try {
        if (!running())
            return;
        handleAlignedFrameSet(frame->as<ob::FrameSet>());
    } catch (const ob::Error& e) {
        ++callbackFailures_;
        LOGE << "Aligned frame set dropped: " << e.getFunction() << ": " << e.getMessage();
    } catch (const std::exception& e) {
        ++callbackFailures_;
        LOGE << "Aligned frame set dropped: " << e.what();
    } catch (...) {
        ++callbackFailures_;
        LOGE << "Aligned frame set dropped: unknown exception";
    }
}

void DepthCamera::handleAlignedFrameSet(const std::shared_ptr<ob::FrameSet>& frameSet)
{
    auto colorFrame = frameSet->getFrame(OB_FRAME_COLOR);
    auto depthFrame = frameSet->getFrame(OB_FRAME_DEPTH);

    // One frame set at a time: trigger_, continuousFrameSets_ and preview_ are ours alone here.
    std::lock_guard<std::mutex> lock(frameMutex_);
    if (!running())
        return;
    CapturePolicy& policy = this->policy();

    bool save = false;
    const bool onRequest = policy.onRequest.load();
    if (policy.saving) {
        if (onRequest) {
            save = trigger_.take(policy);
            if (save)
                LOGD << (policy.soil ? "Dirty" : "SingleShot") << " mode: Trigger detected, lastCount: " << trigger_.served();
        } else {
            const int32_t seen = ++continuousFrameSets_;
            const int32_t stride = policy.stride.load();
            save = stride <= 1 || seen % stride == 0;
        }
    }

    // A set missing either frame is of no use (a request it consumed is lost with it).
    if (!colorFrame || !depthFrame)
        return;

    auto color = colorFrame->as<ob::VideoFrame>();
    auto depth = depthFrame->as<ob::VideoFrame>();
    const int colorFormat = color->getFormat();
    const int colorWidth = static_cast<int>(color->getWidth());
    const int colorHeight = static_cast<int>(color->getHeight());
    const uint8_t* colorData = color->getData();
    const uint32_t colorSize = color->getDataSize();
    const int depthWidth = static_cast<int>(depth->getWidth());
    const int depthHeight = static_cast<int>(depth->getHeight());
    const uint32_t depthSize = depth->getDataSize();
    if (colourFrames_.load() == 0)
        LOGD << "First Color Frame (aligned): " << colorWidth << "x" << colorHeight << " @ format " << colorFormat
             << ", data size: " << colorSize << " bytes";
    if (depthFrames_.load() == 0)
        LOGD << "First Depth Frame (aligned to color): " << depthWidth << "x" << depthHeight << " @ format "
             << depth->getFormat() << ", data size: " << depthSize << " bytes";
    ++colourFrames_;
    ++depthFrames_;

    if (save) {
        // Colour exactly as delivered (MJPG normally), depth Y16 aligned to
        // colour, queued as one set: ownership passes to the run's worker.
        FrameSet set;
        set.timestamp = makeTimestampText(&set.hostUtcUs);
        set.snapshotId = onRequest ? trigger_.served() : 0;
        set.colour = {copyOf(colorData, colorSize), colorSize, colorWidth, colorHeight, color->getTimeStampUs(),
            color->getIndex()};
        set.depth = {copyOf(depth->getData(), depthSize), depthSize, depthWidth, depthHeight, depth->getTimeStampUs(),
            depth->getIndex()};
        attachCalibration(set, colorFrame, depthFrame);
        ++policy.colour.produced;
        ++policy.depth.produced;
        const auto queues = policy.queues();
        if (queues && queues->pushDepthSet(std::move(set))) {
            ++policy.colour.queued;
            ++policy.depth.queued;
            if (onRequest)
                policy.notifySnapshotQueued();
        } else {
            ++policy.colour.refused;
            ++policy.depth.refused;
            ++policy.droppedFrameSets;
        }
    }

    // The preview thread decodes; this thread only copies.
    if (running() && preview_)
        preview_->submit(colorData, colorSize, colorFormat, colorWidth, colorHeight);
}

void DepthCamera::attachCalibration(
    FrameSet& set, const std::shared_ptr<ob::Frame>& colour, const std::shared_ptr<ob::Frame>& depth)
{
    // Under frameMutex_. Built once per change, shared by every set after it.
    const bool imuKnown = imuProfilesKnown_.load();
    const auto& known = calibration_;
    const bool stale = !known || !known->colour || !known->depth || known->colour->width != set.colour.width
        || known->colour->height != set.colour.height || known->depth->width != set.depth.width
        || known->depth->height != set.depth.height || known->imuDelivered != imuKnown;
    if (stale) {
        std::shared_ptr<ob::StreamProfile> accel;
        std::shared_ptr<ob::StreamProfile> gyro;
        {
            std::lock_guard<std::mutex> lock(imuProfileMutex_);
            accel = accelProfile_;
            gyro = gyroProfile_;
        }
        auto colourView = colour->as<ob::VideoFrame>();
        auto depthView = depth->as<ob::DepthFrame>();
        calibration_ = depth_calibration::read(identity_, *colourView, *depthView, accel, gyro);
        LOGI << "Camera calibration " << (calibration_->known() ? "read" : "not given by the camera") << " for "
             << set.colour.width << "x" << set.colour.height << (accel ? " with the IMU" : "");
    }
    set.calibration = calibration_;
}

bool DepthCamera::convertPreview(const std::shared_ptr<rk_mjpeg_decoder_v2>& decoder, int format,
    const uint8_t* data, size_t size, int width, int height, uint8_t* out, int outWidth, int outHeight)
{
    bool converted = false;
    if (format == OB_FORMAT_MJPG) {
        if (!decoder)
            LOGW << "jpeg_decoder_depthMjpeg is null, cannot decode MJPG preview frame";
        else
            converted = decoder->decode(data, static_cast<int>(size), out);
    } else if (isRawPreviewFormat(format)) {
        converted = rawColorToNV12(format, data, size, width, height, out, outWidth, outHeight);
    } else {
        LOGW << "Unsupported color format for preview conversion: " << format;
    }
    if (!converted)
        LOGW << "Preview color conversion failed, fmt=" << format << ", size=" << width << "x" << height
             << ", dataSize=" << size;
    return converted;
}

void DepthCamera::onImuFrameSet(const std::shared_ptr<ob::FrameSet>& frameSet) noexcept
{
    try {
        handleImuFrameSet(frameSet);
    } catch (const ob::Error& e) {
        ++callbackFailures_;
        LOGE << "IMU sample dropped: " << e.getFunction() << ": " << e.getMessage();
    } catch (const std::exception& e) {
        ++callbackFailures_;
        LOGE << "IMU sample dropped: " << e.what();
    } catch (...) {
        ++callbackFailures_;
        LOGE << "IMU sample dropped: unknown exception";
    }
}

void DepthCamera::handleImuFrameSet(const std::shared_ptr<ob::FrameSet>& frameSet)
{
    // No frameMutex_ here: this runs beside the frame-set callback and touches only atomics and the queue.
    auto accelFrame = frameSet->getFrame(OB_FRAME_ACCEL);
    auto gyroFrame = frameSet->getFrame(OB_FRAME_GYRO);
    if (!accelFrame || !gyroFrame)
        return;
    auto accel = accelFrame->as<ob::AccelFrame>();
    auto gyro = gyroFrame->as<ob::GyroFrame>();
    const OBAccelValue a = accel->getValue();
    const OBGyroValue g = gyro->getValue();
    const uint64_t sampleIndex = ++imuSamples_;
    if (!imuProfilesKnown_.load()) {
        // The first sample's profiles carry the IMU's calibration for the frame sets' record.
        std::lock_guard<std::mutex> lock(imuProfileMutex_);
        accelProfile_ = accel->getStreamProfile();
        gyroProfile_ = gyro->getStreamProfile();
        imuProfilesKnown_ = true;
    }

    CapturePolicy& policy = this->policy();
    // Soil collection keeps no motion data.
    if (!policy.saving || policy.soil)
        return;

    ImuSample sample;
    sample.accel[0] = a.x;
    sample.accel[1] = a.y;
    sample.accel[2] = a.z;
    sample.gyro[0] = g.x;
    sample.gyro[1] = g.y;
    sample.gyro[2] = g.z;
    sample.accelUs = accel->getTimeStampUs();
    sample.gyroUs = gyro->getTimeStampUs();
    sample.hostUtcUs = hostUtcMicros();
    ++policy.imu.produced;
    const auto queues = policy.queues();
    if (queues && queues->pushImu(std::move(sample)))
        ++policy.imu.queued;
    else
        ++policy.imu.refused;
    if (sampleIndex % kImuLogEvery == 0)
        LOGD << "IMU frame " << sampleIndex << " queued (200HZ, separate pipeline), device_timestamp_us: "
             << std::min(accel->getTimeStampUs(), gyro->getTimeStampUs());
}
