#pragma once
// Preview hand-off between a camera's preview thread (producer) and the GUI
// (consumer): a mailbox of one frame that carries its own size, so a frame
// is never read at the size of another stream. The newest frame replaces one
// the GUI has not taken; nothing queues up behind a slow screen. What is
// saved travels another way: in the queues of the open capture run
// (CaptureQueues.h).

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// One NV12 preview frame: width x height x 3 / 2 bytes.
struct PreviewFrame {
    std::unique_ptr<uint8_t[]> nv12;  // null: no frame
    int32_t width = 0;
    int32_t height = 0;

    explicit operator bool() const { return nv12 != nullptr; }
};

class PreviewMailbox {
public:
    // Producer: leaves the frame for the GUI, replacing one not taken yet.
    void post(PreviewFrame frame);
    // GUI: the newest frame, once; an empty frame when none came since.
    PreviewFrame take();
    void clear();
    uint64_t replaced() const { return replaced_.load(); }

private:
    std::mutex mutex_;  // guards slot_
    PreviewFrame slot_;
    std::atomic<uint64_t> replaced_{0};
};

// Local wall-clock time as 17 digits: yyyyMMddhhmmss + milliseconds. With
// utcMicros, the same instant as UTC microseconds.
std::string makeTimestampText(int64_t* utcMicros = nullptr);
// Host time now, UTC microseconds.
int64_t hostUtcMicros();
