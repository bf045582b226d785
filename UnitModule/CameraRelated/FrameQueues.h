#pragma once
// Preview hand-off between the camera threads (producers) and the GUI
// (consumer): lock-free queues whose bounds are kept by a count, so a full
// queue drops the newest frame instead of blocking a camera thread. What is
// saved travels another way: in the queues of the open capture run
// (CaptureQueues.h).

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <concurrentqueue/concurrentqueue.h>

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

    NV12FrameQueue usbNV12Queue;
    NV12FrameQueue depthNV12Queue;

private:
    FrameQueueManager() = default;
};

// Local wall-clock time as 17 digits: yyyyMMddhhmmss + milliseconds. With
// utcMicros, the same instant as UTC microseconds.
std::string makeTimestampText(int64_t* utcMicros = nullptr);
// Host time now, UTC microseconds.
int64_t hostUtcMicros();
