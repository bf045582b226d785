#pragma once
// The cameras of the capture page: built from the device configuration (the
// depth camera from camera1 and camera2, the USB camera when camera3 is one),
// owned here, and reported on the GUI thread: each camera's state for the
// operator, "a preview frame is ready", and "the camera was lost" (the page
// then ends a recording). The cameras' callbacks only post to this object.
// The page takes preview frames from here and shows them.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include <QElapsedTimer>
#include <QObject>

#include "Camera.h"

struct camera_config;
class QTimer;

class CameraRig : public QObject {
    Q_OBJECT
public:
    enum class Slot { Depth = 0, Usb = 1 };
    // Off: none built. Connecting: built, not streaming yet. Live: a frame or
    // a "streaming" report came lately. NotResponding: lost, or silent too long.
    enum class State { Off, Connecting, Live, NotResponding };
    // Builds an idle camera of the slot's kind.
    using Factory = std::function<std::unique_ptr<Camera>(Slot)>;

    // A camera that showed nothing for this long is marked as not responding.
    static constexpr int silenceMs = 2000;

    // The real cameras: DepthCamera and UsbCamera.
    explicit CameraRig(QObject* parent = nullptr);
    explicit CameraRig(Factory factory, QObject* parent = nullptr);
    // Joins every camera's threads; reports nothing more.
    ~CameraRig() override;

    // Builds the cameras `config` lists, each replacing the one of its slot,
    // and starts them with the session's policy.
    void open(const camera_config& config, const std::shared_ptr<CapturePolicy>& policy);
    // Stops and destroys both cameras (joining their threads); their preview frames go with them.
    void release();

    // Null when the slot has no camera.
    Camera* camera(Slot slot) const { return unit(slot).camera.get(); }
    State state(Slot slot) const { return unit(slot).state; }
    // GUI thread: the newest preview frame of the slot's camera, once.
    PreviewFrame takePreview(Slot slot);

    // Whether camera3 of the configuration is a USB camera.
    static bool listsUsbCamera(const camera_config& config);

signals:
    void stateChanged(CameraRig::Slot slot, CameraRig::State state);
    void previewReady(CameraRig::Slot slot);
    // The camera reported itself lost. It opens again by itself.
    void cameraLost(CameraRig::Slot slot);

private:
    struct Unit {
        std::unique_ptr<Camera> camera;
        State state = State::Off;
        QElapsedTimer lastSign;  // since the last frame or status report
        // Bumped with every camera built in the slot: reports of a camera
        // already replaced are still in the event queue, and are ignored.
        uint64_t generation = 0;
    };
    Unit& unit(Slot slot) { return units_[static_cast<std::size_t>(slot)]; }
    const Unit& unit(Slot slot) const { return units_[static_cast<std::size_t>(slot)]; }

    void openSlot(Slot slot, const std::string& name, const std::vector<CameraConfig>& requests,
        const std::shared_ptr<CapturePolicy>& policy);
    void releaseSlot(Slot slot);
    void setState(Slot slot, State state);
    void onFrameReady(Slot slot, uint64_t generation);
    void onStatus(Slot slot, uint64_t generation, bool streaming);
    void checkResponding();

    const Factory factory_;
    std::array<Unit, 2> units_;
    QTimer* watchdog_ = nullptr;
};
