#include "DataCollectionWidget.h"
#include "ui_DataCollectionWidget.h"

#include <algorithm>

#include <QLabel>
#include <QMetaObject>
#include <QShowEvent>
#include <QStackedWidget>
#include <QStyle>
#include <QTimer>

#include "CameraConfig.h"
#include "CameraManager.h"
#include "CaptureMode.h"
#include "CaptureSession.h"
#include "CardRate.h"
#include "CollectionContext.h"
#include "ConfirmationDialog.h"
#include "Log.h"
#include "TagSelectionDialog.h"
#include "SaveWorker.h"
#include "UsbCameraConfig.h"
#include "WriteDrain.h"
#include "config_manager.h"
#include "file_manager.h"

namespace {

const char* const kStyleSheet = ":/Qss/DataCollectionWidget.qss";
const char* const kTestFrame = ":/VideoData/2D.nv12";
constexpr int kTestFrameWidth = 280;
constexpr int kTestFrameHeight = 250;
// A camera that showed no frame for this long is marked as not responding.
constexpr int kCameraSilenceMs = 2000;
constexpr int kStatusIntervalMs = 1000;

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
    connect(this, &DataCollectionWidget::signal_notifyRenderFrameNV12, this, &DataCollectionWidget::onUsbPreviewFrame);
    connect(this, &DataCollectionWidget::signal_notifyRenderFrameDepthNV12, this,
        &DataCollectionWidget::onDepthPreviewFrame);
    // Camera state for the operator: a status report or a frame means live.
    connect(this, &DataCollectionWidget::signal_notifyCamera_1, this,
        [this](bool isOk) { onCameraStatus(isOk, true); });
    connect(this, &DataCollectionWidget::signal_notifyCamera_2, this,
        [this](bool isOk) { onCameraStatus(isOk, false); });
    cameraWatchdog_ = new QTimer(this);
    cameraWatchdog_->setInterval(500);
    connect(cameraWatchdog_, &QTimer::timeout, this, &DataCollectionWidget::checkCamerasResponding);
    cameraWatchdog_->start();

    // The session owns the save worker and its thread; runs are recorded in the ledger.
    session_ = new CaptureSession(std::make_shared<SaveWorker>(&file_manager::instance().ledger()), this,
        config_manager::instance().maxBacklogBytes());
    session_->setCardRateFile(card_rate::fileBeside(file_manager::instance().ledger().csv_file()));
    state_.loadCardRate(session_->cardRateFile(), storageRootForCapture());
    connectSession();

    setCollectionStatus(Idle);
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
    exitDrain_ = new WriteDrain(session_);
    connect(exitDrain_, &WriteDrain::drained, this, &DataCollectionWidget::signalExitReady);
}

DataCollectionWidget::~DataCollectionWidget()
{
    // A run still open ends now: the worker writes its files and leaves its
    // loop, instead of draining until it is terminated at exit.
    if (session_)
        session_->stop();
    // Joins the capture threads before the page goes, so no callback outlives it;
    // notifications still queued are dropped with the page.
    releaseCameras();
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
    // After a stop, a new start and the finish wait until the card has everything.
    const bool writing = session_->writingAfterStop() && state_.backlog().draining();
    const bool free = !writing && !state_.holdsButtons();
    auto* main = ui->Btn_MainAction;
    ui->Btn_BackToInfo->setVisible(status == Idle);
    ui->Btn_BackToInfo->setEnabled(status == Idle && !state_.open());
    main->setEnabled((status == Idle || status == Collecting) && free);
    ui->Btn_Finish->setEnabled(status == Idle && free && state_.hasData());
    ui->Btn_Finish->setText(state_.finishText());
    // Single shot takes snapshots; the continuous modes start and stop, with their icons.
    const bool recording = status == Collecting;
    main->setProperty("mode", singleShot ? "single_shot" : "continuous");
    main->setProperty("status", recording ? "recording" : "idle");
    main->setText(QString::fromUtf8(singleShot ? "同步拍照" : recording ? "停止采集" : "开始采集"));
    main->setIcon(singleShot ? QIcon() : QIcon(recording ? ":/Svg/Stop.svg" : ":/Svg/Start.svg"));
    main->setIconSize(QSize(40, 40));
    repolish(main);
}

void DataCollectionWidget::pauseCameraRefresh()
{
    isCameraRefreshPaused_ = true;
}

void DataCollectionWidget::resumeCameraRefresh()
{
    isCameraRefreshPaused_ = false;
}

// ---------------------------------------------------------------- cameras

void DataCollectionWidget::createCamerasFromConfig()
{
    createDepthCamera();
    createUsbCamera();
}

void DataCollectionWidget::createDepthCamera()
{
    const camera_config& cameras = config_manager::instance().camera_config_;
    const std::vector<CameraConfig> requests = depthCameraConfigs(cameras);
    // What the cameras save follows the operator's current choices.
    const CollectionInfo info = CollectionContext::instance().collectionInfo();
    session_->configure(info, cameras.camera1.fps > 0 ? cameras.camera1.fps : 30);

    // The old manager goes first: one camera, one owner.
    depthCameraManager_.reset();
    if (requests.empty()) {
        // A manager without streams would start no thread; the next entry of
        // the page tries again.
        LOGW << "No depth camera streams configured (camera1, camera2); depth camera not started";
        setDepthCameraState(CameraState::Off);
        return;
    }
    depthCameraManager_ = std::make_unique<CameraManager>();
    depthCameraManager_->setCapturePolicy(session_->policy());
    // The callbacks run on capture threads and only post to the GUI thread.
    // The page destroys its managers (joining their threads) before it dies.
    depthCameraManager_->paramInit(static_cast<camera_type>(cameras.camera1.camera_id),
        cameras.camera1.camera_type_str, requests,
        [this] { QMetaObject::invokeMethod(this, "signal_notifyRenderFrameDepthNV12", Qt::QueuedConnection); },
        [this](bool isOk) {
            QMetaObject::invokeMethod(this, "signal_notifyCamera_1", Qt::QueuedConnection, Q_ARG(bool, isOk));
        });
    depthLastSign_.restart();
    setDepthCameraState(CameraState::Connecting);
}

void DataCollectionWidget::createUsbCamera()
{
    const camera_config& cameras = config_manager::instance().camera_config_;
    if (cameras.camera3.camera_id != static_cast<int>(usb_camera))
        return;
    usbCameraManager_.reset();
    usbCameraManager_ = std::make_unique<CameraManager>();
    usbCameraManager_->setCapturePolicy(session_->policy());
    usbCameraManager_->paramInit(static_cast<camera_type>(cameras.camera3.camera_id), cameras.camera3.camera_type_str,
        usbCameraConfigs(cameras.camera3),
        [this] { QMetaObject::invokeMethod(this, "signal_notifyRenderFrameNV12", Qt::QueuedConnection); },
        [this](bool isOk) {
            QMetaObject::invokeMethod(this, "signal_notifyCamera_2", Qt::QueuedConnection, Q_ARG(bool, isOk));
        });
    usbLastSign_.restart();
    setUsbCameraState(CameraState::Connecting);
}

void DataCollectionWidget::releaseCameras()
{
    // Null first, then destroy: nothing reaches a manager while it joins its thread.
    if (auto usb = std::move(usbCameraManager_)) {
        LOGD << "Releasing USB camera manager";
        usb.reset();
    }
    if (auto depth = std::move(depthCameraManager_)) {
        LOGD << "Releasing Depth camera manager";
        depth.reset();
    }
    if (ui) {
        setUsbCameraState(CameraState::Off);
        setDepthCameraState(CameraState::Off);
    }
}

bool DataCollectionWidget::taskUsesUsbCamera() const
{
    return config_manager::instance().camera_config_.camera3.camera_id == static_cast<int>(usb_camera)
        && isSoilCollection(CollectionContext::instance().collectionInfo().task_label);
}

void DataCollectionWidget::setDepthCameraState(CameraState value)
{
    if (depthCameraState_ == value)
        return;
    depthCameraState_ = value;
    // Both previews of the depth camera carry its badge.
    for (QLabel* label : {ui->label_GeminiStatus, ui->label_GeminiStatus_Dirty}) {
        label->setText(stateText(value));
        label->setProperty("cameraState", stateProperty(value));
        repolish(label);
    }
    if (value == CameraState::NotResponding)
        LOGW << "label_GeminiStatus: camera not responding";
}

void DataCollectionWidget::setUsbCameraState(CameraState value)
{
    if (usbCameraState_ == value)
        return;
    usbCameraState_ = value;
    ui->label_UsbStatus->setText(stateText(value));
    ui->label_UsbStatus->setProperty("cameraState", stateProperty(value));
    repolish(ui->label_UsbStatus);
    if (value == CameraState::NotResponding)
        LOGW << "label_UsbStatus: camera not responding";
}

void DataCollectionWidget::onCameraStatus(bool isOk, bool depthCamera)
{
    (depthCamera ? depthLastSign_ : usbLastSign_).restart();
    const CameraState state = isOk ? CameraState::Live : CameraState::NotResponding;
    if (depthCamera)
        setDepthCameraState(state);
    else
        setUsbCameraState(state);
    // The manager opens the camera again by itself; the recording does not wait for it.
    if (!isOk && status_ == Collecting && (depthCamera || taskUsesUsbCamera()))
        session_->stop(StopReason::CameraLost);
}

void DataCollectionWidget::checkCamerasResponding()
{
    if (!ui)
        return;
    if (depthCameraManager_ && depthLastSign_.isValid() && depthLastSign_.elapsed() > kCameraSilenceMs)
        setDepthCameraState(CameraState::NotResponding);
    if (usbCameraManager_ && usbLastSign_.isValid() && usbLastSign_.elapsed() > kCameraSilenceMs)
        setUsbCameraState(CameraState::NotResponding);
}

void DataCollectionWidget::onDepthPreviewFrame()
{
    PreviewFrame frame = depthCameraManager_ ? depthCameraManager_->previewMailbox.take() : PreviewFrame{};
    if (!frame)
        return;
    depthLastSign_.restart();
    setDepthCameraState(CameraState::Live);
    // Frozen while a snapshot waits for the operator: the queue keeps draining.
    if (isCameraRefreshPaused_)
        return;
    NV12Widget* widget = ui->stackedWidget_Previews->currentWidget() == ui->page_DirtyPreview
        ? ui->openglDepthNV12Widget_Dirty
        : ui->openglDepthNV12Widget;
    widget->updateFrameNV12(std::move(frame.nv12), frame.width, frame.height);
    widget->update();
}

void DataCollectionWidget::onUsbPreviewFrame()
{
    PreviewFrame frame = usbCameraManager_ ? usbCameraManager_->previewMailbox.take() : PreviewFrame{};
    if (!frame)
        return;
    usbLastSign_.restart();
    setUsbCameraState(CameraState::Live);
    if (isCameraRefreshPaused_ || ui->stackedWidget_Previews->currentWidget() != ui->page_DirtyPreview)
        return;
    ui->openglNV12Widget->updateFrameNV12(std::move(frame.nv12), frame.width, frame.height);
    ui->openglNV12Widget->update();
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
    else if (!depthCameraManager_)
        reason = "manager_missing";
    if (!reason)
        return;

    lastDevices_ = current.devices;
    lastTaskLabel_ = current.task_label;
    releaseCameras();  // their preview frames go with them
    createCamerasFromConfig();
    LOGD << "refreshCameraPreview reinitialized cameras, reason: " << reason;
}

// ---------------------------------------------------------------- status

void DataCollectionWidget::updateRecordingStatus()
{
    if (!ui)
        return;
    const config_manager& config = config_manager::instance();
    SessionStatus::Inputs in;
    in.recording = session_->recording();
    in.singleShot = isSingleShotCapture();
    in.live = session_->liveCounts();
    // A card filling up ends the recording while what is written is still whole.
    in.freeBytes = session_->checkFreeSpace(storageRootForCapture(), config.minFreeBytes());
    in.neededBytesPerSecond =
        config.streamBytesPerSecond(taskUsesUsbCamera()) / std::max(1, session_->policy()->stride.load());
    state_.backlog().add(session_->backlogSample());
    ui->label_RecordingStatus->setText(state_.statusLine(in));
    if (state_.holdEnded())
        setCollectionStatus(status_);
}

void DataCollectionWidget::tell(const Notice& notice)
{
    showNotice(this, notice.title, notice.text);
}

void DataCollectionWidget::onStopped(StopReason reason)
{
    // What the cameras queued is still being written: the page says so until the run reports.
    if (!isSingleShotCapture() && session_->writingAfterStop())
        state_.backlog().startDraining(session_->backlogSample().atMs);
    if (status_ == Collecting)
        setCollectionStatus(Idle);
    if (const auto notice = stopNotice(reason, config_manager::instance().minFreeBytes()))
        tell(*notice);
}

void DataCollectionWidget::onFolderFailed(const QString& folder, const QString& reason)
{
    // Nothing was saved and nothing is held: the session starts over next time.
    state_.reset();
    isCameraRefreshPaused_ = false;
    CollectionContext::instance().setBaseSavePath({});
    setCollectionStatus(status_ == Exiting ? Exiting : Idle);
    tell({QString::fromUtf8("无法保存"),
        QString::fromUtf8("无法创建会话目录, 采集未开始:\n%1%2")
            .arg(folder, reason.isEmpty() ? QString() : QStringLiteral("\n(") + reason + QStringLiteral(")"))});
}

void DataCollectionWidget::onRunFinished(const CaptureRunReport& report)
{
    if (state_.backlog().draining() && !session_->writingAfterStop()) {
        state_.backlog().finishDraining(session_->backlogSample().atMs);
        state_.loadCardRate(session_->cardRateFile(), storageRootForCapture());
    }
    // A run of a session already closed (single shot reports at finish) says nothing about the open one.
    const std::string open = CollectionContext::instance().baseSavePath();
    if (!open.empty() && open == report.saved.path.toStdString())
        state_.runRecorded();
    const auto failed = state_.runReported(report.saved);
    setCollectionStatus(status_);
    updateRecordingStatus();
    if (failed)
        tell(*failed);
}

// ---------------------------------------------------------------- buttons

void DataCollectionWidget::on_Btn_MainAction_clicked()
{
    // A direct call (a queued second tap) obeys the same rules as the button.
    if (!ui->Btn_MainAction->isEnabled() || state_.holdsButtons())
        return;
    const bool singleShot = isSingleShotCapture();
    if (!singleShot && status_ == Collecting) {
        session_->stop();
        setCollectionStatus(Idle);
        return;
    }
    // Every start and every snapshot first makes sure the card can take it.
    if (const auto refused = storageRefusal(storageRootForCapture(), config_manager::instance().minFreeBytes())) {
        tell(*refused);
        return;
    }
    state_.accepted(!singleShot);
    if (!singleShot) {
        if (!depthCameraManager_)
            createDepthCamera();
        session_->start();
        setCollectionStatus(Collecting);
        updateRecordingStatus();
        return;
    }
    // The session asks the cameras once the folder exists and the last
    // confirmed snapshot is on the card; snapshotArrived brings the question.
    session_->snapshot();
    pauseCameraRefresh();
    setCollectionStatus(WaitingConfirm);
}

void DataCollectionWidget::runConfirmationFlow()
{
    const uint64_t generation = state_.generation();
    // The page may have been reset while a dialog was open (exit, back).
    const auto stale = [&] { return generation != state_.generation() || status_ != WaitingConfirm; };
    bool confirmed = false;
    {
        ConfirmationDialog dialog(QString::fromUtf8("确认保存"), QString::fromUtf8("是否保存此次拍照数据?"), this);
        confirmed = dialog.exec() == QDialog::Accepted && dialog.confirmed_;
    }
    if (!stale() && !confirmed) {
        session_->decline();
        setCollectionStatus(Idle);
    } else if (!stale()) {
        const config_manager& config = config_manager::instance();
        const auto candidates = popupTagCandidates(config.tag_pairs_, config.selected_tags_);
        std::vector<std::string> tags;
        if (!candidates.empty()) {
            TagSelectionDialog dialog(candidates, this);
            dialog.exec();
            tags = dialog.selectedTags();
        }
        if (!stale()) {
            session_->confirm(std::move(tags));
            state_.snapshotKept();
            setCollectionStatus(Idle);
        }
    }
    resumeCameraRefresh();
}

void DataCollectionWidget::on_Btn_Finish_clicked()
{
    if (const auto slow = state_.slowCardNotice())
        tell(*slow);
    state_.finishPressed();
    setCollectionStatus(Idle);
    // The session closes once a confirmed snapshot is on the card; the worker
    // then finishes its run and reports the folder.
    const uint64_t generation = state_.generation();
    session_->finish([this, generation] {
        if (generation == state_.generation())
            closeSessionState();
    });
}

void DataCollectionWidget::closeSessionState()
{
    state_.finishClosed();
    CollectionContext::instance().setBaseSavePath({});
    // The buttons wait a moment longer (the hold): a double tap cannot open a new session at once.
    setCollectionStatus(Idle);
}

void DataCollectionWidget::on_Btn_BackToInfo_clicked()
{
    cleanupResourcesAndPrepareExit();
    emit signalBackToInformationRequested();
}

void DataCollectionWidget::cleanupResourcesAndPrepareExit()
{
    session_->abandon();
    releaseCameras();
    isCameraRefreshPaused_ = false;
    state_.reset();
    CollectionContext::instance().setBaseSavePath({});
    setCollectionStatus(Idle);
}

void DataCollectionWidget::exitWhenWritten(int boundMs)
{
    cleanupResourcesAndPrepareExit();
    setCollectionStatus(Exiting);
    exitDrain_->start(boundMs);
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
