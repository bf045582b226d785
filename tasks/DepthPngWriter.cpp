#include "DepthPngWriter.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "Log.h"
#include "Checksums.h"
#include "SaveFiles.h"

namespace {

// Depth image geometry from the byte count when width x height disagrees
// with it: a 16:9 picture first, then 4:3.
void recoverDepthSize(uint64_t pixels, int64_t& cols, int64_t& rows)
{
    const auto fit = [&](double ratio) {
        rows = static_cast<int64_t>(std::sqrt(static_cast<double>(pixels) * ratio));
        if (rows < 1)
            rows = 1;
        cols = static_cast<int64_t>(pixels) / rows;
    };
    fit(9.0 / 16.0);
    if (static_cast<uint64_t>(rows * cols) != pixels)
        fit(3.0 / 4.0);
}

} // namespace

bool DepthPngWriter::encodeDepthPng(CapturedImage& record, const std::string& file, std::vector<uint8_t>& png)
{
    const uint64_t pixels = record.size / 2;
    int64_t cols = record.width;
    int64_t rows = record.height;
    const int64_t declared = static_cast<int64_t>(record.width) * static_cast<int64_t>(record.height);
    if (record.width <= 0 || record.height <= 0 || static_cast<uint64_t>(declared) != pixels) {
        LOGW << "Depth frame size mismatch: expected " << pixels << " pixels from frame_size, but width*height gives "
             << declared << " pixels. Recalculating from frame_size...";
        recoverDepthSize(pixels, cols, rows);
        LOGW << "Recalculated depth size: " << cols << "x" << rows;
    }

    bool encoded = false;
    if (pixels > 0 && record.data && cols > 0 && rows > 0 && cols <= INT32_MAX && rows <= INT32_MAX
        && static_cast<uint64_t>(cols * rows) <= pixels) {
        try {
            // Wraps the record's buffer: no copy of the pixels.
            const cv::Mat image(static_cast<int>(rows), static_cast<int>(cols), CV_16UC1, record.data.get());
            // OpenCV's own PNG setting (zlib level 1, one SUB filter, RLE) is the
            // fastest within 2 % of the smallest on noisy depth: explicit levels make
            // libpng try every filter (level 1: 24 ms instead of 14.5 ms a 1280x720
            // image), level 0 doubles the size (bench_save_pipeline --png-settings).
            encoded = cv::imencode(".png", image, png);
        } catch (const cv::Exception& error) {
            LOGE << "PNG encoder refused the depth image: " << error.what();
        }
    }
    if (!encoded)
        LOGE << "Failed to save PNG: " << file << " (size: " << cols << "x" << rows << ")";
    return encoded;
}

bool DepthPngWriter::writePng(
    const std::vector<uint8_t>& png, const std::string& file, CardWriteMeter* meter, std::string* sha256)
{
    if (meter)
        meter->begin();
    const bool saved = static_cast<bool>(save_files::writeFileReplacing(file, png.data(), png.size(), false));
    if (meter)
        meter->end(saved ? png.size() : 0);
    if (saved && sha256)
        *sha256 = checksums::sha256Hex(png.data(), png.size());
    if (!saved)
        LOGE << "Failed to save PNG: " << file;
    else
        LOGD << "Saved depth PNG (aligned): " << file << " (" << png.size() << " bytes)";
    return saved;
}

int DepthPngWriter::defaultThreads()
{
    const unsigned cores = std::thread::hardware_concurrency();
    return std::max(1, static_cast<int>(cores) - 1);
}

DepthPngWriter::DepthPngWriter(int threads, size_t maxPending, std::function<void()> finished, CardWriteMeter* meter)
    : maxPending_(std::max<size_t>(1, maxPending))
    , onFinished_(std::move(finished))
    , meter_(meter)
{
    for (int i = 0; i < std::max(1, threads); ++i)
        threads_.emplace_back([this] { encoderLoop(); });
    writer_ = std::thread([this] { writerLoop(); });
}

DepthPngWriter::~DepthPngWriter()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    workReady_.notify_all();
    for (auto& thread : threads_)
        thread.join();
    // The encoders are done: the writer empties its queue, then ends.
    {
        std::lock_guard lock(mutex_);
        encodersDone_ = true;
    }
    encodedReady_.notify_all();
    writer_.join();
}

void DepthPngWriter::submit(Job job)
{
    {
        std::unique_lock lock(mutex_);
        slotFree_.wait(lock, [this] { return unfinished_ < maxPending_; });
        jobs_.push_back(std::move(job));
        ++unfinished_;
    }
    workReady_.notify_one();
}

std::vector<DepthPngWriter::Outcome> DepthPngWriter::takeFinished()
{
    std::lock_guard lock(mutex_);
    std::vector<Outcome> outcomes;
    outcomes.swap(finished_);
    return outcomes;
}

size_t DepthPngWriter::pending() const
{
    std::lock_guard lock(mutex_);
    return unfinished_;
}

void DepthPngWriter::waitIdle()
{
    std::unique_lock lock(mutex_);
    slotFree_.wait(lock, [this] { return unfinished_ == 0; });
}

void DepthPngWriter::encoderLoop()
{
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            // Jobs still queued at destruction are finished first: nothing handed over is lost.
            workReady_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty())
                return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        // Encoding happens without the lock; the PNG then waits for the writer.
        Encoded encoded;
        encoded.ok = encodeDepthPng(job.image, job.file, encoded.png);
        job.image.data.reset();
        encoded.job = std::move(job);
        {
            std::lock_guard lock(mutex_);
            encoded_.push_back(std::move(encoded));
        }
        encodedReady_.notify_one();
    }
}

// One thread writes while the encoders go on: a card that blocks in write()
// costs no encoding time, and its writes stay one at a time, as the card takes them.
void DepthPngWriter::writerLoop()
{
    for (;;) {
        Encoded encoded;
        {
            std::unique_lock lock(mutex_);
            encodedReady_.wait(lock, [this] { return encodersDone_ || !encoded_.empty(); });
            if (encoded_.empty())
                return;
            encoded = std::move(encoded_.front());
            encoded_.pop_front();
        }
        Outcome outcome;
        outcome.saved = encoded.ok && writePng(encoded.png, encoded.job.file, meter_, &outcome.sha256);
        outcome.manifestKey = std::move(encoded.job.manifestKey);
        outcome.relativePath = std::move(encoded.job.relativePath);
        outcome.tags = std::move(encoded.job.tags);
        outcome.partnerFile = std::move(encoded.job.partnerFile);
        outcome.partnerRelativePath = std::move(encoded.job.partnerRelativePath);
        {
            std::lock_guard lock(mutex_);
            finished_.push_back(std::move(outcome));
            --unfinished_;
        }
        slotFree_.notify_all();
        if (onFinished_)
            onFinished_();
    }
}
