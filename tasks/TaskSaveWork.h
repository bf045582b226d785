#pragma once
// The save worker: one job per capture run turns what the camera threads put
// into the save queues into the session folder on the storage card.
//
// Use from the capture session (GUI thread):
//   auto task = std::make_shared<TaskSaveWork>();
//   TaskManager::instance().addTaskThreadStart(task);   // starts the thread
//   task->beginRun(writeImages);  // sessionFolderReady(path), or sessionFolderFailed
//   ... setWriteImages(true) lets image records through (single shot: once
//       confirmed); imagesWritten() says they are on the card
//   task->endRun();  // the run writes what is queued, makes it durable, and
//                    // runFinished (then BaseSendTaskData with the path) arrives
// A failed write stops the run by itself: writeFailed(), then runFinished.
// Every signal is emitted on the GUI thread, where the task object lives.

#include <atomic>
#include <cstdint>
#include <memory>

#include <QMetaType>
#include <QString>

#include "BaseTask.h"

// What one run wrote and what it lost, as numbers.
struct SaveRunResult {
    QString path;                // the session folder
    uint64_t colourSaved = 0;    // the depth camera's colour images
    uint64_t depthSaved = 0;
    uint64_t usbSaved = 0;
    uint64_t imuSaved = 0;       // samples that reached data.json
    uint64_t imuLost = 0;
    uint64_t filesFailed = 0;    // image files not on the card because a write failed
    uint64_t discarded = 0;      // records still queued when a failed write stopped the run
    QString failure;             // the first failed write; empty when none failed
};
Q_DECLARE_METATYPE(SaveRunResult)

class TaskSaveWork : public BaseTask {
    Q_OBJECT

public:
    explicit TaskSaveWork(QObject* parent = nullptr);
    // Stops the thread and waits for it (terminating it after 5 s), so the
    // thread never outlives the object.
    ~TaskSaveWork() override;

    // Switches saving on and posts the job; false when the worker has no thread.
    bool beginRun(bool writeImages);
    // Image records are written only while this is on (IMU samples always).
    void setWriteImages(bool on);
    // The open run writes what is queued and reports.
    void endRun();
    bool isSaving() const { return saving_.load(); }

    int postTask(QVariant data) override;
    void cancelTask() override;
    void stopTask() override;
    bool isTaskRunning() const override;
    void executeTask(QVariant data) override;

    // Totals since construction, for logs, tests and benchmarks.
    struct Stats {
        uint64_t colourImagesSaved = 0;  // both cameras' colour images
        uint64_t usbImagesSaved = 0;
        uint64_t depthImagesSaved = 0;
        uint64_t imuSamplesSaved = 0;     // IMU records whose two entries reached data.json
        uint64_t imuRecordsSkipped = 0;   // malformed payloads
        uint64_t imuSamplesLost = 0;      // could not be written (card full, file refused)
        uint64_t imagesFailed = 0;        // could not be written or encoded
        uint64_t runsCompleted = 0;       // runs that reported their session folder
        uint64_t imuSamplesWritten = 0;   // live: samples flushed to data.json so far
    };
    Stats stats() const;

    // While saving, IMU lines reach the card at least this often.
    static constexpr int imuFlushIntervalMs = 1000;
    // manifest.json is rewritten at most this often during a run (and always at its end).
    static constexpr int manifestIntervalMs = 1000;
    // Pause of the drain loop when a pass found nothing to do.
    static constexpr int idleSleepMs = 10;

signals:
    void sessionFolderReady(QString path);
    void sessionFolderFailed(QString folder, QString reason);
    // The image records let through are written (or failed) and none wait.
    void imagesWritten();
    // The first failed write of a run; the run stops and reports.
    void writeFailed(QString what);
    void runFinished(SaveRunResult result);

protected:
    void run() override;

private:
    friend class SaveRun;

    std::atomic<bool> saving_{false};
    std::atomic<bool> writeImages_{false};
    // +1 per beginRun: a run ends when a newer one began, even if saving is on again.
    std::atomic<uint64_t> runGeneration_{0};

    // Guarded by mutex_: lets a run started while the previous one was
    // finishing be saved instead of silently refused.
    bool jobRunning_ = false;
    bool postedDuringJob_ = false;
    bool refusedDuringJob_ = false;

    std::atomic<uint64_t> colourImagesSaved_{0};
    std::atomic<uint64_t> usbImagesSaved_{0};
    std::atomic<uint64_t> imuSamplesWritten_{0};
    std::atomic<uint64_t> depthImagesSaved_{0};
    std::atomic<uint64_t> imuSamplesSaved_{0};
    std::atomic<uint64_t> imuRecordsSkipped_{0};
    std::atomic<uint64_t> imuSamplesLost_{0};
    std::atomic<uint64_t> imagesFailed_{0};
    std::atomic<uint64_t> runsCompleted_{0};
};

// The save worker registered with the task manager, or null.
std::shared_ptr<TaskSaveWork> registeredSaveTask();
// Ends its thread, which stays registered until process exit.
void stopSaveTask();
