#pragma once
// What the capture session asks of the cameras, and what the cameras count
// back. The session (GUI thread) writes the policy; the camera threads read it
// per frame set without a lock and count into it. One object per capture
// page, handed to each camera when it starts. Each run attaches its
// own queues here while it is open; between runs there are none.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "CaptureQueues.h"

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

    // Frames and IMU samples go to the run's queues only while this is set.
    std::atomic<bool> saving{false};

    // The open run's queues (null: no run). The session attaches them when a
    // run opens and detaches them when it closes; a camera thread takes one
    // reference per frame set, so the queues outlive any push into them.
    void attach(std::shared_ptr<CaptureQueues> queues) { std::atomic_store(&queues_, std::move(queues)); }
    std::shared_ptr<CaptureQueues> queues() const { return std::atomic_load(&queues_); }
    // Single shot and soil collection: one frame set per snapshot request.
    std::atomic<bool> onRequest{false};
    // Soil collection: the USB camera captures too, and no IMU is kept.
    std::atomic<bool> soil{false};
    // Continuous runs keep every stride-th frame set.
    std::atomic<int32_t> stride{1};

    // +1 per snapshot request, which is also the request's id; a camera saves
    // a frame set when its own count is behind, so several requests between
    // two frame sets make one, stamped with the latest id.
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
    std::shared_ptr<CaptureQueues> queues_;
    std::atomic<uint64_t> requests_{0};
    const std::function<void()> snapshotQueued_;
};
