#include "DataCollectionWidget.h"
#include "ui_DataCollectionWidget.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include <QLabel>
#include <QMetaObject>
#include <QEventLoop>
#include <QShowEvent>
#include <QStackedWidget>
#include <QStyle>
#include <QTimer>

#include "CaptureMode.h"
#include "CaptureSession.h"
#include "CardRate.h"
#include "CollectionContext.h"
#include "ConfirmationDialog.h"
#include "FrameQueues.h"
#include "Log.h"
#include "AtomicFile.h"
#include "SaveFiles.h"
#include "TagSelectionDialog.h"
#include "SaveWorker.h"
#include "config_manager.h"
#include "file_manager.h"

namespace {

const char* const kStyleSheet = ":/Qss/DataCollectionWidget.qss";
const char* const kTestFrame = ":/VideoData/2D.nv12";
constexpr int kTestFrameWidth = 280;
constexpr int kTestFrameHeight = 250;
constexpr int kStatusIntervalMs = 1000;

QString elapsedText(qint64 ms)
{
    const qint64 seconds = ms / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString stateText(DataCollectionWidget::CameraState state)
{
    switch (state) {
    case DataCollectionWidget::CameraState::Off:
        return QString::fromUtf8("未连接");
    case DataCollectionWidget::CameraState::Connecting:
        return QString::fromUtf8("连接中…");
    case DataCollectionWidget::CameraState::Live:
        return QString::fromUtf8("● 实时");
    case DataCollectionWidget::CameraState::NotResponding:
        return QString::fromUtf8("● 无响应");
    }
    return {};
}

const char* stateProperty(DataCollectionWidget::CameraState state)
{
    switch (state) {
    case DataCollectionWidget::CameraState::Off:
        return "off";
    case DataCollectionWidget::CameraState::Connecting:
        return "connecting";
    case DataCollectionWidget::CameraState::Live:
        return "live";
    case DataCollectionWidget::CameraState::NotResponding:
        return "silent";
    }
    return "off";
}

void repolish(QWidget* widget)
{
    widget->style()->unpolish(widget);
    widget->style()->polish(widget);
    widget->update();
}

} // namespace

DataCollectionWidget::DataCollectionWidget(QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::DataCollectionWidget)
{
    // setupUi connects the on_<object>_clicked slots by name.
    ui->setupUi(this);
    setupStyles();
    cameras_ = new CameraRig(this);
    connect(cameras_, &CameraRig::stateChanged, this, &DataCollectionWidget::showCameraState);
    connect(cameras_, &CameraRig::previewReady, this, &DataCollectionWidget::showPreview);
    connect(cameras_, &CameraRig::cameraLost, this, [this](CameraRig::Slot slot) {
        // The camera opens again by itself; the recording does not wait for it.
        if (status_ == Collecting && (slot == CameraRig::Slot::Depth || taskUsesUsbCamera()))
            session_->stop(StopReason::CameraLost);
    });

    // The session owns the save worker and its thread; runs are recorded in the ledger.
    session_ = new CaptureSession(std::make_shared<SaveWorker>(&file_manager::instance().ledger()), this,
        config_manager::instance().maxBacklogBytes());
    // Beside the ledger: the terminal's state, not the session's.
    const std::string ledger = file_manager::instance().ledger().csv_file();
    if (!ledger.empty())
        session_->setCardRateFile(
            (std::filesystem::path(ledger).parent_path() / "card_rate.json").lexically_normal().string());
    loadStoredCardRate();
    connectSession();

    setCollectionStatus(Idle);
    LOGD << "DataCollectionWidget initialized with status: Idle";
    ui->stackedWidget_Previews->setCurrentWidget(ui->page_StandardPreview);

    const CollectionInfo info = CollectionContext::instance().collectionInfo();
    lastDevices_ = info.devices;
    lastTaskLabel_ = info.task_label;
    createCamerasFromConfig();

    statusTimer_ = new QTimer(this);
    statusTimer_->setInterval(kStatusIntervalMs);
    connect(statusTimer_, &QTimer::timeout, this, &DataCollectionWidget::updateRecordingStatus);
    statusTimer_->start();
    updateRecordingStatus();

    // A still picture until the cameras deliver.
    ui->openglNV12Widget->updateFrameNV12FromFile(kTestFrame, kTestFrameWidth, kTestFrameHeight);
    ui->openglDepthNV12Widget->updateFrameNV12FromFile(kTestFrame, kTestFrameWidth, kTestFrameHeight);
}

void DataCollectionWidget::connectSession()
{
    connect(session_, &CaptureSession::recordingChanged, this, &DataCollectionWidget::signalRecordingStateChanged);
    connect(session_, &CaptureSession::folderFailed, this, &DataCollectionWidget::onFolderFailed);
    connect(session_, &CaptureSession::snapshotArrived, this, [this](bool) {
        if (status_ == WaitingConfirm)
            runConfirmationFlow();
    });
    connect(session_, &CaptureSession::writeFailed, this,
        [](const QString& what) { LOGE << "Recording stopped: " << what.toStdString(); });
    connect(session_, &CaptureSession::stopped, this, &DataCollectionWidget::onStopped);
    connect(session_, &CaptureSession::runFinished, this, &DataCollectionWidget::onRunFinished);
}

DataCollectionWidget::~DataCollectionWidget()
{
    // A run still open ends now: the worker writes its files and leaves its
    // loop, instead of draining until it is terminated at exit.
    if (session_)
        session_->stop();
    // Joins the capture threads before the page goes, so no callback outlives it;
    // notifications still queued are dropped with the page.
    cameras_->release();
    delete ui;
    ui = nullptr;
}

void DataCollectionWidget::setupStyles()
{
    loadStyles(this, kStyleSheet);
    ui->Btn_BackToInfo->setText("<");
    ui->Btn_BackToInfo->setAccessibleName(QString::fromUtf8("返回"));
    ui->Btn_Finish->setIcon(QIcon(":/Svg/Confirm.svg"));
    ui->Btn_Finish->setIconSize(QSize(28, 28));
    ui->label_GeminiTitle->setText("ORBBEC GEMINI 2");
    const QSizePolicy expanding(QSizePolicy::Expanding, QSizePolicy::Expanding);
    ui->openglNV12Widget->setSizePolicy(expanding);
    ui->frame_GeminiPreview->setSizePolicy(expanding);
    ui->openglDepthNV12Widget_Dirty->setSizePolicy(expanding);
    for (QLabel* label : {ui->label_GeminiStatus, ui->label_UsbStatus}) {
        label->setProperty("cameraState", "off");
        label->setText(stateText(CameraState::Off));
    }
}

void DataCollectionWidget::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    setCollectionStatus(status_);
    LOGD << "DataCollectionWidget shown, button status updated";
}

bool DataCollectionWidget::isSingleShotCapture() const
{
    return captureModeOf(CollectionContext::instance().collectionInfo().capture_mode) == CaptureMode::SingleShot;
}

// ---------------------------------------------------------------- state

void DataCollectionWidget::setCollectionStatus(CollectionStatus status)
{
    status_ = status;
    const bool singleShot = isSingleShotCapture();
    auto* back = ui->Btn_BackToInfo;
    auto* main = ui->Btn_MainAction;
    auto* finish = ui->Btn_Finish;
    back->setVisible(status == Idle);

    switch (status) {
    case Idle: {
        // After a stop, a new start and the finish wait until the card has everything.
        const bool writing = session_->writingAfterStop() && backlog_.draining();
        back->setEnabled(singleShot ? !hasFirstSnapshot_ : !hasStartedCollection);
        main->setEnabled(!writing);
        finish->setEnabled(!writing && (singleShot ? capturedCount_ >= 1 : hasDataInCurrentSession_));
        break;
    }
    case Collecting:
        back->setEnabled(false);
        // Left as the start path set it: disabled for the first second of a
        // run (a second tap must not stop it), then enabled to stop.
        finish->setEnabled(false);
        break;
    case WaitingConfirm:
        back->setEnabled(false);
        main->setEnabled(false);
        finish->setEnabled(false);
        // The confirmation follows the session's snapshotArrived event.
        break;
    }

    if (singleShot) {
        main->setProperty("mode", "single_shot");
        main->setText(QString::fromUtf8("同步拍照"));
        main->setIcon(QIcon());  // the start/stop icons belong to the continuous modes
    } else {
        main->setProperty("mode", "continuous");
        if (status == Collecting) {
            main->setProperty("status", "recording");
            main->setIcon(QIcon(":/Svg/Stop.svg"));
            main->setText(QString::fromUtf8("停止采集"));
        } else {
            main->setProperty("status", "idle");
            main->setIcon(QIcon(":/Svg/Start.svg"));
            main->setText(QString::fromUtf8("开始采集"));
        }
        main->setIconSize(QSize(40, 40));
    }
    repolish(main);

    const bool startedFlag = singleShot ? hasFirstSnapshot_ : hasStartedCollection;
    LOGD << "Collection status changed to: " << static_cast<int>(status)
         << ", hasStartedCollection: " << hasStartedCollection << ", BackButton visible: " << back->isVisibleTo(this)
         << ", Btn_BackToInfo enabled: " << back->isEnabled() << ", Btn_MainAction enabled: " << main->isEnabled()
         << ", Btn_Finish enabled: " << finish->isEnabled() << ", hasDataInCurrentSession_: " << hasDataInCurrentSession_;
    if (status == Idle) {
        LOGD << "Idle status: hasStartedCollection=" << startedFlag << ", isSingleShotCapture=" << singleShot
             << ", capturedCount_=" << capturedCount_ << ", Btn_BackToInfo enabled: " << back->isEnabled()
             << ", Btn_MainAction enabled: " << main->isEnabled() << ", Btn_Finish enabled: " << finish->isEnabled()
             << ", hasDataInCurrentSession_: " << hasDataInCurrentSession_;
        if (singleShot)
            LOGD << "Single-shot mode: Btn_Finish enabled based on capturedCount_=" << capturedCount_;
    }
}

void DataCollectionWidget::pauseCameraRefresh()
{
    LOGD << "Pausing camera refresh to display static frame";
    isCameraRefreshPaused_ = true;
}

void DataCollectionWidget::resumeCameraRefresh()
{
    LOGD << "Resuming camera refresh";
    isCameraRefreshPaused_ = false;
}

// ---------------------------------------------------------------- cameras

void DataCollectionWidget::createCamerasFromConfig()
{
    const camera_config& cameras = config_manager::instance().camera_config_;
    // What the cameras save follows the operator's current choices.
    session_->configure(CollectionContext::instance().collectionInfo(), cameras.camera1.fps > 0 ? cameras.camera1.fps : 30);
    cameras_->open(cameras, session_->policy());
}

bool DataCollectionWidget::taskUsesUsbCamera() const
{
    return CameraRig::listsUsbCamera(config_manager::instance().camera_config_)
        && isSoilCollection(CollectionContext::instance().collectionInfo().task_label);
}

void DataCollectionWidget::showCameraState(CameraRig::Slot slot, CameraState state)
{
    if (!ui)
        return;
    const bool depth = slot == CameraRig::Slot::Depth;
    // Both previews of the depth camera carry its badge.
    const std::vector<QLabel*> labels = depth ? std::vector<QLabel*>{ui->label_GeminiStatus, ui->label_GeminiStatus_Dirty}
                                              : std::vector<QLabel*>{ui->label_UsbStatus};
    for (QLabel* label : labels) {
        label->setText(stateText(state));
        label->setProperty("cameraState", stateProperty(state));
        repolish(label);
    }
    if (state == CameraState::NotResponding)
        LOGW << (depth ? "label_GeminiStatus" : "label_UsbStatus") << ": camera not responding";
}

void DataCollectionWidget::showPreview(CameraRig::Slot slot)
{
    PreviewFrame frame = cameras_->takePreview(slot);
    // Frozen while a snapshot waits for the operator: the queue keeps draining.
    if (!frame || isCameraRefreshPaused_)
        return;
    const bool twoPreviews = ui->stackedWidget_Previews->currentWidget() == ui->page_DirtyPreview;
    NV12Widget* widget = nullptr;
    if (slot == CameraRig::Slot::Depth)
        widget = twoPreviews ? ui->openglDepthNV12Widget_Dirty : ui->openglDepthNV12Widget;
    else if (twoPreviews)
        widget = ui->openglNV12Widget;
    if (!widget)
        return;
    widget->updateFrameNV12(std::move(frame.nv12), frame.width, frame.height);
    widget->update();
}

void DataCollectionWidget::refreshCameraPreview()
{
    const CollectionInfo info = CollectionContext::instance().collectionInfo();
    ui->label_Scenario->setText(QString::fromStdString(info.scene_name));
    ui->label_Task->setText(QString::fromStdString(info.task_name));
    ui->label_Tag->setText(
        QString::fromUtf8("标签: %1").arg(config_manager::instance().selected_tags_.size()));
    ui->label_Device->setText(QString::fromStdString(info.devices));
    // The operator aims every camera that records: both previews when the USB camera takes part.
    const bool twoPreviews = taskUsesUsbCamera();
    ui->stackedWidget_Previews->setCurrentWidget(twoPreviews ? ui->page_DirtyPreview : ui->page_StandardPreview);
    ui->frame_GeminiPreview_Standard->setVisible(true);

    const CollectionInfo current = CollectionContext::instance().collectionInfo();
    const char* reason = nullptr;
    if (current.devices != lastDevices_ || current.task_label != lastTaskLabel_)
        reason = "device_or_scene_changed";
    else if (!cameras_->camera(CameraRig::Slot::Depth))
        reason = "manager_missing";
    if (!reason)
        return;

    lastDevices_ = current.devices;
    lastTaskLabel_ = current.task_label;
    cameras_->release();  // their preview frames go with them
    createCamerasFromConfig();
    LOGD << "refreshCameraPreview reinitialized cameras, reason: " << reason;
}

// ---------------------------------------------------------------- status

void DataCollectionWidget::updateRecordingStatus()
{
    if (!ui)
        return;
    // A card filling up ends the recording while what is written is still whole.
    lastFreeBytes_ = session_->checkFreeSpace(storageRootForCapture(), config_manager::instance().minFreeBytes());
    const QString free = QString::fromUtf8("剩余 %1").arg(freeSpaceText(lastFreeBytes_));
    backlog_.add(session_->backlogSample());

    if (!session_->recording()) {
        QStringList parts;
        if (backlog_.draining())
            parts << backlog_.drainingText();
        else if (const QString shortfall = cardShortfallText(); !shortfall.isEmpty())
            parts << QStringLiteral("<span style=\"color:#D97706\">%1</span>").arg(shortfall);
        parts << free;
        ui->label_RecordingStatus->setText(parts.join(QStringLiteral("  ·  ")));
        return;
    }
    const LiveCounts live = session_->liveCounts();
    QStringList parts;
    // Single shot takes snapshots at the operator's pace: a clock would suggest a recording.
    if (isSingleShotCapture())
        parts << QString::fromUtf8("● 拍照") << QString::fromUtf8("已保存 %1 张").arg(capturedCount_);
    else
        parts << QString::fromUtf8("● 录制 %1").arg(elapsedText(live.elapsedMs))
              << QString::fromUtf8("已保存 %1 组").arg(live.frameSetsSaved);
    parts << QString::fromUtf8("IMU %1 Hz").arg(static_cast<int>(live.imuRateHz + 0.5));
    const QString dropped = QString::fromUtf8("丢弃 %1").arg(live.droppedFrameSets);
    parts << (live.droppedFrameSets > 0 ? QStringLiteral("<span style=\"color:#DC2626\">%1</span>").arg(dropped)
                                        : dropped);
    if (!isSingleShotCapture())
        parts << backlog_.recordingText();
    parts << free;
    ui->label_RecordingStatus->setText(parts.join(QStringLiteral("  ·  ")));
}

std::string DataCollectionWidget::storageRootForCapture() const
{
    const std::string root = CollectionContext::instance().storageRoot();
    return root.empty() ? std::string(".") : root;
}

bool DataCollectionWidget::storageAllowsCapture()
{
    const std::string root = storageRootForCapture();
    int error = 0;
    if (!save_files::canCreateFiles(root, error)) {
        LOGE << "Capture refused: cannot create files in " << root << ": " << atomic_file::errorText(error);
        showNotice(this, QString::fromUtf8("无法保存"),
            QString::fromUtf8("存储目录不可写, 采集未开始:\n%1\n(%2)")
                .arg(QString::fromStdString(root), QString::fromStdString(atomic_file::errorText(error))));
        return false;
    }
    const long long free = save_files::freeBytes(root);
    const long long needed = config_manager::instance().minFreeBytes();
    if (free >= 0 && free < needed) {
        LOGW << "Capture refused: " << free << " bytes free in " << root << ", " << needed << " needed";
        showNotice(this, QString::fromUtf8("存储空间不足"),
            QString::fromUtf8("剩余 %1, 采集至少需要 %2。\n请清理存储卡后再采集。")
                .arg(freeSpaceText(free), freeSpaceText(needed)));
        return false;
    }
    return true;
}

void DataCollectionWidget::onStopped(StopReason reason)
{
    // What the cameras queued is still being written: the page says so until the run reports.
    if (!isSingleShotCapture() && session_->writingAfterStop())
        backlog_.startDraining(session_->backlogSample().atMs);
    if (status_ == Collecting)
        setCollectionStatus(Idle);
    if (reason == StopReason::StorageFloor) {
        const long long floor = StorageGuard::floorFor(config_manager::instance().minFreeBytes());
        showNotice(this, QString::fromUtf8("存储空间不足"),
            QString::fromUtf8("剩余空间不足 %1, 采集已停止, 已保存的数据完整。").arg(freeSpaceText(floor)));
    } else if (reason == StopReason::CameraLost) {
        showNotice(this, QString::fromUtf8("相机断开"),
            QString::fromUtf8("相机连接中断, 采集已停止, 已保存的数据完整。\n相机恢复后预览会自动恢复。"));
    }
}

// ---------------------------------------------------------------- save worker

bool DataCollectionWidget::waitForPendingSaveResults(int timeoutMs)
{
    if (session_->pendingRuns() > 0) {
        // Woken by each report and by the deadline, never by a poll. A card
        // that is still writing moves the deadline: the data is not left behind.
        QEventLoop loop;
        QTimer deadline;
        deadline.setSingleShot(true);
        BacklogSample seen = session_->backlogSample();
        connect(&deadline, &QTimer::timeout, &loop, [&] {
            const BacklogSample now = session_->backlogSample();
            if (now.cardBytes != seen.cardBytes || now.sets != seen.sets) {
                seen = now;
                deadline.start(timeoutMs);
                return;
            }
            loop.quit();
        });
        const auto quitWhenReported = [&] {
            if (session_->pendingRuns() == 0)
                loop.quit();
        };
        connect(session_, &CaptureSession::runFinished, &loop, quitWhenReported);
        connect(session_, &CaptureSession::folderFailed, &loop, quitWhenReported);
        deadline.start(timeoutMs);
        loop.exec();
    }
    if (session_->pendingRuns() > 0)
        LOGW << "Save worker did not report " << session_->pendingRuns() << " run(s); no write progressed for "
             << timeoutMs << " ms";
    return session_->pendingRuns() == 0;
}

bool DataCollectionWidget::askBeforeExit()
{
    // Half a second of frame sets or less is written before the operator could read the question.
    constexpr uint32_t kAskFromSets = 15;
    const uint32_t waiting = session_->backlogSample().sets;
    if (waiting < kAskFromSets)
        return true;
    ConfirmationDialog dialog(QString::fromUtf8("正在写入"),
        QString::fromUtf8("还有 %1 组数据等待写入存储卡。\n退出前会先写完, 是否退出?").arg(waiting), this);
    const bool exit = dialog.exec() == QDialog::Accepted && dialog.confirmed_;
    LOGI << (exit ? "Exit while writing: waiting for " : "Exit declined while writing; ") << waiting
         << " frame sets waiting for the card";
    return exit;
}

void DataCollectionWidget::loadStoredCardRate()
{
    storedCardRate_ = 0;
    if (auto rate = card_rate::load(session_->cardRateFile(), storageRootForCapture()))
        storedCardRate_ = *rate;
}

QString DataCollectionWidget::cardShortfallText() const
{
    // Single shot writes at the operator's pace; nothing piles up.
    if (storedCardRate_ <= 0 || isSingleShotCapture())
        return {};
    const int stride = std::max(1, session_->policy()->stride.load());
    const double needed = config_manager::instance().streamBytesPerSecond(taskUsesUsbCamera()) / stride;
    return card_rate::shortfallText(needed, storedCardRate_);
}

void DataCollectionWidget::onFolderFailed(const QString& folder, const QString& reason)
{
    // Nothing was saved and nothing is held: the session starts over next time.
    ++sessionGeneration_;
    hasFirstSnapshot_ = false;
    hasStartedCollection = false;
    hasDataInCurrentSession_ = false;
    isCameraRefreshPaused_ = false;
    setCollectionStatus(Idle);
    showNotice(this, QString::fromUtf8("无法保存"),
        QString::fromUtf8("无法创建会话目录, 采集未开始:\n%1%2")
            .arg(folder, reason.isEmpty() ? QString() : QStringLiteral("\n(") + reason + QStringLiteral(")")));
}

void DataCollectionWidget::onRunFinished(const CaptureRunReport& report)
{
    if (backlog_.draining() && !session_->writingAfterStop()) {
        backlog_.finishDraining(session_->backlogSample().atMs);
        if (status_ == Idle)
            setCollectionStatus(Idle);
        loadStoredCardRate();
        updateRecordingStatus();
    }
    onRunRecorded(report.saved.path.toStdString());
    const uint64_t failed = report.saved.filesFailed;
    if (failed == 0 && report.saved.failure.isEmpty())
        return;
    sessionFilesFailed_ += failed;
    const QString text = QString::fromUtf8("保存失败: %1 个文件未写入").arg(failed);
    LOGE << "Run ended by a failed write: " << failed << " files not written (" << report.saved.failure.toStdString()
         << ")";
    // The finish reports it instead of a success.
    if (ui->Btn_Finish->text() == QString::fromUtf8("打包完成"))
        ui->Btn_Finish->setText(text);
    showNotice(this, QString::fromUtf8("保存失败"),
        text + QStringLiteral("\n") + report.saved.failure + QString::fromUtf8("\n已写入的数据完整, 采集已停止。"));
}

// ---------------------------------------------------------------- buttons

void DataCollectionWidget::on_Btn_MainAction_clicked()
{
    if (!ui->Btn_MainAction->isEnabled()) {
        LOGD << "Button already disabled, ignoring click";
        return;
    }
    const CollectionInfo info = CollectionContext::instance().collectionInfo();
    const bool singleShot = captureModeOf(info.capture_mode) == CaptureMode::SingleShot;

    if (!singleShot && status_ == Collecting) {
        ui->Btn_MainAction->setEnabled(false);
        LOGD << "Recording mode: Stopping collection";
        session_->stop();
        setCollectionStatus(Idle);
        return;
    }
    // Every start and every snapshot first makes sure the card can take it.
    if (!storageAllowsCapture())
        return;
    ui->Btn_MainAction->setEnabled(false);

    if (!singleShot) {
        LOGD << "Continuous mode: starting collection";
        if (cameras_->camera(CameraRig::Slot::Depth)) {
            LOGD << "Camera already initialized and running";
        } else {
            LOGD << "Camera not initialized, initializing now...";
            createCamerasFromConfig();
        }
        if (!hasStartedCollection) {
            LOGD << "First time starting collection, creating session folder";
            hasStartedCollection = true;
            hasDataInCurrentSession_ = false;
        } else {
            LOGD << "Reusing existing session folder";
            LOGD << "Current session folder: " << session_->openFolder().toStdString();
        }
        backlog_.startRecording();
        session_->start();
        setCollectionStatus(Collecting);
        // Debounce: a second press within a second of a start is ignored.
        QTimer::singleShot(1000, this, [this] {
            if (status_ == Idle || status_ == Collecting) {
                ui->Btn_MainAction->setEnabled(true);
                LOGD << "Main action button re-enabled after 1 second";
            }
        });
        updateRecordingStatus();
        return;
    }

    LOGD << "Single-shot mode: triggering snapshot";
    LOGD << "Current subScene: " << info.task_label;
    if (!hasFirstSnapshot_) {
        LOGD << "First snapshot, creating session folder";
        hasFirstSnapshot_ = true;
    } else {
        LOGD << "Subsequent snapshot, reusing existing folder";
    }
    // The session asks the cameras once the folder exists and the last
    // confirmed snapshot is on the card; snapshotArrived brings the question.
    session_->snapshot();
    pauseCameraRefresh();
    setCollectionStatus(WaitingConfirm);
    LOGD << "Waiting for user confirmation";
}

void DataCollectionWidget::runConfirmationFlow()
{
    LOGD << "Showing save confirmation dialog";
    const uint64_t generation = sessionGeneration_;
    bool confirmed = false;
    {
        ConfirmationDialog dialog(QString::fromUtf8("确认保存"), QString::fromUtf8("是否保存此次拍照数据?"), this);
        confirmed = dialog.exec() == QDialog::Accepted && dialog.confirmed_;
    }
    // The page may have been reset while the dialog was open (exit, back).
    if (generation != sessionGeneration_ || status_ != WaitingConfirm) {
        resumeCameraRefresh();
        return;
    }

    if (!confirmed) {
        LOGD << "User cancelled save, discarding captured data";
        session_->decline();
        setCollectionStatus(Idle);
    } else {
        LOGD << "User confirmed to save the captured data";
        const config_manager& config = config_manager::instance();
        const auto candidates = popupTagCandidates(config.tag_pairs_, config.selected_tags_);
        std::vector<std::string> tags;
        if (candidates.empty()) {
            LOGD << "No popup tag candidates, additional_tags empty";
        } else {
            LOGD << "Single-shot mode: showing tag selection dialog";
            {
                TagSelectionDialog dialog(candidates, this);
                dialog.exec();
                tags = dialog.selectedTags();
            }
            if (generation != sessionGeneration_ || status_ != WaitingConfirm) {
                resumeCameraRefresh();
                return;
            }
            LOGD << "Additional tags set: " << tags.size() << " tags";
        }
        session_->confirm(std::move(tags));
        ++capturedCount_;
        hasDataInCurrentSession_ = true;
        setCollectionStatus(Idle);
    }
    resumeCameraRefresh();
}

void DataCollectionWidget::on_Btn_Finish_clicked()
{
    LOGD << "Finish button clicked";
    if (backlog_.sessionWaitMs() >= BacklogStatus::longWaitMs) {
        const qint64 seconds = (backlog_.sessionWaitMs() + 500) / 1000;
        LOGW << "The card kept the operator waiting " << seconds << " s after stopping in this session";
        showNotice(this, QString::fromUtf8("存储卡写入较慢"),
            QString::fromUtf8("停止采集后等待存储卡写入共 %1 秒。数据已完整写入。").arg(seconds));
    }
    ui->Btn_Finish->setEnabled(false);
    ui->Btn_MainAction->setEnabled(false);
    // Failures already known are reported instead of a success.
    ui->Btn_Finish->setText(sessionFilesFailed_ > 0
            ? QString::fromUtf8("保存失败: %1 个文件未写入").arg(sessionFilesFailed_)
            : QString::fromUtf8("打包完成"));
    // The session closes once a confirmed snapshot is on the card; the worker
    // then finishes its run and reports the folder.
    const uint64_t generation = sessionGeneration_;
    session_->finish([this, generation] {
        if (generation == sessionGeneration_)
            closeSessionState();
    });
}

void DataCollectionWidget::closeSessionState()
{
    const bool singleShot = isSingleShotCapture();
    capturedCount_ = 0;
    sessionFilesFailed_ = 0;
    backlog_.startSession();
    ++sessionGeneration_;
    hasFirstSnapshot_ = false;
    hasStartedCollection = false;
    hasDataInCurrentSession_ = false;
    LOGD << (singleShot ? "Single-shot mode: session finished, cleared paths and reset flags for next snapshot"
                        : "Continuous mode: session finished, cleared save paths for next collection");
    setCollectionStatus(Idle);
    // setCollectionStatus(Idle) enables the buttons; finish keeps them off
    // for a second so a double tap cannot open a new session at once.
    ui->Btn_Finish->setEnabled(false);
    ui->Btn_MainAction->setEnabled(false);
    const uint64_t generation = sessionGeneration_;
    QTimer::singleShot(1000, this, [this, generation] {
        ui->Btn_Finish->setText(QString::fromUtf8("结束"));
        // The page was reset (back, exit) meanwhile and may already run a
        // new session: leave its state alone.
        if (generation != sessionGeneration_ || status_ != Idle)
            return;
        setCollectionStatus(Idle);
        ui->Btn_MainAction->setEnabled(true);
        LOGD << "Buttons re-enabled, status reset to Idle";
    });
}

void DataCollectionWidget::on_Btn_BackToInfo_clicked()
{
    LOGD << "========== Back button clicked, cleaning up resources ==========";
    cleanupResourcesAndPrepareExit();
    emit signalBackToInformationRequested();
}

void DataCollectionWidget::cleanupResourcesAndPrepareExit()
{
    LOGD << "========== Cleaning up resources for exit ==========";
    session_->abandon();
    LOGD << "Stopped save task";

    LOGD << "Releasing camera resources...";
    cameras_->release();
    LOGD << "Camera resources released";

    LOGD << "Resetting state flags...";
    ++sessionGeneration_;
    capturedCount_ = 0;
    sessionFilesFailed_ = 0;
    isCameraRefreshPaused_ = false;
    hasFirstSnapshot_ = false;
    hasStartedCollection = false;
    hasDataInCurrentSession_ = false;
    setCollectionStatus(Idle);
    LOGD << "State flags reset";
    LOGD << "========== Resource cleanup completed ==========";
}

// ---------------------------------------------------------------- results

void DataCollectionWidget::onRunRecorded(const std::string& folder)
{
    // The worker has written meta.yaml and the ledger row. A run of a session
    // already closed (single shot reports at finish) says nothing about the open one.
    const std::string open = session_->openFolder().toStdString();
    if (open.empty() || open != folder) {
        LOGD << "Recorded a run of a closed session: " << folder;
        return;
    }
    hasDataInCurrentSession_ = true;
    if (status_ == Idle || status_ == Collecting)
        ui->Btn_Finish->setEnabled(status_ == Idle);
}
