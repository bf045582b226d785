#pragma once
// The one place that knows whether we are recording. Owned by the capture
// page and living on the GUI thread, it takes the operator's commands (start,
// stop, snapshot, confirm, decline, finish), hands the cameras their capture
// policy and listens for the save worker's events. Ordering comes from those
// events: the cameras save only once the session folder exists, a snapshot is
// asked for only once the previous one is on the card, and a finish waits for
// the confirmed snapshot. A session's runs all write into the folder its
// first run made, until the session is finished (or abandoned).

#include <cstdint>
#include <map>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include "BacklogStatus.h"
#include "CapturePolicy.h"
#include "StorageGuard.h"
#include "SaveWorker.h"

struct CollectionInfo;
class QTimer;

// One stream of a finished run, camera side and card side.
struct StreamTotals {
    uint64_t produced = 0;
    uint64_t queued = 0;
    uint64_t refused = 0;
    uint64_t saved = 0;
};

// Everything one run did, handed to the page when it finishes.
struct CaptureRunReport {
    SaveRunResult saved;
    StreamTotals colour;
    StreamTotals depth;
    StreamTotals usb;
    StreamTotals imu;
    uint64_t droppedFrameSets = 0;
    qint64 elapsedMs = 0;
};

// What the status line shows while recording.
struct LiveCounts {
    qint64 elapsedMs = 0;
    uint64_t frameSetsSaved = 0;
    double imuRateHz = 0;  // IMU samples on the card per second of the run
    uint64_t droppedFrameSets = 0;
};

// "12.3 GB", "850 MB": free space as the operator reads it.
QString freeSpaceText(qint64 bytes);

class CaptureSession : public QObject {
    Q_OBJECT
public:
    // Longest wait for the camera to deliver a requested snapshot before the
    // operator is asked anyway, and for a confirmed one to reach the card.
    static constexpr int snapshotArrivalWaitMs = 3000;
    static constexpr int snapshotWriteWaitMs = 10000;

    // The session owns the worker: it starts it and, when it goes, stops it
    // once the open run is written. Null: nothing can be saved (tests).
    // Each run's frame sets waiting for the card take at most maxBacklogBytes.
    CaptureSession(std::shared_ptr<SaveWorker> worker, QObject* parent = nullptr,
        uint64_t maxBacklogBytes = CaptureQueues::defaultMaxBacklogBytes);
    ~CaptureSession() override;

    // Handed to every camera before it starts; the cameras read it per frame set.
    const std::shared_ptr<CapturePolicy>& policy() const { return policy_; }
    // Capture mode, soil collection and the continuous stride, from the
    // operator's choices and the colour stream's frame rate.
    void configure(const CollectionInfo& info, int fps);

    // Commands.
    void start();     // a continuous run: the folder first, then the cameras save
    // Ends the open run (it writes what is queued and reports) and says why.
    void stop(StopReason reason = StopReason::Operator);
    void snapshot();  // single shot: opens the session on the first one
    void confirm(std::vector<std::string> tags);  // writes the snapshot waiting, with its tags
    void decline();   // drops it
    // Ends the session once a confirmed snapshot is on the card, then runs closed.
    void finish(std::function<void()> closed = {});
    // Exit or back: saving off at once, nothing waited for.
    void abandon();

    // The open session's folder, from the worker's first report of it; empty
    // before that and once the session is finished, abandoned or failed.
    const QString& openFolder() const { return openFolder_; }

    bool recording() const { return recording_; }
    bool snapshotWritePending() const { return writePending_; }
    // Runs accepted by the worker that have not reported yet.
    int pendingRuns() const { return pendingRuns_; }
    LiveCounts liveCounts() const;
    // Stopped, and a run still writes what it had queued (cameras done).
    bool writingAfterStop() const { return !recording_ && pendingRuns_ > 0; }
    // Frame sets waiting in the open run and the runs still writing, with the card's meter.
    BacklogSample backlogSample() const;
    // Where the card's measured write rate is kept between recordings ("": not kept).
    void setCardRateFile(std::string file) { cardRateFile_ = std::move(file); }
    const std::string& cardRateFile() const { return cardRateFile_; }

    // Reads the card's free space (returned, negative when unknown) and stops
    // a continuous recording whose card fell below the floor of startBytes.
    long long checkFreeSpace(const std::string& root, long long startBytes);
    // Tests hand in a card of any size.
    void setFreeSpaceProbe(StorageGuard::FreeBytesProbe probe) { storageGuard_ = StorageGuard(std::move(probe)); }

signals:
    void recordingChanged(bool recording);
    // A recording ended, once, with the reason it ended.
    void stopped(StopReason reason);
    void folderReady(QString path);
    void folderFailed(QString folder, QString reason);
    // The requested snapshot is queued (captured false: the wait ran out).
    void snapshotArrived(bool captured);
    // The confirmed snapshot is on the card: the same request, with its files.
    void snapshotWritten(SnapshotRequest done);
    // A write failed: the run stopped by itself.
    void writeFailed(QString what);
    void runFinished(CaptureRunReport report);

private:
    void openRun(bool writeImages);
    void closeRun(StopReason reason);
    void setRecording(bool recording);
    void requestSnapshot();
    void whenSnapshotWritten(std::function<void()> action);
    void onFolderReady(quint64 runId, const QString& path);
    void forgetFolder();
    void onFolderFailed(const QString& folder, const QString& reason);
    void onImagesWritten(const SnapshotRequest& done);
    void onWriteFailed(const QString& what);
    void onRunFinished(const SaveRunResult& result);
    // The run reported, or was dropped before it began: it writes nothing more.
    void forgetRun(quint64 runId);
    Q_INVOKABLE void onSnapshotQueued();
    void keepCardRate();

    std::shared_ptr<SaveWorker> worker_;
    std::shared_ptr<CapturePolicy> policy_;
    const uint64_t maxBacklogBytes_;
    std::shared_ptr<CaptureQueues> runQueues_;  // the open run's; null between runs
    uint64_t runId_ = 0;                        // the open (or last) run's, as the worker numbers them
    uint64_t firstRun_ = 0;                     // the open session's first run; 0: no session open
    QString openFolder_;
    // Closed runs that have not reported, by id: their queues still drain.
    std::map<uint64_t, std::shared_ptr<CaptureQueues>> closedRuns_;
    std::string cardRateFile_;
    uint64_t snapshotId_ = 0;                   // the latest snapshot request
    bool singleShot_ = false;
    bool recording_ = false;
    bool folderReady_ = false;          // the open run's folder exists
    bool snapshotWanted_ = false;       // requested once the folder exists
    bool awaitingArrival_ = false;
    bool writePending_ = false;         // a confirmed snapshot is on its way to the card
    std::vector<std::function<void()>> afterWrite_;
    int pendingRuns_ = 0;
    QTimer* arrivalTimer_ = nullptr;
    QTimer* writeTimer_ = nullptr;
    QElapsedTimer runClock_;
    QElapsedTimer monotonic_;  // started with the session: the backlog samples' clock
    SaveWorker::Stats statsAtStart_;
    StorageGuard storageGuard_;
};

Q_DECLARE_METATYPE(CaptureRunReport)
Q_DECLARE_METATYPE(StopReason)
