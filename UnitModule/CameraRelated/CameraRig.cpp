#include "CameraRig.h"

#include <QTimer>

#include "DepthCamera.h"
#include "Log.h"
#include "PostToThread.h"
#include "UsbCamera.h"
#include "UsbCameraConfig.h"
#include "config_manager.h"

namespace {
constexpr int kWatchdogIntervalMs = 500;
} // namespace

CameraRig::CameraRig(QObject* parent)
    : CameraRig(
        [](Slot slot) -> std::unique_ptr<Camera> {
            if (slot == Slot::Depth)
                return std::make_unique<DepthCamera>();
            return std::make_unique<UsbCamera>();
        },
        parent)
{
}

CameraRig::CameraRig(Factory factory, QObject* parent)
    : QObject(parent)
    , factory_(std::move(factory))
{
    watchdog_ = new QTimer(this);
    watchdog_->setInterval(kWatchdogIntervalMs);
    connect(watchdog_, &QTimer::timeout, this, &CameraRig::checkResponding);
    watchdog_->start();
}

CameraRig::~CameraRig()
{
    // The listeners may be half destroyed already (a parent page); reports still queued die with this object.
    blockSignals(true);
    release();
}

bool CameraRig::listsUsbCamera(const camera_config& config)
{
    return config.camera3.camera_id == 1;
}

void CameraRig::open(const camera_config& config, const std::shared_ptr<CapturePolicy>& policy)
{
    const std::vector<CameraConfig> depthRequests = depthCameraConfigs(config);
    if (depthRequests.empty()) {
        // A camera without streams would start no thread; the next entry of the page tries again.
        releaseSlot(Slot::Depth);
        LOGW << "No depth camera streams configured (camera1, camera2); depth camera not started";
    } else {
        openSlot(Slot::Depth, config.camera1.camera_type_str, depthRequests, policy);
    }
    if (listsUsbCamera(config))
        openSlot(Slot::Usb, config.camera3.camera_type_str, usbCameraConfigs(config.camera3), policy);
    else
        releaseSlot(Slot::Usb);
}

void CameraRig::openSlot(Slot slot, const std::string& name, const std::vector<CameraConfig>& requests,
    const std::shared_ptr<CapturePolicy>& policy)
{
    // The old camera goes first: one camera, one owner.
    releaseSlot(slot);
    Unit& u = unit(slot);
    auto camera = factory_(slot);
    if (!camera)
        return;
    const uint64_t generation = ++u.generation;
    // The callbacks run on the camera's threads and only post here; the
    // destructor joins those threads before this object goes.
    CameraCallbacks callbacks;
    callbacks.frameReady = [this, slot, generation] {
        postToThread(this, [this, slot, generation] { onFrameReady(slot, generation); });
    };
    callbacks.status = [this, slot, generation](bool streaming) {
        postToThread(this, [this, slot, generation, streaming] { onStatus(slot, generation, streaming); });
    };
    if (!camera->start(name, requests, std::move(callbacks), policy))
        return;
    u.camera = std::move(camera);
    u.lastSign.restart();
    setState(slot, State::Connecting);
}

void CameraRig::releaseSlot(Slot slot)
{
    Unit& u = unit(slot);
    // Out of the slot first, then destroyed: nothing reaches a camera while it joins its threads.
    if (auto camera = std::move(u.camera)) {
        LOGD << "Releasing " << (slot == Slot::Depth ? "depth" : "USB") << " camera";
        ++u.generation;
        camera.reset();
    }
    u.lastSign.invalidate();
    setState(slot, State::Off);
}

void CameraRig::release()
{
    releaseSlot(Slot::Usb);
    releaseSlot(Slot::Depth);
}

PreviewFrame CameraRig::takePreview(Slot slot)
{
    Camera* camera = this->camera(slot);
    return camera ? camera->previewMailbox().take() : PreviewFrame{};
}

void CameraRig::setState(Slot slot, State state)
{
    Unit& u = unit(slot);
    if (u.state == state)
        return;
    u.state = state;
    emit stateChanged(slot, state);
}

void CameraRig::onFrameReady(Slot slot, uint64_t generation)
{
    Unit& u = unit(slot);
    if (generation != u.generation || !u.camera)
        return;
    u.lastSign.restart();
    setState(slot, State::Live);
    emit previewReady(slot);
}

void CameraRig::onStatus(Slot slot, uint64_t generation, bool streaming)
{
    Unit& u = unit(slot);
    if (generation != u.generation || !u.camera)
        return;
    u.lastSign.restart();
    setState(slot, streaming ? State::Live : State::NotResponding);
    if (!streaming)
        emit cameraLost(slot);
}

void CameraRig::checkResponding()
{
    for (Slot slot : {Slot::Depth, Slot::Usb}) {
        const Unit& u = unit(slot);
        if (u.camera && u.lastSign.isValid() && u.lastSign.elapsed() > silenceMs)
            setState(slot, State::NotResponding);
    }
}
