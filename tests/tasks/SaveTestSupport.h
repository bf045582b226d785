#pragma once
// Frame sets and IMU samples shaped like the cameras', and a fixture with a clean card and context.

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "CollectionContext.h"
#include "CaptureQueues.h"
#include "SaveWorker.h"
#include "TestSupport.h"

namespace save_test {

namespace fs = std::filesystem;

// 17-digit timestamps one "frame" apart, unique within a test.
inline std::string timestampAt(int index)
{
    char text[32];
    std::snprintf(text, sizeof text, "20250612%02d%02d%02d%03d", 14, 30 + index / 60000 % 30, index / 1000 % 60, index % 1000);
    return text;
}

inline std::vector<uint8_t> jpegBytes(int width, int height, int seed)
{
    cv::Mat image(height, width, CV_8UC3);
    cv::randu(image, cv::Scalar::all(seed % 50), cv::Scalar::all(200 + seed % 50));
    std::vector<uint8_t> bytes;
    cv::imencode(".jpg", image, bytes);
    return bytes;
}

inline CapturedImage imageFromBytes(const std::vector<uint8_t>& bytes, int width = 0, int height = 0)
{
    CapturedImage image;
    image.data = std::make_unique<uint8_t[]>(bytes.size());
    std::memcpy(image.data.get(), bytes.data(), bytes.size());
    image.size = bytes.size();
    image.width = width;
    image.height = height;
    return image;
}

// 16-bit depth of pixelsWide x pixelsHigh, declared as width x height.
inline CapturedImage depthImage(int pixelsWide, int pixelsHigh, int width = -1, int height = -1)
{
    cv::Mat depth(pixelsHigh, pixelsWide, CV_16UC1);
    for (int y = 0; y < pixelsHigh; ++y)
        for (int x = 0; x < pixelsWide; ++x)
            depth.at<uint16_t>(y, x) = static_cast<uint16_t>(500 + x + 3 * y);
    return imageFromBytes(std::vector<uint8_t>(depth.datastart, depth.dataend), width < 0 ? pixelsWide : width,
        height < 0 ? pixelsHigh : height);
}

// A set of the depth camera (colour + aligned depth) or of the USB camera (colour only).
inline FrameSet frameSet(std::string timestamp, std::optional<CapturedImage> colour, std::optional<CapturedImage> depth)
{
    FrameSet set;
    set.timestamp = std::move(timestamp);
    if (colour)
        set.colour = std::move(*colour);
    if (depth)
        set.depth = std::move(*depth);
    return set;
}

// One frame set of the depth camera (colour + aligned depth); colourBytes gets the colour image's bytes.
inline FrameSet depthCameraSet(int index, int width = 64, int height = 36, std::vector<uint8_t>* colourBytes = nullptr)
{
    std::vector<uint8_t> colour = jpegBytes(width, height, index);
    if (colourBytes)
        *colourBytes = colour;
    return frameSet(timestampAt(index), imageFromBytes(colour), depthImage(width, height));
}

// One IMU sample 5 ms after the one before, as the camera stamps it.
inline ImuSample imuSample(int index)
{
    ImuSample sample;
    const double accel[3] = {0.01, -9.79, index + 0.5};
    const double gyro[3] = {0.0, 0.002, -0.001};
    std::copy(accel, accel + 3, sample.accel);
    std::copy(gyro, gyro + 3, sample.gyro);
    sample.accelUs = 1718201415000000ULL + 5000ULL * static_cast<unsigned long long>(index);
    sample.gyroUs = sample.accelUs + 3;
    return sample;
}

inline std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

inline std::vector<std::string> filesUnder(const std::string& root)
{
    std::vector<std::string> files;
    if (!fs::exists(root))
        return files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files.push_back(fs::relative(entry.path(), root).string());
    std::sort(files.begin(), files.end());
    return files;
}

class SaveFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        root_ = dir_.path().toStdString() + "/card";
        fs::create_directories(root_);
        sessionFolder_.clear();  // tests that loop over cases set up again
        auto& context = CollectionContext::instance();
        context.setStorageRoot(root_);
        CollectionInfo info;
        info.date = "20250612";
        info.city = "c1";
        info.scene_label = "s1";
        info.task_label = "t1";
        info.part_number = "p1";
        info.capture_mode = "continue_record";
        info.devices = "D1";
        context.setCollectionInfo(info);
    }

    void TearDown() override
    {
        stopWorker();
        CollectionContext::instance().setCollectionInfo(CollectionInfo{});
    }

    void setMode(const std::string& mode, const std::string& devices = "D1")
    {
        auto& context = CollectionContext::instance();
        CollectionInfo info = context.collectionInfo();
        info.capture_mode = mode;
        info.devices = devices;
        context.setCollectionInfo(info);
    }

    // A started save worker whose results land in results_ and whose session
    // folder is followed as the capture session follows it (GUI thread).
    void startWorker()
    {
        task_ = std::make_shared<SaveWorker>();
        QObject::connect(task_.get(), &SaveWorker::sessionFolderReady, task_.get(),
            [this](quint64, const QString& path) { sessionFolder_ = path.toStdString(); });
        QObject::connect(task_.get(), &SaveWorker::runFinished, task_.get(), [this](const SaveRunResult& result) {
            results_.push_back(result.path.toStdString());
            resultThreads_.push_back(QThread::currentThread());
        });
        task_->start();
    }

    void stopWorker()
    {
        if (!task_)
            return;
        task_->stop();
        task_.reset();
    }

    bool waitForResults(size_t count, int timeoutMs = 10000)
    {
        return kavrel::test::waitUntil([&] { return results_.size() >= count; }, timeoutMs);
    }

    // Opens a run with queues of its own, into the session's folder once the
    // worker named one, as the capture session does.
    bool beginRun(bool writeImages)
    {
        queues_ = std::make_shared<CaptureQueues>();
        const RunFolder folder = sessionFolder_.empty() ? RunFolder::newSession() : RunFolder::into(sessionFolder_);
        return task_->beginRun(writeImages, queues_, folder) != 0;
    }
    // The finish button: the next run opens a new session.
    void finishSession() { sessionFolder_.clear(); }

    void pushFrameSet(FrameSet set) { EXPECT_TRUE(queues_->pushDepthSet(std::move(set))); }

    void pushImu(int first, int count)
    {
        for (int i = first; i < first + count; ++i)
            EXPECT_TRUE(queues_->pushImu(imuSample(i)));
    }

    bool waitForEmptySaveQueues(int timeoutMs = 5000)
    {
        return kavrel::test::waitUntil(
            [&] { return !queues_->imagesWaiting() && queues_->imu().size() == 0; }, timeoutMs);
    }

    // The open session's folder, as the worker last named it; empty until then.
    const std::string& sessionPath() const { return sessionFolder_; }

    QTemporaryDir dir_;
    std::string root_;
    std::shared_ptr<SaveWorker> task_;
    std::shared_ptr<CaptureQueues> queues_;  // the open run's
    std::vector<std::string> results_;
    std::vector<QThread*> resultThreads_;
    std::string sessionFolder_;
};

} // namespace save_test
