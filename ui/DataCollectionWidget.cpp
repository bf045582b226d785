#include "DataCollectionWidget.h"
#include "ui_DataCollectionWidget.h"

#include <algorithm>

#include <QLabel>
#include <QShowEvent>
#include <QStackedWidget>
#include <QStyle>
#include <QTimer>

#include "CaptureMode.h"
#include "CaptureSession.h"
#include "CardRate.h"
#include "CollectionContext.h"
#include "ConfirmationDialog.h"
#include "Log.h"
#include "TagSelectionDialog.h"
#include "SaveWorker.h"
#include "WriteDrain.h"
#include "config_manager.h"
#include "file_manager.h"

namespace {

const char* const kStyleSheet = ":/Qss/DataCollectionWidget.qss";
const char* const kTestFrame = ":/VideoData/2D.nv12";
constexpr int kTestFrameWidth = 280;
constexpr int kTestFrameHeight = 250;
constexpr int kStatusIntervalMs = 1000;

// A camera's badge: its text and its style.
std::pair<QString, const char*> badge(DataCollectionWidget::CameraState state)
{
    using State = DataCollectionWidget::CameraState;
    switch (state) {
    case State::Connecting: return {QString::fromUtf8("连接中…"), "connecting"};
    case State::Live: return {QString::fromUtf8("● 实时"), "live"};
    case State::NotResponding: return {QString::fromUtf8("● 无响应"), "silent"};
    case State::Off: break;
    }
    return {QString::fromUtf8("未连接"), "off"};
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
    session_->setCardRateFile(card_rate::fileBeside(file_manager::instance().ledger().csv_file()));
    state_.loadCardRate(session_->cardRateFile(), storageRootForCapture());
    connectSession();

    setCollectionStatus(Idle);
    ui->stackedWidget_Previews->setCurrentWidget(ui->page_StandardPreview);

    lastDevices_ = CollectionContext::instance().collectionInfo().devices;
    lastTaskLabel_ = CollectionContext::instance().collectionInfo().task_label;
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
    showCameraState(CameraRig::Slot::Depth, CameraState::Off);
    showCameraState(CameraRig::Slot::Usb, CameraState::Off);
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
        label->setText(badge(state).first);
        label->setProperty("cameraState", badge(state).second);
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
    setCollectionStatus(status_ == Exiting ? Exiting : Idle);
    tell(folderFailedNotice(folder, reason));
}

void DataCollectionWidget::onRunFinished(const CaptureRunReport& report)
{
    if (state_.backlog().draining() && !session_->writingAfterStop()) {
        state_.backlog().finishDraining(session_->backlogSample().atMs);
        state_.loadCardRate(session_->cardRateFile(), storageRootForCapture());
    }
    // A run of a session already closed (single shot reports at finish) says nothing about the open one.
    const std::string open = session_->openFolder().toStdString();
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
        if (!cameras_->camera(CameraRig::Slot::Depth))
            createCamerasFromConfig();
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
    cameras_->release();
    isCameraRefreshPaused_ = false;
    state_.reset();
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
    const uint32_t waiting = session_->backlogSample().sets;
    const auto question = exitQuestion(waiting);
    if (!question)
        return true;
    ConfirmationDialog dialog(question->title, question->text, this);
    const bool exit = dialog.exec() == QDialog::Accepted && dialog.confirmed_;
    LOGI << (exit ? "Exit while writing: waiting for " : "Exit declined while writing; ") << waiting
         << " frame sets waiting for the card";
    return exit;
}
