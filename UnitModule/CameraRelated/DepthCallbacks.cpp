// The depth camera's SDK callbacks: aligned colour + depth frame sets from the
// align filter's thread, IMU samples from the IMU pipeline's thread. They
// decide what is saved, copy it once into the save queues and make the
// colour preview; a full queue drops the newest item rather than wait.

#include <cstring>

#include <opencv2/core.hpp>

#include <libobsensor/ObSensor.hpp>

#include "CameraManager.h"
#include "CollectionContext.h"
#include "DepthCapturePreview.h"
#include "DepthCaptureRules.h"
#include "FrameQueues.h"
#include "Log.h"
#include "rk_mjpeg_decoder_v2.h"

namespace {

const char* const kDirtyTask = "soil_collection";
const char* const kSingleShotMode = "single_shot";
constexpr uint64_t kImuLogEvery = 200;

std::unique_ptr<uint8_t[]> copyOf(const uint8_t* data, uint32_t size)
{
    auto copy = std::make_unique<uint8_t[]>(size);
    if (size > 0)
        std::memcpy(copy.get(), data, size);
    return copy;
}

} // namespace

void CameraManager::onAlignedFrameSet(const std::shared_ptr<ob::Frame>& frame) noexcept
{
    // Nothing may leave an SDK thread: an exception there would end the process.
    try {
        if (!running)
            return;
        handleAlignedFrameSet(frame->as<ob::FrameSet>());
    } catch (const ob::Error& e) {
        ++callbackFailureCount;
        LOGE << "Aligned frame set dropped: " << e.getFunction() << ": " << e.getMessage();
    } catch (const std::exception& e) {
        ++callbackFailureCount;
        LOGE << "Aligned frame set dropped: " << e.what();
    } catch (...) {
        ++callbackFailureCount;
        LOGE << "Aligned frame set dropped: unknown exception";
    }
}

void CameraManager::handleAlignedFrameSet(const std::shared_ptr<ob::FrameSet>& frameSet)
{
    auto colorFrame = frameSet->getFrame(OB_FRAME_COLOR);
    auto depthFrame = frameSet->getFrame(OB_FRAME_DEPTH);

    // One frame set at a time: lastCount, frameCounter and the decoder are ours alone here.
    std::lock_guard<std::mutex> lock(frameMutex);
    if (!running)
        return;
    const std::string timestamp = makeTimestampText();

    bool save = false;
    bool triggered = false;  // single shot or dirty: saved only on a request
    CollectionInfo info;
    if (isSaveFile_) {
        info = CollectionContext::instance().collectionInfo();
        const bool dirty = info.task_label == kDirtyTask;
        triggered = dirty || info.capture_mode == kSingleShotMode;
        if (triggered) {
            const uint64_t current = captureTriggerCount.load();
            if (lastCount < current) {
                save = true;
                lastCount = current;  // several requests since the last set make one capture
                LOGD << (dirty ? "Dirty" : "SingleShot") << " mode: Trigger detected, currentCount: " << current
                     << ", lastCount: " << lastCount;
            }
        } else {
            const int32_t seen = ++frameCounter;
            const int32_t scale = saveScale.load();
            save = scale <= 1 || seen % scale == 0;
        }
    }

    // A set missing either frame is of no use (a trigger it consumed is lost with it).
    if (!colorFrame || !depthFrame)
        return;

    std::string token;
    if (save) {
        token = FrameQueueManager::instance().popCaptureToken();
        if (!token.empty())
            LOGD << "FrameSet capture token popped: " << token;
    }

    // Colour: saved exactly as delivered (MJPEG normally); previewed once its
    // depth is queued too, so that a stop cannot fall between the two records.
    auto color = colorFrame->as<ob::VideoFrame>();
    const int colorFormat = color->getFormat();
    const int colorWidth = static_cast<int>(color->getWidth());
    const int colorHeight = static_cast<int>(color->getHeight());
    const uint8_t* colorData = color->getData();
    const uint32_t colorSize = color->getDataSize();
    if (colorFrameCount.load() == 0)
        LOGD << "First Color Frame (aligned): " << colorWidth << "x" << colorHeight << " @ format " << colorFormat
             << ", data size: " << colorSize << " bytes";
    ++colorFrameCount;
    if (save) {
        // Ownership of the copy passes to the save worker through the queue.
        FrameQueueManager::instance().depthMjpegQueue.push(
            copyOf(colorData, colorSize), colorSize, timestamp, 0, 0, token);
        LOGD << "Saved RGB frame (aligned), frame size: " << colorSize << ", timestamp: " << timestamp;
    }

    // Depth: Y16, aligned to colour, saved with its size.
    auto depth = depthFrame->as<ob::VideoFrame>();
    const int depthWidth = static_cast<int>(depth->getWidth());
    const int depthHeight = static_cast<int>(depth->getHeight());
    const uint32_t depthSize = depth->getDataSize();
    if (depthFrameCount.load() == 0)
        LOGD << "First Depth Frame (aligned to color): " << depthWidth << "x" << depthHeight << " @ format "
             << depth->getFormat() << ", data size: " << depthSize << " bytes";
    ++depthFrameCount;
    if (save) {
        FrameQueueManager::instance().depthQueue.push(
            copyOf(depth->getData(), depthSize), depthSize, timestamp, depthWidth, depthHeight, token);
        if (triggered)
            LOGD << (info.capture_mode == kSingleShotMode ? "SingleShot" : "Dirty")
                 << " mode: Saved Depth frame (aligned), size: " << depthWidth << "x" << depthHeight
                 << ", timestamp: " << timestamp;
    }

    if (running)
        previewColorFrame(colorFormat, colorData, colorSize, colorWidth, colorHeight);
}

void CameraManager::previewColorFrame(int format, const uint8_t* data, uint32_t size, int width, int height)
{
    NV12FrameQueue& queue = FrameQueueManager::instance().depthNV12Queue;
    const int32_t frameSize = queue.frameSize.load();
    const int previewWidth = queue.width.load();
    const int previewHeight = queue.height.load();

    bool converted = false;
    std::unique_ptr<uint8_t[]> buffer;
    // A preview that fails is dropped; the save above already happened.
    try {
        if (frameSize > 0)
            buffer = std::make_unique<uint8_t[]>(static_cast<size_t>(frameSize));
        if (format == OB_FORMAT_MJPG) {
            if (!jpeg_decoder_depthMjpeg)
                LOGW << "jpeg_decoder_depthMjpeg is null, cannot decode MJPG preview frame";
            else if (buffer)
                converted = jpeg_decoder_depthMjpeg->decode(data, static_cast<int>(size), buffer.get());
        } else if (isRawPreviewFormat(format)) {
            if (buffer)
                converted
                    = rawColorToNV12(format, data, size, width, height, buffer.get(), previewWidth, previewHeight);
        } else {
            LOGW << "Unsupported color format for preview conversion: " << format;
        }
    } catch (const std::exception& e) {
        LOGW << "Preview conversion raised: " << e.what();
        converted = false;
    }
    if (!converted) {
        LOGW << "Preview color conversion failed, fmt=" << format << ", size=" << width << "x" << height
             << ", dataSize=" << size;
        return;
    }

    // The buffer belongs to the queue from here; the GUI thread pops it.
    if (!queue.push(std::move(buffer))) {
        LOGW << "DepthNV12 queue full, frame dropped";
        return;
    }
    if (running && notifyRenderFrameFunc_)
        notifyRenderFrameFunc_();
}

void CameraManager::onImuFrameSet(const std::shared_ptr<ob::FrameSet>& frameSet) noexcept
{
    try {
        handleImuFrameSet(frameSet);
    } catch (const ob::Error& e) {
        ++callbackFailureCount;
        LOGE << "IMU sample dropped: " << e.getFunction() << ": " << e.getMessage();
    } catch (const std::exception& e) {
        ++callbackFailureCount;
        LOGE << "IMU sample dropped: " << e.what();
    } catch (...) {
        ++callbackFailureCount;
        LOGE << "IMU sample dropped: unknown exception";
    }
}

void CameraManager::handleImuFrameSet(const std::shared_ptr<ob::FrameSet>& frameSet)
{
    // No frameMutex here: this runs beside the frame-set callback and touches only atomics and the queue.
    auto accelFrame = frameSet->getFrame(OB_FRAME_ACCEL);
    auto gyroFrame = frameSet->getFrame(OB_FRAME_GYRO);
    if (!accelFrame || !gyroFrame)
        return;
    auto accel = accelFrame->as<ob::AccelFrame>();
    auto gyro = gyroFrame->as<ob::GyroFrame>();
    const OBAccelValue a = accel->getValue();
    const OBGyroValue g = gyro->getValue();
    const uint64_t sampleIndex = ++imuSampleCount;

    if (!isSaveFile_)
        return;
    // Soil collection keeps no motion data.
    if (CollectionContext::instance().collectionInfo().task_label == kDirtyTask)
        return;

    const uint64_t accelUs = accel->getTimeStampUs();
    const uint64_t gyroUs = gyro->getTimeStampUs();
    const std::string text = makeImuSampleText({a.x, a.y, a.z}, {g.x, g.y, g.z}, accelUs, gyroUs);
    const std::string timestamp = makeTimestampText();
    const auto size = static_cast<uint32_t>(text.size());
    FrameQueueManager::instance().imuQueue.push(
        copyOf(reinterpret_cast<const uint8_t*>(text.data()), size), size, timestamp, 0, 0, std::string());
    if (sampleIndex % kImuLogEvery == 0)
        LOGD << "IMU frame " << sampleIndex << " saved (200HZ, separate pipeline), "
             << "system_timestamp: " << timestamp << ", device_timestamp_us: " << std::min(accelUs, gyroUs)
             << ", size: " << size << " bytes";
}
