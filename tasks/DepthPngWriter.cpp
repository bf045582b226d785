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

bool DepthPngWriter::writeDepthPng(CapturedImage& record, const std::string& file, std::string* sha256)
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

    bool saved = false;
    if (pixels > 0 && record.data && cols > 0 && rows > 0 && cols <= INT32_MAX && rows <= INT32_MAX
        && static_cast<uint64_t>(cols * rows) <= pixels) {
        try {
            // Wraps the record's buffer: no copy of the pixels.
            const cv::Mat image(static_cast<int>(rows), static_cast<int>(cols), CV_16UC1, record.data.get());
            std::vector<uchar> png;
            if (cv::imencode(".png", image, png))
                saved = static_cast<bool>(save_files::writeFileReplacing(file, png.data(), png.size(), false));
            if (saved && sha256)
                *sha256 = checksums::sha256Hex(png.data(), png.size());
        } catch (const cv::Exception& error) {
            LOGE << "PNG encoder refused the depth image: " << error.what();
        }
    }
    if (!saved) {
        LOGE << "Failed to save PNG: " << file << " (size: " << cols << "x" << rows << ")";
        return false;
    }
    LOGD << "Saved depth PNG (aligned): " << file << " (size: " << cols << "x" << rows << ", frame_size: " << record.size
         << " bytes)";
    return true;
}

int DepthPngWriter::defaultThreads()
{
    const unsigned cores = std::thread::hardware_concurrency();
    return std::clamp(static_cast<int>(cores), 2, 4);
}

DepthPngWriter::DepthPngWriter(int threads, size_t maxPending, std::function<void()> finished)
    : maxPending_(std::max<size_t>(1, maxPending))
    , onFinished_(std::move(finished))
{
    for (int i = 0; i < std::max(1, threads); ++i)
        threads_.emplace_back([this] { encoderLoop(); });
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
        // Encoding and writing happen without the lock.
        Outcome outcome;
        outcome.saved = writeDepthPng(job.image, job.file, &outcome.sha256);
        outcome.manifestKey = std::move(job.manifestKey);
        outcome.relativePath = std::move(job.relativePath);
        outcome.tags = std::move(job.tags);
        outcome.partnerFile = std::move(job.partnerFile);
        outcome.partnerRelativePath = std::move(job.partnerRelativePath);
        job.image.data.reset();
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
