#pragma once
// Turns camera frames into NV12 preview frames on a thread of its own, so a
// camera thread only copies the frame and returns. Only the newest frame
// waits: one the converter could not keep up with is replaced, never queued.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class PreviewMailbox;

class PreviewThread {
public:
    struct Frame {
        std::vector<uint8_t> data;
        int format = 0;
        int width = 0;
        int height = 0;
    };
    // Fills `out` (NV12 at the preview size) from the frame; false drops it.
    using Convert = std::function<bool(const Frame& frame, uint8_t* out)>;

    // Frames are converted to width x height (the stream's configured size)
    // and posted to `mailbox`; frameQueued runs on the preview thread after each.
    PreviewThread(PreviewMailbox& mailbox, int32_t width, int32_t height, Convert convert,
        std::function<void()> frameQueued, const char* threadName);
    // Joins the thread; a frame still waiting is dropped.
    ~PreviewThread();
    PreviewThread(const PreviewThread&) = delete;
    PreviewThread& operator=(const PreviewThread&) = delete;

    // Camera thread: hands over a copy of the frame.
    void submit(const uint8_t* data, size_t size, int format, int width, int height);

    uint64_t converted() const { return converted_.load(); }
    uint64_t replaced() const { return replaced_.load(); }

private:
    void run();

    PreviewMailbox& mailbox_;
    const int32_t width_;
    const int32_t height_;
    const Convert convert_;
    const std::function<void()> frameQueued_;
    std::mutex mutex_;  // guards pending_, hasPending_, stop_
    std::condition_variable wake_;
    Frame pending_;
    bool hasPending_ = false;
    bool stop_ = false;
    std::atomic<uint64_t> converted_{0};
    std::atomic<uint64_t> replaced_{0};
    std::thread thread_;  // last: starts once everything above exists
};
