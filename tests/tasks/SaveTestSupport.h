#pragma once
// Records shaped like the cameras' for feeding the save queues, and a fixture
// that gives each test a clean storage root, context, queues and flags.

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
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
#include "FrameQueues.h"
#include "TaskSaveWork.h"
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

inline FrameData recordFromBytes(const std::vector<uint8_t>& bytes, std::string timestamp)
{
    FrameData record;
    record.data = std::make_unique<uint8_t[]>(bytes.size());
    std::memcpy(record.data.get(), bytes.data(), bytes.size());
    record.size = bytes.size();
    record.timestamp = std::move(timestamp);
    return record;
}

// 16-bit depth of pixelsWide x pixelsHigh, declared as width x height.
inline FrameData depthRecord(int pixelsWide, int pixelsHigh, std::string timestamp, int width = -1, int height = -1)
{
    cv::Mat depth(pixelsHigh, pixelsWide, CV_16UC1);
    for (int y = 0; y < pixelsHigh; ++y)
        for (int x = 0; x < pixelsWide; ++x)
            depth.at<uint16_t>(y, x) = static_cast<uint16_t>(500 + x + 3 * y);
    std::vector<uint8_t> bytes(depth.datastart, depth.dataend);
    FrameData record = recordFromBytes(bytes, std::move(timestamp));
    record.width = width < 0 ? pixelsWide : width;
    record.height = height < 0 ? pixelsHigh : height;
    return record;
}

// One IMU sample as the camera's callback writes it (sorted keys, compact).
inline std::string imuText(int index, bool withDeviceTime = true)
{
    char text[400];
    const unsigned long long us = 1718201415000000ULL + 5000ULL * static_cast<unsigned long long>(index);
    if (withDeviceTime)
        std::snprintf(text, sizeof text,
            R"({"Accel":{"x":0.01,"y":-9.79,"z":%d.5},"Gyro":{"x":0.0,"y":0.002,"z":-0.001},)"
            R"("accel_timestamp_us":%llu,"gyro_timestamp_us":%llu,"timestamp_us":%llu})",
            index, us, us + 3, us);
    else
        std::snprintf(text, sizeof text, R"({"Accel":{"x":1,"y":2,"z":3},"Gyro":{"x":4,"y":5,"z":6}})");
    return text;
}

inline FrameData imuRecord(const std::string& text, std::string timestamp = "20250612143015123")
{
    return recordFromBytes(std::vector<uint8_t>(text.begin(), text.end()), std::move(timestamp));
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

// QThread learns that its thread finished through a futex the thread
// sanitizer cannot see, so destroying a just-finished QThread is reported as
// a race inside Qt. In that build only, tasks are kept until the process ends.
template <typename Task>
std::shared_ptr<Task> keptUnderThreadSanitizer(std::shared_ptr<Task> task)
{
#if defined(__SANITIZE_THREAD__)
    static auto* kept = new std::vector<std::shared_ptr<QThread>>;
    kept->push_back(task);
#endif
    return task;
}

class SaveFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        root_ = dir_.path().toStdString() + "/card";
        fs::create_directories(root_);
        resetShared();
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
        resetShared();
    }

    static void resetShared()
    {
        auto& context = CollectionContext::instance();
        context.setSessionPaths("", "", "");
        context.setAdditionalTags({});
        context.setCollectionInfo(CollectionInfo{});
        {
            std::lock_guard lock(context.imu_mutex);
            context.imu_entries = nullptr;
        }
        FrameQueueManager::instance().clearSaveQueues();
    }

    void setMode(const std::string& mode, const std::string& devices = "D1")
    {
        auto& context = CollectionContext::instance();
        CollectionInfo info = context.collectionInfo();
        info.capture_mode = mode;
        info.devices = devices;
        context.setCollectionInfo(info);
    }

    // A started save worker whose results land in results_ (GUI thread).
    void startWorker()
    {
        task_ = keptUnderThreadSanitizer(std::make_shared<TaskSaveWork>());
        QObject::connect(task_.get(), &BaseTask::BaseSendTaskData, task_.get(), [this](QVariant data) {
            results_.push_back(data.toString().toStdString());
            resultThreads_.push_back(QThread::currentThread());
        });
        task_->start();
    }

    void stopWorker()
    {
        if (!task_)
            return;
        task_->endRun();
        task_->stopTask();
        task_->wait(10000);
        task_.reset();
    }

    bool waitForResults(size_t count, int timeoutMs = 10000)
    {
        return kavrel::test::waitUntil([&] { return results_.size() >= count; }, timeoutMs);
    }

    bool waitForEmptySaveQueues(int timeoutMs = 5000)
    {
        auto& queues = FrameQueueManager::instance();
        return kavrel::test::waitUntil(
            [&] {
                return queues.usbMjpegQueue.size() == 0 && queues.depthMjpegQueue.size() == 0
                    && queues.depthQueue.size() == 0 && queues.imuQueue.size() == 0;
            },
            timeoutMs);
    }

    std::string sessionPath() const { return CollectionContext::instance().baseSavePath(); }

    QTemporaryDir dir_;
    std::string root_;
    std::shared_ptr<TaskSaveWork> task_;
    std::vector<std::string> results_;
    std::vector<QThread*> resultThreads_;
};

} // namespace save_test
