#pragma once
// Encodes aligned depth images as 16-bit PNG files on a few threads of its
// own, so the save worker keeps up with the camera: one 1280x720 encode costs
// about half a frame period of one core. The save worker hands records in and
// collects the outcomes; the threads end when the writer is destroyed.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FrameSet.h"

class DepthPngWriter {
public:
    struct Job {
        CapturedImage image;            // its buffer is encoded in place
        std::string file;               // absolute path of the PNG
        std::string manifestKey;
        std::string relativePath;       // as manifest.json lists it
        std::vector<std::string> tags;  // the snapshot's tags when it was taken for saving
        std::string partnerFile;        // the colour image of the same frame set, if any
        std::string partnerRelativePath;
    };
    struct Outcome {
        bool saved = false;
        std::string manifestKey;
        std::string relativePath;
        std::vector<std::string> tags;
        std::string partnerFile;
        std::string partnerRelativePath;
        std::string sha256;  // of the bytes written, when saved
    };

    // threads encoders; submit() waits while maxPending jobs are unfinished.
    // finished, if given, runs on an encoder thread after each job.
    DepthPngWriter(int threads, size_t maxPending, std::function<void()> finished = {});
    ~DepthPngWriter();
    DepthPngWriter(const DepthPngWriter&) = delete;
    DepthPngWriter& operator=(const DepthPngWriter&) = delete;

    // Hands the job over; blocks only while the encoders are saturated.
    void submit(Job job);
    // Outcomes finished since the last call, in completion order.
    std::vector<Outcome> takeFinished();
    // Jobs submitted and not yet finished.
    size_t pending() const;
    // Returns once every submitted job has finished.
    void waitIdle();

    // Encoder threads for this machine: two at least, four at most.
    static int defaultThreads();

    // Writes one depth record as PNG (recovering a wrong width/height from
    // the byte count) with the log lines of the save worker; true on success.
    // sha256, if given, receives the hex digest of the bytes written.
    static bool writeDepthPng(CapturedImage& image, const std::string& file, std::string* sha256 = nullptr);

private:
    void encoderLoop();

    mutable std::mutex mutex_;
    std::condition_variable workReady_;
    std::condition_variable slotFree_;
    std::deque<Job> jobs_;
    std::vector<Outcome> finished_;
    size_t unfinished_ = 0;
    size_t maxPending_;
    const std::function<void()> onFinished_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};
