#pragma once
// The queues of one capture run: camera threads push, the save worker pops.
// The run owns them and they die with it; nothing of a run outlives it in a
// global. Each queue has one producer thread, which keeps its bound exact:
// a full queue refuses the newest item (the caller counts it) rather than
// block a camera thread. An accepted frame set wakes the worker; IMU samples
// wait for its next pass (at most a flush interval, a second, while the
// queue holds 2.5 s of them), so 200 samples a second cost no 200 wake-ups.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

#include <concurrentqueue/concurrentqueue.h>

#include "FrameSet.h"

template <typename T>
class BoundedQueue {
public:
    explicit BoundedQueue(uint32_t capacity)
        : capacity_(capacity)
    {
    }

    // Queues the item unless capacity items wait; on refusal it stays with the caller.
    bool push(T&& item)
    {
        if (count_.load() >= capacity_)
            return false;
        // enqueue fails only when memory runs out.
        if (!queue_.enqueue(std::move(item)))
            return false;
        count_.fetch_add(1);
        return true;
    }

    std::optional<T> pop()
    {
        T item;
        if (!queue_.try_dequeue(item))
            return std::nullopt;
        count_.fetch_sub(1);
        return item;
    }

    // Empties the queue; returns how many items it held.
    size_t clear()
    {
        size_t cleared = 0;
        while (pop())
            ++cleared;
        return cleared;
    }

    uint32_t size() const { return count_.load(); }
    uint32_t capacity() const { return capacity_; }

private:
    const uint32_t capacity_;
    std::atomic<uint32_t> count_{0};
    moodycamel::ConcurrentQueue<T> queue_;
};

class CaptureQueues {
public:
    // 500 frame sets are about 17 s of 30 fps: room for a slow card to catch up.
    static constexpr uint32_t frameSetCapacity = 500;
    static constexpr uint32_t imuCapacity = 500;

    // Producers: false when the queue was full (the item stays with the caller).
    bool pushDepthSet(FrameSet&& set) { return woken(depthSets_.push(std::move(set))); }
    bool pushUsbFrame(FrameSet&& set) { return woken(usbFrames_.push(std::move(set))); }
    bool pushImu(ImuSample&& sample) { return imu_.push(std::move(sample)); }

    BoundedQueue<FrameSet>& depthSets() { return depthSets_; }
    BoundedQueue<FrameSet>& usbFrames() { return usbFrames_; }
    BoundedQueue<ImuSample>& imu() { return imu_; }

    // Drops the images waiting (a declined or stale snapshot); IMU samples stay.
    size_t clearImages() { return depthSets_.clear() + usbFrames_.clear(); }
    bool imagesWaiting() const { return depthSets_.size() > 0 || usbFrames_.size() > 0; }

    // The consumer sleeps here until a push or wake() after its last wait, or the deadline.
    void waitForWork(std::chrono::steady_clock::time_point deadline)
    {
        std::unique_lock lock(mutex_);
        wake_.wait_until(lock, deadline, [this] { return signalled_; });
        signalled_ = false;
    }
    // Wakes the consumer for something other than a push (a command, the run's end).
    void wake()
    {
        {
            std::lock_guard lock(mutex_);
            signalled_ = true;
        }
        wake_.notify_one();
    }

private:
    bool woken(bool pushed)
    {
        if (pushed)
            wake();
        return pushed;
    }

    BoundedQueue<FrameSet> depthSets_{frameSetCapacity};
    BoundedQueue<FrameSet> usbFrames_{frameSetCapacity};
    BoundedQueue<ImuSample> imu_{imuCapacity};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool signalled_ = false;
};
