#pragma once
// The save worker: one thread of its own that turns each capture run's
// queues into the session folder on the storage card. The capture session
// owns it.
//
// Use from the capture session (GUI thread):
//   auto worker = std::make_shared<SaveWorker>(&ledger);
//   worker->start();                          // starts the thread
//   worker->beginRun(writeImages, queues, folder);  // sessionFolderReady(run, path),
//                                              // or sessionFolderFailed
//   ... confirmSnapshot(request) lets the queued images through with the
//       request's tags (single shot); imagesWritten(request) hands it back
//       completed with its files
//   task->endRun();  // the run writes what is queued, makes it durable,
//                    // writes meta.yaml, adds the ledger row, and runFinished
//                    // arrives with the run's id
// The run's queues wake the worker: it sleeps while there is nothing to do.
// A failed write stops the run by itself: writeFailed(), then runFinished.
// Every signal is emitted on the GUI thread, where the task object lives.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <QMetaType>
#include <QString>

#include <condition_variable>
#include <thread>

#include <QObject>

#include "CaptureQueues.h"
#include "CardWriteMeter.h"
#include "CapturePolicy.h"

class dataset_ledger;
class SessionContent;

// What one run wrote and what it lost, as numbers.
struct SaveRunResult {
    uint64_t runId = 0;          // as beginRun returned it
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
Q_DECLARE_METATYPE(SnapshotRequest)

// Where a run writes: on into its session's folder, or into a new one. The
// session that posts the run knows its folder; the worker remembers only the
// folder its last run settled, for a run posted before that was reported.
struct RunFolder {
    std::string path;    // the session's folder, as sessionFolderReady named it
    // Else the folder this earlier run of the session makes: it was posted and
    // has not named its folder yet (start, stop and start again at once).
    uint64_t ofRun = 0;

    static RunFolder newSession() { return {}; }
    static RunFolder into(std::string folder) { return {std::move(folder), 0}; }
    static RunFolder ofEarlierRun(uint64_t runId) { return {{}, runId}; }
};

class SaveWorker : public QObject {
    Q_OBJECT

public:
    // Each finished run is recorded in ledger (none: no row, for tools and tests).
    explicit SaveWorker(dataset_ledger* ledger = nullptr, QObject* parent = nullptr);
    // stop(): the open run ends and is written, then the thread is joined.
    ~SaveWorker() override;

    // Starts the thread; false when it already runs or was stopped.
    bool start();
    // Ends the open run and joins the thread once it has written and recorded
    // every run it holds. After waitMs a warning says the thread is still
    // writing (a hung card) and false is returned once it ends: it is waited
    // for, never killed mid-write.
    bool stop(int waitMs = stopWaitMs);
    bool isRunning() const { return running_.load(); }

    // Switches saving on and posts a run that drains `queues` (the run's,
    // shared with the cameras) into `folder`; returns the run's id, 0 when the
    // thread is not running. A run begun while the last one is still
    // finishing follows it; one begun before the last one began replaces it
    // (runDropped names the replaced one).
    uint64_t beginRun(bool writeImages, std::shared_ptr<CaptureQueues> queues, RunFolder folder);
    // Drops a run posted and not yet begun (back, exit): it never makes a
    // folder, and runDropped names it.
    void cancelPendingRun();
    // The cameras' counts of each run (produced, queued, refused), which
    // meta.yaml lists beside what was saved. Set once, before the first run.
    void setCapturePolicy(std::shared_ptr<const CapturePolicy> policy);
    // Images are written only while this is on (IMU samples always).
    void setWriteImages(bool on);
    // Lets the queued images through as the answer to `request`.
    void confirmSnapshot(SnapshotRequest request);
    // The open run writes what is queued and reports.
    void endRun();
    bool isSaving() const { return saving_.load(); }

    // Totals since construction, for logs, tests and benchmarks.
    struct Stats {
        uint64_t colourImagesSaved = 0;  // both cameras' colour images
        uint64_t usbImagesSaved = 0;
        uint64_t depthImagesSaved = 0;
        uint64_t imuSamplesSaved = 0;     // IMU samples whose two entries reached data.json
        uint64_t imuSamplesLost = 0;      // could not be written (card full, file refused)
        uint64_t imagesFailed = 0;        // could not be written or encoded
        uint64_t runsCompleted = 0;       // runs that reported their session folder
        uint64_t imuSamplesWritten = 0;   // live: samples flushed to data.json so far
        uint64_t cardBytesWritten = 0;    // image bytes handed to the card
        uint64_t cardBusyUs = 0;          // time spent writing them (see CardWriteMeter)
    };
    Stats stats() const;

    // While saving, IMU lines reach the card at least this often.
    static constexpr int imuFlushIntervalMs = 1000;
    // manifest.json is rewritten at most this often during a run (and always at its end).
    static constexpr int manifestIntervalMs = 1000;
    // How long stop() waits for the thread to finish its run.
    static constexpr int stopWaitMs = 5000;

signals:
    // The run's folder exists: made new, or the one it was told to continue.
    void sessionFolderReady(quint64 runId, QString path);
    void sessionFolderFailed(QString folder, QString reason);
    // The images let through are written (or failed) and none wait: `done`
    // is the confirmed request they answered, with its files.
    void imagesWritten(SnapshotRequest done);
    // The first failed write of a run; the run stops and reports.
    void writeFailed(QString what);
    void runFinished(SaveRunResult result);
    // A run posted and then replaced or cancelled before it began: it made
    // no folder and never finishes.
    void runDropped(quint64 runId);

private:
    friend class SaveRun;

    void threadLoop();
    void executeRun(uint64_t runId, uint64_t generation, std::shared_ptr<CaptureQueues> queues, RunFolder folder);

    std::optional<SnapshotRequest> takeConfirmedSnapshot();
    void reportDropped(uint64_t runId, CaptureQueues* queues);

    dataset_ledger* const ledger_;
    // Wakes the open run's worker for a command.
    void wakeRun();

    // Guards everything down to confirmed_.
    std::mutex runMutex_;
    std::condition_variable wake_;               // a run posted, or the stop
    bool stopping_ = false;
    bool runPosted_ = false;                     // a run waits for the thread
    uint64_t nextRunId_ = 0;
    std::shared_ptr<CaptureQueues> runQueues_;   // of the newest run
    RunFolder runFolder_;                        // of the newest run
    std::shared_ptr<const CapturePolicy> policy_;
    // The last run's session content, for the next run into the same folder (worker thread only).
    std::shared_ptr<SessionContent> lastContent_;
    // The last run that settled a folder, and that folder, for a run told to
    // continue it before its session heard of it (worker thread only).
    uint64_t settledRun_ = 0;
    std::string settledFolder_;
    std::optional<SnapshotRequest> confirmed_;
    // The thread's end, for stop()'s bounded wait.
    std::condition_variable ended_;
    bool threadEnded_ = false;

    std::thread thread_;
    std::atomic<bool> running_{false};

    std::atomic<bool> saving_{false};
    std::atomic<bool> writeImages_{false};
    // +1 per beginRun: a run ends when a newer one began, even if saving is on again.
    std::atomic<uint64_t> runGeneration_{0};

    std::atomic<uint64_t> colourImagesSaved_{0};
    std::atomic<uint64_t> usbImagesSaved_{0};
    std::atomic<uint64_t> imuSamplesWritten_{0};
    std::atomic<uint64_t> depthImagesSaved_{0};
    std::atomic<uint64_t> imuSamplesSaved_{0};
    std::atomic<uint64_t> imuSamplesLost_{0};
    std::atomic<uint64_t> imagesFailed_{0};
    std::atomic<uint64_t> runsCompleted_{0};
    CardWriteMeter cardMeter_;
};
