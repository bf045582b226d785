// The USB half of CameraManager: the "camera_loop" thread that finds the
// camera by name (again whenever it is lost), reads it through Video4Linux2,
// hands frames to the preview thread and, for soil collection, queues the
// requested snapshot for saving.

#include <chrono>
#include <cstring>
#include <thread>

#include "CameraManager.h"
#include "DepthCapturePreview.h"
#include "FrameQueues.h"
#include "Log.h"
#include "PreviewThread.h"
#include "rk_mjpeg_decoder_v2.h"
#include "v4l2_device_list.h"
#include "v4l2_usb_read.h"

namespace {

std::size_t pixelBufferSize(const CameraConfig& config)
{
    return static_cast<std::size_t>(std::max(config.width, 0)) * std::max(config.height, 0) * 3;
}

// Logs every device of the listing and returns the node of the camera called `name`.
std::string discoverCameraNode(const std::string& name)
{
    const auto devices = camera_base::parseV4l2DeviceList(camera_base::listV4l2Devices());
    for (const auto& device : devices) {
        if (device.nodes.empty())
            continue;
        LOGI << "Camera Name: " << device.name;
        for (const auto& node : device.nodes)
            LOGI << "  Device: " << node;
    }
    return camera_base::findVideoNodeByName(devices, name);
}

} // namespace

void CameraManager::startUsbCapture()
{
    const CameraConfig& first = cameraConfigs.front();
    pixelBuffer = std::make_unique<uint8_t[]>(pixelBufferSize(first));
    cameraType_ = usb_camera;
    jpegDecoder = std::make_shared<rk_mjpeg_decoder_v2>(first.width, first.height);
    captureThread = std::thread(&CameraManager::capture_camera_loop, this);
    pinThread(captureThread, 6, "camera_loop");
}

void CameraManager::capture_camera_loop()
{
    const CameraConfig request = cameraConfigs.front();
    const std::size_t bufferSize = pixelBufferSize(request);
    const int fps = request.fps > 0 ? request.fps : 30;

    // Opened again, once a second, whenever it is lost, for as long as the manager lives.
    while (running) {
        std::shared_ptr<camera_base::usb_rgb_camera_read_impl> usbReader;
        std::string node;
        while (running && !usbReader) {
            node = discoverCameraNode(name);
            LOGI << "try to open camera : " << node;
            LOGD << "====cameraType_:" << cameraType_;
            auto candidate = std::make_shared<camera_base::usb_rgb_camera_read_impl>();
            candidate->dev_name = node;
            candidate->camera_name = name;
            candidate->pixel_format = static_cast<uint32_t>(request.streamType);
            candidate->width = static_cast<unsigned>(request.width);
            candidate->height = static_cast<unsigned>(request.height);
            candidate->fps = static_cast<unsigned>(fps);
            candidate->external_buffer = pixelBuffer.get();
            candidate->external_buffer_size = bufferSize;
            candidate->timeout_ms = (1000 / fps) * 3;
            if (candidate->open()) {
                usbReader = std::move(candidate);
                break;
            }
            candidate.reset();
            sleepWhileRunning(1000);
        }
        if (!usbReader)
            break;
        reader = usbReader;
        if (!runUsbFrames(*usbReader, node))
            break;
        LOGW << "USB camera " << name << " lost; trying to open it again every second";
        if (notifyCameraStatusFunc_)
            notifyCameraStatusFunc_(false);
        ++reconnectCount;
        reader.reset();
        usbReader.reset();
        sleepWhileRunning(1000);
    }
    LOGI << "capture_camera_loop exit";
}

bool CameraManager::runUsbFrames(camera_base::CameraRead& source, const std::string& node)
{
    const CameraConfig request = cameraConfigs.front();
    const std::size_t bufferSize = pixelBufferSize(request);
    const bool isMjpeg = static_cast<uint32_t>(request.streamType) == camera_base::fourcc("MJPG");
    const bool isYuyv = static_cast<uint32_t>(request.streamType) == camera_base::fourcc("YUYV");

    LOGI << "open camera success : " << node;
    if (notifyCameraStatusFunc_)
        notifyCameraStatusFunc_(true);
    previewMailbox.clear();  // frames of an earlier stream

    // Decoding happens on the preview thread; this thread reads and copies.
    std::shared_ptr<rk_mjpeg_decoder_v2> decoder = jpegDecoder;
    PreviewThread preview(
        previewMailbox, request.width, request.height,
        [decoder, isMjpeg, isYuyv, request](const PreviewThread::Frame& frame, uint8_t* out) {
            if (isMjpeg)
                return decoder && decoder->decode(frame.data.data(), static_cast<int>(frame.data.size()), out);
            if (isYuyv)
                return rawColorToNV12(camera_format::kYUYV, frame.data.data(), frame.data.size(), request.width,
                    request.height, out, request.width, request.height);
            return false;
        },
        [this] {
            if (notifyRenderFrameFunc_)
                notifyRenderFrameFunc_();
        },
        "usbpreview");
    if (!notifyRenderFrameFunc_)
        LOGW << "notifyRenderFrameFunc_ is null, UI render will not be triggered";

    usbFrameCount = 0;
    auto lastFpsCheck = std::chrono::steady_clock::now();
    auto lastFrame = lastFpsCheck;
    bool failing = false;
    {
        std::lock_guard<std::mutex> lock(frameMutex);
        lastCount = policy_->requests();
    }
    // What a USB camera says of itself: its card name and the stream's size
    // and format. It gives no pinhole model, and none is made up.
    auto calibration = std::make_shared<StreamCalibration>();
    calibration->usbCamera = true;
    calibration->name = name;
    StreamCalibration::Stream stream;
    stream.width = request.width;
    stream.height = request.height;
    stream.format = isMjpeg ? "MJPG" : isYuyv ? "YUYV" : "unknown";
    stream.fps = request.fps;
    stream.payload = isMjpeg ? "jpeg" : "raw";
    calibration->colour = stream;
    // The reader may copy the next frame into its buffer at any time; work on a copy.
    auto frame = std::make_unique<uint8_t[]>(bufferSize);
    CapturePolicy& policy = *policy_;

    while (running) {
        if (!source.get_frame()) {
            if (!failing)
                LOGE << "get_frame() == nullptr";
            failing = true;
            if (std::chrono::steady_clock::now() - lastFrame > std::chrono::milliseconds(usbLostAfterMs))
                return running.load();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        failing = false;
        lastFrame = std::chrono::steady_clock::now();
        const unsigned size = source.copy_last_frame(frame.get(), bufferSize);
        ++usbFrameCount;

        if (policy.saving && policy.soil) {
            bool requested = false;
            uint64_t snapshot = 0;
            {
                std::lock_guard<std::mutex> lock(frameMutex);
                requested = requestPending();
                snapshot = lastCount;
            }
            if (requested) {
                FrameSet set;
                set.timestamp = makeTimestampText(&set.hostUtcUs);
                set.snapshotId = snapshot;
                set.colour.data = std::make_unique<uint8_t[]>(size);
                std::memcpy(set.colour.data.get(), frame.get(), size);
                set.colour.size = size;
                set.colour.width = request.width;
                set.colour.height = request.height;
                set.colour.frameIndex = usbFrameCount;
                set.calibration = calibration;
                ++policy.usb.produced;
                // A full queue leaves the copy here, freed with the set.
                const auto runQueues = policy.queues();
                if (runQueues && runQueues->pushUsbFrame(std::move(set))) {
                    ++policy.usb.queued;
                    policy.notifySnapshotQueued();
                } else {
                    ++policy.usb.refused;
                }
                LOGD << "USB RGB camera single shot captured, frame size: " << size << ", snapshot " << snapshot;
            }
        }

        preview.submit(frame.get(), size, 0, request.width, request.height);

        if (usbFrameCount % 100 == 0) {
            const auto now = std::chrono::steady_clock::now();
            const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastFpsCheck).count();
            lastFpsCheck = now;
            const double measured = elapsedMs > 0 ? 100.0 * 1000.0 / static_cast<double>(elapsedMs) : 0.0;
            if (measured < 29.0)
                LOGD << "================fps: " << measured;
        }
    }
    return false;
}
