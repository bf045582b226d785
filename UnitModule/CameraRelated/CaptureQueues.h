#pragma once
// The queues of one capture run: camera threads push, the save worker pops.
// The run owns them and they die with it; nothing of a run outlives it in a
// global. Each queue has one producer thread, which keeps its bound exact:
// a full queue refuses the newest item (the caller counts it) rather than
// block a camera thread. Both frame-set queues also share one bound in bytes,
// so a card slower than the cameras costs at most that much memory.
// An accepted frame set wakes the worker; IMU samples wait for its next pass
// (at most a flush interval, a second, while the queue holds 30 s of them, so
// a slow card that holds the worker in a write costs none), and 200 samples a
// second cost no 200 wake-ups.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

#include <concurrentqueue/concurrentqueue.h>

#include "FrameSet.h"

// Image bytes waiting in a run's queues. Cameras take on their own threads,
// the save worker gives back: atomics only. The first item always fits, so a
// set larger than the whole budget is still saved rather than never.
class ByteBudget {
public:
    explicit ByteBudget(uint64_t limit)
        : limit_(limit)
    {
    }
    bool take(uint64_t bytes)
    {
        const uint64_t before = used_.fetch_add(bytes);
        if (before == 0 || before + bytes <= limit_)
            return true;
        used_.fetch_sub(bytes);
        return false;
    }
    void give(uint64_t bytes) { used_.fetch_sub(bytes); }
    uint64_t used() const { return used_.load(); }
    uint64_t limit() const { return limit_; }

private:
    const uint64_t limit_;
    std::atomic<uint64_t> used_{0};
};

inline uint64_t queuedBytes(const FrameSet& set) { return set.colour.size + set.depth.size; }
inline uint64_t queuedBytes(const ImuSample&) { return 0; }

template <typename T>
class BoundedQueue {
public:
    // budget, if given, also bounds the bytes queued (shared with other queues).
    explicit BoundedQueue(uint32_t capacity, ByteBudget* budget = nullptr)
        : capacity_(capacity)
        , budget_(budget)
    {
    }

    // Queues the item unless capacity items or the budget's bytes wait; on
    // refusal it stays with the caller.
    bool push(T&& item)
    {
        if (count_.load() >= capacity_)
            return false;
        const uint64_t bytes = budget_ ? queuedBytes(item) : 0;
        if (budget_ && !budget_->take(bytes))
            return false;
        // enqueue fails only when memory runs out.
        if (!queue_.enqueue(std::move(item))) {
            if (budget_)
                budget_->give(bytes);
            return false;
        }
        count_.fetch_add(1);
        return true;
    }

    std::optional<T> pop()
    {
        T item;
        if (!queue_.try_dequeue(item))
            return std::nullopt;
        count_.fetch_sub(1);
        if (budget_)
            budget_->give(queuedBytes(item));
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
    ByteBudget* const budget_;
    std::atomic<uint32_t> count_{0};
    moodycamel::ConcurrentQueue<T> queue_;
};

class CaptureQueues {
public:
    // 500 frame sets are about 17 s of 30 fps: room for a slow card to catch up.
    static constexpr uint32_t frameSetCapacity = 500;
    static constexpr uint32_t imuCapacity = 6000;  // about 500 KB
    // Without a configured bound: about 140 sets of 1280x720 colour and raw depth.
    static constexpr uint64_t defaultMaxBacklogBytes = 256ull << 20;

    explicit CaptureQueues(uint64_t maxBacklogBytes = defaultMaxBacklogBytes)
        : backlog_(maxBacklogBytes)
    {
    }

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
    // What waits to be written: frame sets of both cameras and their image bytes.
    uint32_t backlogSets() const { return depthSets_.size() + usbFrames_.size(); }
    uint64_t backlogBytes() const { return backlog_.used(); }
    uint64_t maxBacklogBytes() const { return backlog_.limit(); }

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

    ByteBudget backlog_;  // declared before the queues that use it
    BoundedQueue<FrameSet> depthSets_{frameSetCapacity, &backlog_};
    BoundedQueue<FrameSet> usbFrames_{frameSetCapacity, &backlog_};
    BoundedQueue<ImuSample> imu_{imuCapacity};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool signalled_ = false;
};
