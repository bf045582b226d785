#pragma once
// Encodes aligned depth images as 16-bit PNG files on a few threads of its
// own, so the save worker keeps up with the camera: one 1280x720 encode costs
// about half a frame period of one core. One more thread writes the encoded
// files, so a slow card never holds an encoder. The save worker hands records
// in and collects the outcomes; the threads end when the writer is destroyed.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CardWriteMeter.h"
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
    // finished, if given, runs on an encoder thread after each job; meter, if
    // given, measures the writes of the PNG files.
    DepthPngWriter(int threads, size_t maxPending, std::function<void()> finished = {}, CardWriteMeter* meter = nullptr);
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

    // Encoder threads for this machine: one per core but the one the cameras
    // need, at least one.
    static int defaultThreads();

    // Encodes one depth record as PNG (recovering a wrong width/height from
    // the byte count), logging a failure for file; true on success.
    static bool encodeDepthPng(CapturedImage& image, const std::string& file, std::vector<uint8_t>& png);
    // Writes an encoded PNG, measured by meter when given; true on success.
    // sha256, if given, receives the hex digest of the bytes written.
    static bool writePng(const std::vector<uint8_t>& png, const std::string& file, CardWriteMeter* meter,
        std::string* sha256 = nullptr);

private:
    struct Encoded {
        Job job;  // its image buffer already released
        std::vector<uint8_t> png;
        bool ok = false;
    };
    void encoderLoop();
    void writerLoop();

    mutable std::mutex mutex_;
    std::condition_variable workReady_;
    std::condition_variable slotFree_;
    std::condition_variable encodedReady_;
    std::deque<Job> jobs_;
    std::deque<Encoded> encoded_;  // encoded, in the order the encoders finished
    std::vector<Outcome> finished_;
    size_t unfinished_ = 0;
    size_t maxPending_;
    const std::function<void()> onFinished_;
    CardWriteMeter* const meter_;
    bool stopping_ = false;
    bool encodersDone_ = false;
    std::vector<std::thread> threads_;
    std::thread writer_;
};
