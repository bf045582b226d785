#pragma once
// What the capture session asks of the cameras, and what the cameras count
// back. The session (GUI thread) writes the policy; the camera threads read it
// per frame set without a lock and count into it. One object per capture
// page, handed to each camera manager before it starts.

#include <atomic>
#include <cstdint>
#include <functional>

// One stream's frames while saving is on. produced = queued + refused.
struct StreamCounts {
    std::atomic<uint64_t> produced{0};
    std::atomic<uint64_t> queued{0};
    std::atomic<uint64_t> refused{0};  // a full queue, or the other half of its frame set was refused

    void reset()
    {
        produced = 0;
        queued = 0;
        refused = 0;
    }
};

class CapturePolicy {
public:
    // snapshotQueued runs on a camera thread once the records of a requested
    // snapshot are queued; fixed for the policy's life, so no lock guards it.
    explicit CapturePolicy(std::function<void()> snapshotQueued = {})
        : snapshotQueued_(std::move(snapshotQueued))
    {
    }

    // Frames and IMU samples go to the save queues only while this is set.
    std::atomic<bool> saving{false};
    // Single shot and soil collection: one frame set per snapshot request.
    std::atomic<bool> onRequest{false};
    // Soil collection: the USB camera captures too, and no IMU is kept.
    std::atomic<bool> soil{false};
    // Continuous runs keep every stride-th frame set.
    std::atomic<int32_t> stride{1};

    // +1 per snapshot request; a camera saves a frame set when its own
    // count is behind, so several requests between two frame sets make one.
    uint64_t requestSnapshot() { return ++requests_; }
    uint64_t requests() const { return requests_.load(); }

    void notifySnapshotQueued() const
    {
        if (snapshotQueued_)
            snapshotQueued_();
    }

    StreamCounts colour;  // the depth camera's colour frames
    StreamCounts depth;
    StreamCounts usb;
    StreamCounts imu;
    // Frame sets of which neither half was kept because one half was refused.
    std::atomic<uint64_t> droppedFrameSets{0};

    void resetCounts()
    {
        colour.reset();
        depth.reset();
        usb.reset();
        imu.reset();
        droppedFrameSets = 0;
    }

private:
    std::atomic<uint64_t> requests_{0};
    const std::function<void()> snapshotQueued_;
};
