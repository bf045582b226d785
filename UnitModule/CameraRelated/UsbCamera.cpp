#include "UsbCamera.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "DepthCapturePreview.h"
#include "Log.h"
#include "PreviewThread.h"
#include "rk_mjpeg_decoder_v2.h"
#include "v4l2_device_list.h"
#include "v4l2_usb_read.h"

namespace {

// Room for any frame of the stream: no MJPG or YUYV frame needs more than three bytes a pixel.
std::size_t frameCapacity(const CameraConfig& request)
{
    return static_cast<std::size_t>(std::max(request.width, 0)) * std::max(request.height, 0) * 3;
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

// The reader copies every frame into a buffer it does not own; this one
// outlives it (a base is destroyed after the classes derived from it, so
// after the reader has joined its thread).
struct FrameBuffer {
    explicit FrameBuffer(std::size_t bufferSize)
        : bytes(std::make_unique<uint8_t[]>(bufferSize))
        , size(bufferSize)
    {
    }
    std::unique_ptr<uint8_t[]> bytes;
    std::size_t size;
};

struct V4l2Camera : FrameBuffer, camera_base::usb_rgb_camera_read_impl {
    explicit V4l2Camera(std::size_t bufferSize)
        : FrameBuffer(bufferSize)
    {
    }
};

std::unique_ptr<camera_base::CameraRead> openV4l2Camera(const std::string& name, const CameraConfig& request)
{
    const std::string node = discoverCameraNode(name);
    LOGI << "try to open camera : " << node;
    const int fps = request.fps > 0 ? request.fps : 30;
    auto camera = std::make_unique<V4l2Camera>(frameCapacity(request));
    camera->dev_name = node;
    camera->pixel_format = static_cast<uint32_t>(request.streamType);
    camera->width = static_cast<unsigned>(request.width);
    camera->height = static_cast<unsigned>(request.height);
    camera->fps = static_cast<unsigned>(fps);
    camera->external_buffer = camera->bytes.get();
    camera->external_buffer_size = camera->size;
    camera->timeout_ms = (1000 / fps) * 3;
    if (!camera->open())
        return nullptr;
    LOGI << "open camera success : " << node;
    return camera;
}

} // namespace

UsbCamera::UsbCamera()
    : UsbCamera(openV4l2Camera)
{
}

UsbCamera::UsbCamera(Opener opener)
    : Camera(6, "camera_loop")
    , opener_(std::move(opener))
{
}

UsbCamera::~UsbCamera()
{
    stopRunning();
    // The reader lives on the capture thread's stack and goes with it.
    joinCaptureThread();
}

void UsbCamera::captureLoop()
{
    const CameraConfig request = requests().front();
    while (running()) {
        std::unique_ptr<camera_base::CameraRead> source = opener_ ? opener_(name(), request) : nullptr;
        if (!source) {
            sleepWhileRunning(retryEveryMs);
            continue;
        }
        const bool lost = runFrames(*source);
        source.reset();  // closes the device before anyone opens it again
        if (!lost)
            break;
        LOGW << "USB camera " << name() << " lost; trying to open it again every second";
        reportStatus(false);
        countReconnect();
        sleepWhileRunning(retryEveryMs);
    }
    LOGI << "capture_camera_loop exit";
}

bool UsbCamera::runFrames(camera_base::CameraRead& source)
{
    const CameraConfig request = requests().front();
    const std::size_t bufferSize = frameCapacity(request);
    const bool isMjpeg = static_cast<uint32_t>(request.streamType) == camera_base::fourcc("MJPG");
    const bool isYuyv = static_cast<uint32_t>(request.streamType) == camera_base::fourcc("YUYV");

    reportStatus(true);
    previewMailbox().clear();  // frames of an earlier stream

    // Decoding happens on the preview thread; this thread reads and copies.
    auto decoder = std::make_shared<rk_mjpeg_decoder_v2>(request.width, request.height);
    PreviewThread preview(
        previewMailbox(), request.width, request.height,
        [decoder, isMjpeg, isYuyv, request](const PreviewThread::Frame& frame, uint8_t* out) {
            if (isMjpeg)
                return decoder->decode(frame.data.data(), static_cast<int>(frame.data.size()), out);
            if (isYuyv)
                return rawColorToNV12(camera_format::kYUYV, frame.data.data(), frame.data.size(), request.width,
                    request.height, out, request.width, request.height);
            return false;
        },
        [this] { reportFrameReady(); }, "usbpreview");

    frames_ = 0;
    auto lastFpsCheck = std::chrono::steady_clock::now();
    auto lastFrame = lastFpsCheck;
    bool failing = false;
    CapturePolicy& policy = this->policy();
    // Only this thread serves the USB camera's snapshot requests.
    SnapshotTrigger trigger;
    trigger.skipEarlier(policy);
    // What a USB camera says of itself: its card name and the stream's size
    // and format. It gives no pinhole model, and none is made up.
    auto calibration = std::make_shared<StreamCalibration>();
    calibration->usbCamera = true;
    calibration->name = name();
    StreamCalibration::Stream stream;
    stream.width = request.width;
    stream.height = request.height;
    stream.format = isMjpeg ? "MJPG" : isYuyv ? "YUYV" : "unknown";
    stream.fps = request.fps;
    stream.payload = isMjpeg ? "jpeg" : "raw";
    calibration->colour = stream;
    // The reader may copy the next frame into its buffer at any time; work on a copy.
    auto frame = std::make_unique<uint8_t[]>(bufferSize);

    while (running()) {
        if (!source.get_frame()) {
            if (!failing)
                LOGE << "get_frame() == nullptr";
            failing = true;
            if (std::chrono::steady_clock::now() - lastFrame > std::chrono::milliseconds(lostAfterMs))
                return running();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        failing = false;
        lastFrame = std::chrono::steady_clock::now();
        const unsigned size = source.copy_last_frame(frame.get(), bufferSize);
        const uint64_t index = ++frames_;

        if (policy.saving && policy.soil && trigger.take(policy)) {
            FrameSet set;
            set.timestamp = makeTimestampText(&set.hostUtcUs);
            set.snapshotId = trigger.served();
            set.colour.data = std::make_unique<uint8_t[]>(size);
            std::memcpy(set.colour.data.get(), frame.get(), size);
            set.colour.size = size;
            set.colour.width = request.width;
            set.colour.height = request.height;
            set.colour.frameIndex = index;
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
            LOGD << "USB RGB camera single shot captured, frame size: " << size << ", snapshot " << trigger.served();
        }

        preview.submit(frame.get(), size, 0, request.width, request.height);

        if (index % 100 == 0) {
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
