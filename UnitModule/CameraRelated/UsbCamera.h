#pragma once
// A USB (UVC) camera. Its capture thread ("camera_loop") finds the camera by
// name, opens it, previews every frame and, for soil collection, queues the
// requested snapshot; when the camera stops delivering for a second it counts
// as lost, the page hears so, and the thread tries to open it again every
// second until it appears. This is the only reconnect loop of a USB camera:
// the reader under it ends with its device and is replaced whole.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Camera.h"

namespace camera_base {
class CameraRead;
}

class UsbCamera : public Camera {
public:
    // Opens the camera called `name` for `request`; null when it is not there
    // (or will not open). Called on the capture thread, once per attempt.
    using Opener = std::function<std::unique_ptr<camera_base::CameraRead>(
        const std::string& name, const CameraConfig& request)>;

    // Through Video4Linux2.
    UsbCamera();
    explicit UsbCamera(Opener opener);
    ~UsbCamera() override;

    uint64_t framesDelivered() const override { return frames_.load(); }

    // A camera silent this long counts as lost and is opened again.
    static constexpr int lostAfterMs = 1000;

protected:
    void captureLoop() override;

private:
    // Streams from `source` until the camera goes silent (true: open it
    // again) or the camera is stopped (false).
    bool runFrames(camera_base::CameraRead& source);

    const Opener opener_;
    std::atomic<uint64_t> frames_{0};
};
