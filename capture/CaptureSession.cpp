#include "CaptureSession.h"

#include <QTimer>

#include "CaptureMode.h"
#include "CardRate.h"
#include "CollectionContext.h"
#include "DepthCaptureRules.h"
#include "Log.h"
#include "SessionStatus.h"

namespace {

StreamTotals totals(const StreamCounts& counts, uint64_t saved)
{
    return {counts.produced.load(), counts.queued.load(), counts.refused.load(), saved};
}

std::string describe(const char* name, const StreamTotals& t)
{
    return std::string(name) + " " + std::to_string(t.produced) + " produced/" + std::to_string(t.queued)
        + " queued/" + std::to_string(t.refused) + " refused/" + std::to_string(t.saved) + " saved";
}

} // namespace

QString freeSpaceText(qint64 bytes)
{
    if (bytes < 0)
        return QStringLiteral("?");
    const double mb = static_cast<double>(bytes) / (1024.0 * 1024.0);
    if (mb >= 1024.0)
        return QString::number(mb / 1024.0, 'f', 1) + QStringLiteral(" GB");
    return QString::number(static_cast<qint64>(mb)) + QStringLiteral(" MB");
}

CaptureSession::CaptureSession(std::shared_ptr<SaveWorker> worker, QObject* parent, uint64_t maxBacklogBytes)
    : QObject(parent)
    , worker_(std::move(worker))
    , maxBacklogBytes_(maxBacklogBytes)
{
    monotonic_.start();
    qRegisterMetaType<CaptureRunReport>("CaptureRunReport");
    qRegisterMetaType<StopReason>("StopReason");
    qRegisterMetaType<SnapshotRequest>("SnapshotRequest");
    // Camera thread -> GUI thread: the only hand-off this session receives from the cameras.
    policy_ = std::make_shared<CapturePolicy>(
        [this] { QMetaObject::invokeMethod(this, "onSnapshotQueued", Qt::QueuedConnection); });
    if (worker_)
        worker_->setCapturePolicy(policy_);

    arrivalTimer_ = new QTimer(this);
    arrivalTimer_->setSingleShot(true);
    connect(arrivalTimer_, &QTimer::timeout, this, [this] {
        if (!awaitingArrival_)
            return;
        awaitingArrival_ = false;
        LOGW << "No frame arrived for this snapshot within " << snapshotArrivalWaitMs
             << " ms; is the camera streaming?";
        emit snapshotArrived(false);
    });
    writeTimer_ = new QTimer(this);
    writeTimer_->setSingleShot(true);
    connect(writeTimer_, &QTimer::timeout, this, [this] {
        if (!writePending_)
            return;
        LOGW << "Confirmed snapshot not written within " << snapshotWriteWaitMs << " ms, going on";
        onImagesWritten(SnapshotRequest{snapshotId_, {}, {}});
    });

    if (!worker_) {
        LOGE << "Capture session without a save worker: nothing can be saved";
        return;
    }
    SaveWorker* saveWorker = worker_.get();
    if (!worker_->isRunning() && !worker_->start())
        LOGE << "Save worker could not be started: nothing can be saved";
    connect(saveWorker, &SaveWorker::sessionFolderReady, this, &CaptureSession::onFolderReady);
    connect(saveWorker, &SaveWorker::sessionFolderFailed, this, &CaptureSession::onFolderFailed);
    connect(saveWorker, &SaveWorker::imagesWritten, this, &CaptureSession::onImagesWritten);
    connect(saveWorker, &SaveWorker::writeFailed, this, &CaptureSession::onWriteFailed);
    connect(saveWorker, &SaveWorker::runFinished, this, &CaptureSession::onRunFinished);
    connect(saveWorker, &SaveWorker::runDropped, this, &CaptureSession::forgetRun);
}

CaptureSession::~CaptureSession()
{
    // Cameras may outlive us by a moment: they must save nothing more.
    policy_->saving = false;
    policy_->attach(nullptr);
    // The open run is written and recorded before the thread ends.
    if (worker_)
        worker_->stop();
}

void CaptureSession::configure(const CollectionInfo& info, int fps)
{
    singleShot_ = captureModeOf(info.capture_mode) == CaptureMode::SingleShot;
    const bool soil = isSoilCollection(info.task_label);
    policy_->soil = soil;
    policy_->onRequest = singleShot_ || soil;
    policy_->stride = computeSaveScale(fps, info.shot_interval_ms);
    LOGD << "Capture policy: " << (policy_->onRequest ? "on request" : "continuous") << (soil ? ", soil" : "")
         << ", stride " << policy_->stride.load();
}

void CaptureSession::setRecording(bool recording)
{
    if (recording_ == recording)
        return;
    recording_ = recording;
    emit recordingChanged(recording);
}

void CaptureSession::openRun(bool writeImages)
{
    policy_->resetCounts();
    folderReady_ = false;
    // The run's own queues: the cameras fill them, the worker drains them,
    // and they go when both have let go.
    runQueues_ = std::make_shared<CaptureQueues>(maxBacklogBytes_);
    policy_->attach(runQueues_);
    if (worker_) {
        statsAtStart_ = worker_->stats();
        // On into the session's folder; if the session's last run has not named it yet, into the one that run makes.
        RunFolder folder = RunFolder::newSession();
        if (!openFolder_.isEmpty())
            folder = RunFolder::into(openFolder_.toStdString());
        else if (firstRun_ != 0)
            folder = RunFolder::ofEarlierRun(runId_);
        runId_ = worker_->beginRun(writeImages, runQueues_, std::move(folder));
        if (runId_ != 0) {
            ++pendingRuns_;
            if (firstRun_ == 0)
                firstRun_ = runId_;
        } else {
            LOGE << "Save worker is not running; this run saves nothing";
        }
    }
    runClock_.start();
    setRecording(true);
}

void CaptureSession::closeRun(StopReason reason)
{
    // Cameras first: nothing is queued for a run that is closing.
    policy_->saving = false;
    policy_->attach(nullptr);
    if (runQueues_ && runId_ != 0)
        closedRuns_[runId_] = std::move(runQueues_);
    runQueues_.reset();
    if (worker_)
        worker_->endRun();
    snapshotWanted_ = false;
    awaitingArrival_ = false;
    arrivalTimer_->stop();
    if (!recording_)
        return;
    LOGD << "Recording stopped: " << stopReasonText(reason);
    setRecording(false);
    emit stopped(reason);
}

void CaptureSession::start()
{
    if (recording_)
        return;
    openRun(true);
}

void CaptureSession::stop(StopReason reason)
{
    if (recording_)
        closeRun(reason);
}

void CaptureSession::snapshot()
{
    snapshotWanted_ = true;
    if (!recording_) {
        openRun(false);  // the request goes out once the folder exists
        return;
    }
    whenSnapshotWritten([this] { requestSnapshot(); });
}

void CaptureSession::requestSnapshot()
{
    if (!recording_ || !folderReady_ || !snapshotWanted_)
        return;
    snapshotWanted_ = false;
    // The last snapshot is on the card: stop writing, drop anything stale
    // (a late soil frame, a declined snapshot), then ask for a new set.
    if (worker_)
        worker_->setWriteImages(false);
    if (runQueues_)
        runQueues_->clearImages();
    awaitingArrival_ = true;
    arrivalTimer_->start(snapshotArrivalWaitMs);
    snapshotId_ = policy_->requestSnapshot();
    LOGD << "Snapshot requested (" << snapshotId_ << "), data will be enqueued but NOT saved until user confirms";
}

void CaptureSession::onSnapshotQueued()
{
    if (!awaitingArrival_)
        return;
    awaitingArrival_ = false;
    arrivalTimer_->stop();
    emit snapshotArrived(true);
}

void CaptureSession::confirm(std::vector<std::string> tags)
{
    const bool queued = runQueues_ && runQueues_->imagesWaiting();
    if (worker_)
        worker_->confirmSnapshot(SnapshotRequest{snapshotId_, std::move(tags), {}});
    if (queued) {
        writePending_ = true;
        writeTimer_->start(snapshotWriteWaitMs);
    }
}

void CaptureSession::decline()
{
    if (runQueues_)
        runQueues_->clearImages();
}

void CaptureSession::whenSnapshotWritten(std::function<void()> action)
{
    if (!writePending_) {
        action();
        return;
    }
    LOGD << "Waiting for the confirmed snapshot to be written before going on";
    afterWrite_.push_back(std::move(action));
}

void CaptureSession::finish(std::function<void()> closed)
{
    whenSnapshotWritten([this, closed = std::move(closed)] {
        if (recording_)
            closeRun(StopReason::Operator);
        forgetFolder();
        if (closed)
            closed();
    });
}

void CaptureSession::abandon()
{
    afterWrite_.clear();
    writePending_ = false;
    writeTimer_->stop();
    closeRun(StopReason::Exit);
    if (worker_)
        worker_->cancelPendingRun();
    forgetFolder();
}

void CaptureSession::forgetFolder()
{
    firstRun_ = 0;
    openFolder_.clear();
}

void CaptureSession::onFolderReady(quint64 runId, const QString& path)
{
    // A late report from a session already finished names no open folder.
    if (firstRun_ != 0 && runId >= firstRun_)
        openFolder_ = path;
    if (!recording_)
        return;
    folderReady_ = true;
    // Only now may frames pile up: their folder exists. On request, the
    // cameras still queue only the frame sets asked for (and IMU samples).
    policy_->saving = true;
    emit folderReady(path);
    requestSnapshot();
}

void CaptureSession::onFolderFailed(const QString& folder, const QString& reason)
{
    if (pendingRuns_ > 0)
        --pendingRuns_;
    LOGE << "Capture refused: the session folder " << folder.toStdString() << " could not be made"
         << (reason.isEmpty() ? std::string() : ": " + reason.toStdString());
    closeRun(StopReason::WriteFailed);
    closedRuns_.erase(runId_);  // the failed run is the newest: it made no folder
    forgetFolder();  // nothing was saved: the next start opens a new session
    emit folderFailed(folder, reason);
}

void CaptureSession::onImagesWritten(const SnapshotRequest& done)
{
    if (!writePending_)
        return;
    writePending_ = false;
    writeTimer_->stop();
    LOGD << "Snapshot " << done.id << " written: " << done.files.size() << " files";
    emit snapshotWritten(done);
    auto actions = std::move(afterWrite_);
    afterWrite_.clear();
    for (auto& action : actions)
        action();
}

void CaptureSession::onWriteFailed(const QString& what)
{
    closeRun(StopReason::WriteFailed);
    emit writeFailed(what);
}

long long CaptureSession::checkFreeSpace(const std::string& root, long long startBytes)
{
    const std::optional<StopReason> stop = storageGuard_.check(root, startBytes);
    // Single shot keeps what the operator confirms: only a running recording fills the card unattended.
    if (stop && recording_ && !singleShot_) {
        LOGW << "Free space " << storageGuard_.lastFreeBytes() << " bytes is below the floor of "
             << StorageGuard::floorFor(startBytes) << " bytes; stopping the recording";
        closeRun(*stop);
    }
    return storageGuard_.lastFreeBytes();
}

void CaptureSession::forgetRun(quint64 runId)
{
    if (pendingRuns_ > 0)
        --pendingRuns_;
    closedRuns_.erase(runId);
}

void CaptureSession::onRunFinished(const SaveRunResult& result)
{
    forgetRun(result.runId);
    keepCardRate();
    CaptureRunReport report;
    report.saved = result;
    report.colour = totals(policy_->colour, result.colourSaved);
    report.depth = totals(policy_->depth, result.depthSaved);
    report.usb = totals(policy_->usb, result.usbSaved);
    report.imu = totals(policy_->imu, result.imuSaved);
    report.droppedFrameSets = policy_->droppedFrameSets.load();
    report.elapsedMs = runClock_.isValid() ? runClock_.elapsed() : 0;
    LOGI << "Capture run finished in " << result.path.toStdString() << ": " << describe("colour", report.colour)
         << ", " << describe("depth", report.depth) << ", " << describe("USB", report.usb) << ", "
         << describe("IMU", report.imu) << ", dropped frame sets " << report.droppedFrameSets << ", failed files "
         << result.filesFailed;
    emit runFinished(report);
}

LiveCounts CaptureSession::liveCounts() const
{
    LiveCounts live;
    if (!recording_ || !runClock_.isValid())
        return live;
    live.elapsedMs = runClock_.elapsed();
    live.droppedFrameSets = policy_->droppedFrameSets.load();
    if (worker_) {
        const SaveWorker::Stats now = worker_->stats();
        live.frameSetsSaved = now.depthImagesSaved - statsAtStart_.depthImagesSaved;
        const uint64_t imu = now.imuSamplesWritten - statsAtStart_.imuSamplesWritten;
        if (live.elapsedMs > 0)
            live.imuRateHz = static_cast<double>(imu) * 1000.0 / static_cast<double>(live.elapsedMs);
    }
    return live;
}

BacklogSample CaptureSession::backlogSample() const
{
    BacklogSample sample;
    sample.atMs = monotonic_.elapsed();
    auto add = [&sample](const std::shared_ptr<CaptureQueues>& queues) {
        if (!queues)
            return;
        sample.sets += queues->backlogSets();
        sample.bytes += queues->backlogBytes();
    };
    add(runQueues_);
    for (const auto& [id, queues] : closedRuns_)
        add(queues);
    if (worker_) {
        const SaveWorker::Stats stats = worker_->stats();
        sample.cardBytes = stats.cardBytesWritten;
        sample.cardBusyUs = stats.cardBusyUs;
    }
    return sample;
}

// The run's writes say how fast the card is, once there were enough of them.
void CaptureSession::keepCardRate()
{
    if (!worker_ || cardRateFile_.empty())
        return;
    const SaveWorker::Stats now = worker_->stats();
    const uint64_t bytes = now.cardBytesWritten - statsAtStart_.cardBytesWritten;
    const uint64_t busyUs = now.cardBusyUs - statsAtStart_.cardBusyUs;
    if (bytes < card_rate::minBytesMeasured || busyUs == 0)
        return;
    card_rate::save(
        cardRateFile_, storageRootForCapture(), static_cast<double>(bytes) * 1e6 / static_cast<double>(busyUs));
}
