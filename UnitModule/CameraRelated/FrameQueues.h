#pragma once
// Hand-off between the camera threads (producers) and the save worker and the
// GUI (consumers): lock-free queues whose bounds are kept by a count, so a
// full queue drops the newest item instead of blocking a camera thread.
// Each queue has one producer thread, which keeps the bound exact.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <concurrentqueue/concurrentqueue.h>

// One captured item. The payload moves producer -> queue -> consumer.
struct FrameData {
    std::unique_ptr<uint8_t[]> data;
    uint64_t size = 0;
    std::string timestamp;   // 17 digits, local time of the producer's handling
    int32_t width = 0;       // depth frames only
    int32_t height = 0;      // depth frames only
    std::string capture_id;  // token popped for this frame set; empty when none
};

class BoundedFrameQueue {
public:
    static constexpr uint32_t maxSize = 500;

    // Queues the record unless maxSize items are waiting; on refusal the
    // record (and its payload) stays with the caller.
    bool push(FrameData&& record);
    bool push(std::unique_ptr<uint8_t[]> data, uint64_t size, std::string timestamp, int32_t width, int32_t height,
        std::string capture_id);
    std::optional<FrameData> pop();
    void clear();
    uint32_t size() const { return count.load(); }

    std::atomic<uint32_t> count{0};

private:
    moodycamel::ConcurrentQueue<FrameData> queue_;
};

// Preview frames: width x height x 3 / 2 bytes of NV12 each.
class NV12FrameQueue {
public:
    static constexpr int32_t defaultCapacity = 100;

    // Called by the producer once per stream start: drops the frames still
    // queued (they belong to the previous stream), then takes the new size.
    void configure(int32_t width, int32_t height);
    bool push(std::unique_ptr<uint8_t[]> buffer);
    std::unique_ptr<uint8_t[]> pop();
    void clear();

    std::atomic<int32_t> width{0};
    std::atomic<int32_t> height{0};
    std::atomic<int32_t> frameSize{0};
    std::atomic<int32_t> capacity{defaultCapacity};
    std::atomic<int32_t> count{0};

private:
    moodycamel::ConcurrentQueue<std::unique_ptr<uint8_t[]>> queue_;
};

class FrameQueueManager {
public:
    static FrameQueueManager& instance();

    // Pops one capture token, or returns an empty text when there is none.
    std::string popCaptureToken();
    // Empties the four queues that feed the save worker.
    void clearSaveQueues();
    // The three image queues only: IMU samples keep flowing.
    void clearImageQueues();

    moodycamel::ConcurrentQueue<std::string> captureTokenQueue;
    NV12FrameQueue usbNV12Queue;
    NV12FrameQueue depthNV12Queue;
    BoundedFrameQueue usbMjpegQueue;
    BoundedFrameQueue depthMjpegQueue;
    BoundedFrameQueue depthQueue;
    BoundedFrameQueue imuQueue;

private:
    FrameQueueManager() = default;
};

// Queues both records or neither, so a colour image never waits without its
// depth image. Exact as long as each queue has one producer (the caller).
bool pushPair(BoundedFrameQueue& firstQueue, FrameData&& first, BoundedFrameQueue& secondQueue, FrameData&& second);

// Local wall-clock time as 17 digits: yyyyMMddhhmmss + milliseconds.
std::string makeTimestampText();
