#pragma once
// The save worker: one job per capture run turns what the camera threads put
// into the save queues into the session folder on the storage card.
//
// Use from the capture page (GUI thread):
//   auto task = std::make_shared<TaskSaveWork>();
//   connect(task.get(), &BaseTask::BaseSendTaskData, page, &Page::slot_ReceiveDataSaveWork, Qt::QueuedConnection);
//   TaskManager::instance().addTaskThreadStart(task);   // starts the thread
//   ... set isSaveFile_ (and shouldProcessQueue_), then task->postTask(QVariant());
//   ... clear isSaveFile_: the run writes its files, makes them durable and
//       BaseSendTaskData delivers the session folder path (QString) on the GUI thread.

#include <atomic>
#include <cstdint>

#include "BaseTask.h"

class TaskSaveWork : public BaseTask {
    Q_OBJECT

public:
    explicit TaskSaveWork(QObject* parent = nullptr);
    // Stops the thread and waits for it (terminating it after 5 s), so the
    // thread never outlives the object.
    ~TaskSaveWork() override;

    int postTask(QVariant data) override;
    void cancelTask() override;
    void stopTask() override;
    bool isTaskRunning() const override;
    void executeTask(QVariant data) override;

    // Totals since construction, for logs, tests and benchmarks.
    struct Stats {
        uint64_t colourImagesSaved = 0;
        uint64_t depthImagesSaved = 0;
        uint64_t imuSamplesSaved = 0;     // IMU records whose two entries reached data.json
        uint64_t imuRecordsSkipped = 0;   // malformed payloads
        uint64_t imuSamplesLost = 0;      // could not be written (card full, file refused)
        uint64_t imagesFailed = 0;        // could not be written or encoded
        uint64_t runsCompleted = 0;       // runs that reported their session folder
    };
    Stats stats() const;

    // While saving, IMU lines reach the card at least this often.
    static constexpr int imuFlushIntervalMs = 1000;
    // manifest.json is rewritten at most this often during a run (and always at its end).
    static constexpr int manifestIntervalMs = 1000;
    // Pause of the drain loop when a pass found nothing to do.
    static constexpr int idleSleepMs = 10;

protected:
    void run() override;

private:
    friend class SaveRun;

    // Guarded by mutex_: lets a run started while the previous one was
    // finishing be saved instead of silently refused.
    bool jobRunning_ = false;
    bool postedDuringJob_ = false;
    bool refusedDuringJob_ = false;

    std::atomic<uint64_t> colourImagesSaved_{0};
    std::atomic<uint64_t> depthImagesSaved_{0};
    std::atomic<uint64_t> imuSamplesSaved_{0};
    std::atomic<uint64_t> imuRecordsSkipped_{0};
    std::atomic<uint64_t> imuSamplesLost_{0};
    std::atomic<uint64_t> imagesFailed_{0};
    std::atomic<uint64_t> runsCompleted_{0};
};
