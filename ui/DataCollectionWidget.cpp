#include "DataCollectionWidget.h"
#include "ui_DataCollectionWidget.h"

#include <algorithm>
#include <stdexcept>

#include <QLabel>
#include <QMetaObject>
#include <QEventLoop>
#include <QShowEvent>
#include <QStackedWidget>
#include <QStyle>
#include <QTimer>

#include "CameraConfig.h"
#include "CameraManager.h"
#include "CollectionContext.h"
#include "ConfirmationDialog.h"
#include "FrameQueues.h"
#include "Log.h"
#include "TagSelectionDialog.h"
#include "TaskManager.h"
#include "TaskSaveWork.h"
#include "UsbCameraConfig.h"
#include "config_manager.h"
#include "file_manager.h"
#include "session_meta.h"

namespace {

const char* const kStyleSheet = ":/Qss/DataCollectionWidget.qss";
const char* const kTestFrame = ":/VideoData/2D.nv12";
constexpr int kTestFrameWidth = 280;
constexpr int kTestFrameHeight = 250;
// A camera that showed no frame for this long is marked as not responding.
constexpr int kCameraSilenceMs = 2000;
// Longest wait for a confirmed snapshot to reach the card before a new
// trigger or the finish goes ahead anyway.
constexpr int kPendingSnapshotWaitMs = 10000;
// Time for a save worker pass that began before a flag change to end.
constexpr int kSaveFlagSettleMs = 50;
// Longest wait for the camera to deliver a snapshot before the operator is
// asked anyway.
constexpr int kSnapshotWaitMs = 3000;

bool imageQueuesEmpty()
{
    auto& queues = FrameQueueManager::instance();
    return queues.usbMjpegQueue.size() == 0 && queues.depthMjpegQueue.size() == 0 && queues.depthQueue.size() == 0;
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
    connect(this, &DataCollectionWidget::signal_notifyRenderFrameNV12, this, &DataCollectionWidget::onUsbPreviewFrame);
    connect(this, &DataCollectionWidget::signal_notifyRenderFrameDepthNV12, this,
        &DataCollectionWidget::onDepthPreviewFrame);
    // Camera state for the operator: a status report or a frame means live.
    connect(this, &DataCollectionWidget::signal_notifyCamera_1, this, [this](bool isOk) {
        depthLastSign_.restart();
        setCameraState(ui->label_GeminiStatus, depthCameraState_,
            isOk ? CameraState::Live : CameraState::NotResponding);
    });
    connect(this, &DataCollectionWidget::signal_notifyCamera_2, this, [this](bool isOk) {
        usbLastSign_.restart();
        setCameraState(ui->label_UsbStatus, usbCameraState_, isOk ? CameraState::Live : CameraState::NotResponding);
    });
    cameraWatchdog_ = new QTimer(this);
    cameraWatchdog_->setInterval(500);
    connect(cameraWatchdog_, &QTimer::timeout, this, &DataCollectionWidget::checkCamerasResponding);
    cameraWatchdog_->start();

    isSaveFile_ = false;
    shouldProcessQueue_ = false;
    LOGD << "Initialized save flags: isSaveFile_ = false, shouldProcessQueue_ = false";
    setCollectionStatus(Idle);
    LOGD << "DataCollectionWidget initialized with status: Idle";
    ui->stackedWidget_Previews->setCurrentWidget(ui->page_StandardPreview);

    const CollectionInfo info = CollectionContext::instance().collectionInfo();
    lastDevices_ = info.devices;
    lastTaskLabel_ = info.task_label;
    createCamerasFromConfig();

    // The save worker lives as long as the process; the task manager owns it.
    auto saveTask = std::make_shared<TaskSaveWork>();
    connect(saveTask.get(), &BaseTask::BaseSendTaskData, this, &DataCollectionWidget::slot_ReceiveDataSaveWork,
        Qt::QueuedConnection);
    if (!TaskManager::instance().addTaskThreadStart(saveTask))
        LOGW << "Save worker already registered; results of the registered one are not connected to this page";

    QTimer::singleShot(100, this, [this] {
        ui->openglNV12Widget->updateFrameNV12FromFile(kTestFrame, kTestFrameWidth, kTestFrameHeight);
        ui->openglDepthNV12Widget->updateFrameNV12FromFile(kTestFrame, kTestFrameWidth, kTestFrameHeight);
    });
    QTimer::singleShot(200, this, [this] {
        if (status_ == Idle) {
            ui->Btn_MainAction->setEnabled(true);
            setCollectionStatus(Idle);
            LOGD << "Buttons re-enabled after initialization delay";
        }
    });
}

DataCollectionWidget::~DataCollectionWidget()
{
    // A run still open ends now: the worker writes its files and leaves its
    // loop, instead of draining until it is terminated at exit.
    isSaveFile_ = false;
    shouldProcessQueue_ = false;
    stopSaveTask();
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
    LOGD << "DataCollectionWidget shown, button status updated";
}

bool DataCollectionWidget::isSingleShotCapture() const
{
    return CollectionContext::instance().collectionInfo().capture_mode == "single_shot";
}

std::map<std::string, std::vector<std::string>> DataCollectionWidget::resolveImageLabelsFromManifest(
    const std::string& sessionPath) const
{
    return session_meta::readImageLabels(sessionPath + "/manifest.json");
}

// ---------------------------------------------------------------- state

void DataCollectionWidget::setCollectionStatus(CollectionStatus status)
{
    const CollectionStatus previous = status_;
    status_ = status;
    const bool singleShot = isSingleShotCapture();
    auto* back = ui->Btn_BackToInfo;
    auto* main = ui->Btn_MainAction;
    auto* finish = ui->Btn_Finish;
    back->setVisible(status == Idle);

    switch (status) {
    case Idle:
        back->setEnabled(singleShot ? !hasFirstSnapshot_ : !hasStartedCollection);
        main->setEnabled(true);
        finish->setEnabled(singleShot ? capturedCount_ >= 1 : hasDataInCurrentSession_);
        break;
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
        // One confirmation per snapshot, however often the state is re-applied.
        if (previous != WaitingConfirm && !confirmationScheduled_) {
            confirmationScheduled_ = true;
            const uint64_t generation = sessionGeneration_;
            QTimer::singleShot(100, this, [this, generation] { confirmWhenSnapshotTaken(generation); });
        }
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
    createDepthCamera();
    createUsbCamera();
}

void DataCollectionWidget::createDepthCamera()
{
    const camera_config& cameras = config_manager::instance().camera_config_;
    const std::vector<CameraConfig> requests = depthCameraConfigs(cameras);
    expectsDepth_ = std::any_of(requests.begin(), requests.end(),
        [](const CameraConfig& request) { return request.streamType == camera_stream::kDepth; });

    // The old manager goes first: one camera, one owner.
    depthCameraManager_.reset();
    if (requests.empty()) {
        // A manager without streams would start no thread; the next entry of
        // the page tries again.
        LOGW << "No depth camera streams configured (camera1, camera2); depth camera not started";
        setCameraState(ui->label_GeminiStatus, depthCameraState_, CameraState::Off);
        return;
    }
    depthCameraManager_ = std::make_unique<CameraManager>();
    // The callbacks run on capture threads and only post to the GUI thread.
    // The page destroys its managers (joining their threads) before it dies.
    depthCameraManager_->paramInit(static_cast<camera_type>(cameras.camera1.camera_id),
        cameras.camera1.camera_type_str, requests,
        [this] { QMetaObject::invokeMethod(this, "signal_notifyRenderFrameDepthNV12", Qt::QueuedConnection); },
        [this](bool isOk) {
            QMetaObject::invokeMethod(this, "signal_notifyCamera_1", Qt::QueuedConnection, Q_ARG(bool, isOk));
        });
    depthLastSign_.restart();
    setCameraState(ui->label_GeminiStatus, depthCameraState_, CameraState::Connecting);
}

void DataCollectionWidget::createUsbCamera()
{
    const camera_config& cameras = config_manager::instance().camera_config_;
    if (cameras.camera3.camera_id != static_cast<int>(usb_camera))
        return;
    usbCameraManager_.reset();
    usbCameraManager_ = std::make_unique<CameraManager>();
    usbCameraManager_->paramInit(static_cast<camera_type>(cameras.camera3.camera_id), cameras.camera3.camera_type_str,
        usbCameraConfigs(cameras.camera3),
        [this] { QMetaObject::invokeMethod(this, "signal_notifyRenderFrameNV12", Qt::QueuedConnection); },
        [this](bool isOk) {
            QMetaObject::invokeMethod(this, "signal_notifyCamera_2", Qt::QueuedConnection, Q_ARG(bool, isOk));
        });
    usbLastSign_.restart();
    setCameraState(ui->label_UsbStatus, usbCameraState_, CameraState::Connecting);
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
        setCameraState(ui->label_UsbStatus, usbCameraState_, CameraState::Off);
        setCameraState(ui->label_GeminiStatus, depthCameraState_, CameraState::Off);
    }
}

void DataCollectionWidget::setRecording(bool recording, bool processQueues)
{
    isSaveFile_ = recording;
    shouldProcessQueue_ = processQueues;
    if (recording == recording_)
        return;
    recording_ = recording;
    emit signalRecordingStateChanged(recording);
}

void DataCollectionWidget::setCameraState(QLabel* label, CameraState& state, CameraState value)
{
    if (state == value)
        return;
    state = value;
    label->setText(stateText(value));
    label->setProperty("cameraState", stateProperty(value));
    repolish(label);
    if (value == CameraState::NotResponding)
        LOGW << label->objectName() << ": camera not responding";
}

void DataCollectionWidget::checkCamerasResponding()
{
    if (!ui)
        return;
    if (depthCameraManager_ && depthLastSign_.isValid() && depthLastSign_.elapsed() > kCameraSilenceMs)
        setCameraState(ui->label_GeminiStatus, depthCameraState_, CameraState::NotResponding);
    if (usbCameraManager_ && usbLastSign_.isValid() && usbLastSign_.elapsed() > kCameraSilenceMs)
        setCameraState(ui->label_UsbStatus, usbCameraState_, CameraState::NotResponding);
}

void DataCollectionWidget::onDepthPreviewFrame()
{
    std::unique_ptr<uint8_t[]> frame = FrameQueueManager::instance().depthNV12Queue.pop();
    if (!frame)
        return;
    depthLastSign_.restart();
    setCameraState(ui->label_GeminiStatus, depthCameraState_, CameraState::Live);
    // Frozen while a snapshot waits for the operator: the queue keeps draining.
    if (isCameraRefreshPaused_)
        return;
    auto& queue = FrameQueueManager::instance().depthNV12Queue;
    ui->openglDepthNV12Widget->updateFrameNV12(frame.release(), queue.width.load(), queue.height.load());
    ui->openglDepthNV12Widget->update();
}

void DataCollectionWidget::onUsbPreviewFrame()
{
    // USB preview frames are not shown; taking them keeps the queue moving.
    if (FrameQueueManager::instance().usbNV12Queue.pop()) {
        usbLastSign_.restart();
        setCameraState(ui->label_UsbStatus, usbCameraState_, CameraState::Live);
    }
}

void DataCollectionWidget::refreshCameraPreview()
{
    const CollectionInfo info = CollectionContext::instance().collectionInfo();
    ui->label_Scenario->setText(QString::fromStdString(info.scene_name));
    ui->label_Task->setText(QString::fromStdString(info.task_name));
    ui->label_Tag->setText(
        QString::fromUtf8("标签: %1").arg(config_manager::instance().selected_tags_.size()));
    ui->label_Device->setText(QString::fromStdString(info.devices));
    ui->stackedWidget_Previews->setCurrentWidget(ui->page_StandardPreview);
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
    releaseCameras();
    auto& queues = FrameQueueManager::instance();
    queues.usbNV12Queue.clear();
    queues.depthNV12Queue.clear();
    createCamerasFromConfig();
    LOGD << "refreshCameraPreview reinitialized cameras, reason: " << reason;
}

// ---------------------------------------------------------------- save worker

void DataCollectionWidget::triggerSaveTask()
{
    auto task = std::dynamic_pointer_cast<TaskSaveWork>(TaskManager::instance().getTask(TaskTypes::TaskSaveWork));
    // A run the worker accepted always ends with a result (unless its folder
    // could not be made); exit waits for those results.
    if (task && task->postTask(QVariant::fromValue(nullptr)) == 0)
        ++pendingSaveRuns_;
}

bool DataCollectionWidget::waitForPendingSaveResults(int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    while (pendingSaveRuns_ > 0 && waited.elapsed() < timeoutMs) {
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (pendingSaveRuns_ > 0)
        LOGW << "Save worker did not report " << pendingSaveRuns_ << " run(s) within " << timeoutMs << " ms";
    return pendingSaveRuns_ == 0;
}

void DataCollectionWidget::stopSaveTask()
{
    auto task = std::dynamic_pointer_cast<TaskSaveWork>(TaskManager::instance().getTask(TaskTypes::TaskSaveWork));
    if (task)
        task->stopTask();
}

void DataCollectionWidget::clearSaveQueues()
{
    FrameQueueManager::instance().clearSaveQueues();
}

uint64_t DataCollectionWidget::imagesHandledBySaveWorker() const
{
    auto task = std::dynamic_pointer_cast<TaskSaveWork>(TaskManager::instance().getTask(TaskTypes::TaskSaveWork));
    if (!task)
        return 0;
    const TaskSaveWork::Stats stats = task->stats();
    return stats.colourImagesSaved + stats.depthImagesSaved + stats.imagesFailed;
}

bool DataCollectionWidget::confirmedSnapshotWritten() const
{
    // Dequeued is not enough: the worker files an image under the tags of
    // the moment it writes it, so the next snapshot's tags must wait.
    return imageQueuesEmpty() && imagesHandledBySaveWorker() >= confirmedImagesTarget_;
}

void DataCollectionWidget::afterPendingSnapshotWritten(std::function<void()> action)
{
    if (!shouldProcessQueue_ || confirmedSnapshotWritten()) {
        action();
        return;
    }
    LOGD << "Waiting for the confirmed snapshot to be written before going on";
    auto* poll = new QTimer(this);
    auto waited = std::make_shared<QElapsedTimer>();
    waited->start();
    const uint64_t generation = sessionGeneration_;
    connect(poll, &QTimer::timeout, this, [this, poll, waited, generation, action = std::move(action)] {
        if (generation != sessionGeneration_) {
            poll->deleteLater();
            return;
        }
        if (!confirmedSnapshotWritten() && waited->elapsed() < kPendingSnapshotWaitMs)
            return;
        if (!confirmedSnapshotWritten())
            LOGW << "Confirmed snapshot not written within " << kPendingSnapshotWaitMs << " ms, going on";
        poll->stop();
        poll->deleteLater();
        action();
    });
    poll->start(10);
}

// ---------------------------------------------------------------- buttons

void DataCollectionWidget::on_Btn_MainAction_clicked()
{
    if (!ui->Btn_MainAction->isEnabled()) {
        LOGD << "Button already disabled, ignoring click";
        return;
    }
    ui->Btn_MainAction->setEnabled(false);
    const CollectionInfo info = CollectionContext::instance().collectionInfo();
    const bool singleShot = info.capture_mode == "single_shot";

    if (!singleShot && status_ == Collecting) {
        LOGD << "Recording mode: Stopping collection";
        setRecording(false, false);
        setCollectionStatus(Idle);
        return;
    }

    if (!singleShot) {
        LOGD << "Continuous mode: starting collection";
        if (depthCameraManager_) {
            LOGD << "Camera already initialized and running";
        } else {
            LOGD << "Camera not initialized, initializing now...";
            createDepthCamera();
        }
        if (!hasStartedCollection) {
            LOGD << "First time starting collection, creating session folder";
            setRecording(true, true);
            triggerSaveTask();
            hasStartedCollection = true;
            hasDataInCurrentSession_ = false;
        } else {
            const std::string base = CollectionContext::instance().baseSavePath();
            LOGD << "Reusing existing session folder";
            LOGD << "Current BaseSavePath_: " << base;
            setRecording(true, true);
            triggerSaveTask();
            LOGD << "Re-triggered TaskSaveWork for existing folder, BaseSavePath_: " << base;
        }
        setCollectionStatus(Collecting);
        LOGD << "Standard mode: Collection started, isSaveFile_ = " << isSaveFile_.load()
             << ", shouldProcessQueue_ = " << shouldProcessQueue_.load();
        // Debounce: a second press within a second of a start is ignored.
        QTimer::singleShot(1000, this, [this] {
            if (status_ == Idle || status_ == Collecting) {
                ui->Btn_MainAction->setEnabled(true);
                LOGD << "Main action button re-enabled after 1 second";
            }
        });
        return;
    }

    LOGD << "Single-shot mode: triggering snapshot";
    snapshotTriggered_ = false;
    LOGD << "Current subScene: " << info.task_label;
    if (!hasFirstSnapshot_) {
        LOGD << "First snapshot, creating session folder";
        setRecording(true, false);
        triggerSaveTask();
        hasFirstSnapshot_ = true;
        // The worker needs a moment to create the session folder.
        const uint64_t generation = sessionGeneration_;
        QTimer::singleShot(300, this, [this, generation] {
            if (generation == sessionGeneration_)
                runFirstSnapshotTrigger();
        });
    } else {
        LOGD << "Subsequent snapshot, reusing existing folder";
        afterPendingSnapshotWritten([this] { runLaterSnapshotTrigger(); });
    }
    pauseCameraRefresh();
    setCollectionStatus(WaitingConfirm);
    LOGD << "Waiting for user confirmation";
}

void DataCollectionWidget::confirmWhenSnapshotTaken(uint64_t generation)
{
    // Ask only once the camera has delivered the snapshot: an answer given
    // before the trigger ran would let the next trigger discard it.
    auto* poll = new QTimer(this);
    auto waited = std::make_shared<QElapsedTimer>();
    waited->start();
    connect(poll, &QTimer::timeout, this, [this, poll, waited, generation] {
        if (generation != sessionGeneration_ || status_ != WaitingConfirm) {
            confirmationScheduled_ = false;
            poll->deleteLater();
            return;
        }
        // Colour and depth come in one frame set, but the depth record is
        // queued after the colour preview is made: wait for both.
        auto& queues = FrameQueueManager::instance();
        const bool captured = snapshotTriggered_ &&
            (queues.usbMjpegQueue.size() > 0 ||
                (queues.depthMjpegQueue.size() > 0 && (!expectsDepth_ || queues.depthQueue.size() > 0)));
        if (!captured && waited->elapsed() < kSnapshotWaitMs)
            return;
        if (!captured)
            LOGW << "No frame arrived for this snapshot within " << kSnapshotWaitMs << " ms; is the camera streaming?";
        poll->stop();
        poll->deleteLater();
        confirmationScheduled_ = false;
        runConfirmationFlow();
    });
    poll->start(10);
}

void DataCollectionWidget::runFirstSnapshotTrigger()
{
    LOGD << "========== First snapshot trigger ==========";
    LOGD << "Session folder should be created now";
    LOGD << "BaseSavePath_: " << CollectionContext::instance().baseSavePath();
    LOGD << "isSaveFile_ = " << isSaveFile_.load() << ", shouldProcessQueue_ = " << shouldProcessQueue_.load();
    LOGD << "subScene: " << CollectionContext::instance().collectionInfo().task_label;
    clearSaveQueues();
    LOGD << "Cleared all save queues before triggering capture";
    const uint64_t before = captureTriggerCount.fetch_add(1);
    LOGD << "Trigger counter: " << before << " -> " << before + 1;
    LOGD << "Data will be enqueued but NOT saved until user confirms";
    snapshotTriggered_ = true;
}

void DataCollectionWidget::runLaterSnapshotTrigger()
{
    // Order matters: stop writing, drop stale frames, then ask for a new set.
    shouldProcessQueue_ = false;
    // A worker pass that saw the flag still set may take one more record:
    // let it end before the new snapshot's frames can arrive.
    const uint64_t generation = sessionGeneration_;
    QTimer::singleShot(kSaveFlagSettleMs, this, [this, generation] {
        if (generation != sessionGeneration_ || status_ != WaitingConfirm)
            return;
        clearSaveQueues();
        LOGD << "Cleared all save queues before triggering capture";
        captureTriggerCount.fetch_add(1);
        LOGD << "Snapshot triggered, data will be enqueued but NOT saved until user confirms";
        snapshotTriggered_ = true;
    });
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
        clearSaveQueues();
        shouldProcessQueue_ = false;
        setCollectionStatus(Idle);
    } else {
        LOGD << "User confirmed to save the captured data";
        const config_manager& config = config_manager::instance();
        const auto candidates = popupTagCandidates(config.tag_pairs_, config.selected_tags_);
        if (candidates.empty()) {
            CollectionContext::instance().setAdditionalTags({});
            LOGD << "No popup tag candidates, additional_tags empty";
        } else {
            LOGD << "Single-shot mode: showing tag selection dialog";
            std::vector<std::string> tags;
            {
                TagSelectionDialog dialog(candidates, this);
                dialog.exec();
                tags = dialog.selectedTags();
            }
            if (generation != sessionGeneration_ || status_ != WaitingConfirm) {
                resumeCameraRefresh();
                return;
            }
            const size_t count = tags.size();
            CollectionContext::instance().setAdditionalTags(std::move(tags));
            LOGD << "Additional tags set: " << count << " tags";
        }
        // The images of this snapshot waiting in the queues, as the worker counts them.
        auto& queues = FrameQueueManager::instance();
        confirmedImagesTarget_ = imagesHandledBySaveWorker() + queues.usbMjpegQueue.size() +
            queues.depthMjpegQueue.size() + queues.depthQueue.size();
        shouldProcessQueue_ = true;
        ++capturedCount_;
        hasDataInCurrentSession_ = true;
        setCollectionStatus(Idle);
    }
    resumeCameraRefresh();
}

void DataCollectionWidget::on_Btn_Finish_clicked()
{
    LOGD << "Finish button clicked";
    ui->Btn_Finish->setEnabled(false);
    ui->Btn_MainAction->setEnabled(false);
    ui->Btn_Finish->setText(QString::fromUtf8("打包完成"));

    const bool singleShot = isSingleShotCapture();
    // Close the session now; the worker finishes its run and reports the folder.
    auto closeSession = [this, singleShot] {
        setRecording(false, false);
        clearSaveQueues();
        capturedCount_ = 0;
        ++sessionGeneration_;
        if (singleShot) {
            hasFirstSnapshot_ = false;
            hasDataInCurrentSession_ = false;
            CollectionContext::instance().setSessionPaths({}, {}, {});
            LOGD << "Single-shot mode: session finished, cleared paths and reset flags for next snapshot";
        } else {
            if (hasDataInCurrentSession_)
                LOGD << "Continuous mode: has data, resetting state for next collection";
            else
                LOGD << "Continuous mode: no data collected, resetting state anyway";
            hasStartedCollection = false;
            hasDataInCurrentSession_ = false;
            CollectionContext::instance().setSessionPaths({}, {}, {});
            LOGD << "Cleared save paths for next collection";
        }
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
    };
    // A snapshot confirmed a moment ago may still sit in the save queues.
    if (singleShot)
        afterPendingSnapshotWritten(closeSession);
    else
        closeSession();
}

void DataCollectionWidget::on_Btn_BackToInfo_clicked()
{
    LOGD << "========== Back button clicked, cleaning up resources ==========";
    cleanupResourcesAndPrepareExit();
    QWidget* window = parentWidget();
    while (window && !window->inherits("Kavrel"))
        window = window->parentWidget();
    if (!window) {
        LOGE << "Failed to locate Kavrel from DataCollectionWidget parent chain";
        return;
    }
    LOGD << "Successfully found Kavrel, switching to InformationCollectionWidget";
    if (auto* stack = window->findChild<QStackedWidget*>("stackedWidget"); stack && stack->currentIndex() != 1)
        stack->setCurrentIndex(1);
}

void DataCollectionWidget::cleanupResourcesAndPrepareExit()
{
    LOGD << "========== Cleaning up resources for exit ==========";
    setRecording(false, false);
    LOGD << "Stopped save flags";
    if (auto task = std::dynamic_pointer_cast<TaskSaveWork>(TaskManager::instance().getTask(TaskTypes::TaskSaveWork)))
        task->cancelTask();
    LOGD << "Stopped save task";

    LOGD << "Releasing camera resources...";
    releaseCameras();
    LOGD << "Camera resources released";

    LOGD << "Clearing all data queues...";
    auto& queues = FrameQueueManager::instance();
    clearSaveQueues();
    queues.usbNV12Queue.clear();
    queues.depthNV12Queue.clear();
    {
        auto& context = CollectionContext::instance();
        std::lock_guard<std::mutex> lock(context.imu_mutex);
        context.imu_entries = nullptr;
    }
    LOGD << "All data queues cleared";

    LOGD << "Resetting state flags...";
    ++sessionGeneration_;
    capturedCount_ = 0;
    isCameraRefreshPaused_ = false;
    hasFirstSnapshot_ = false;
    hasStartedCollection = false;
    hasDataInCurrentSession_ = false;
    CollectionContext::instance().setSessionPaths({}, {}, {});
    CollectionContext::instance().setAdditionalTags({});
    setCollectionStatus(Idle);
    LOGD << "State flags reset";
    LOGD << "========== Resource cleanup completed ==========";
}

// ---------------------------------------------------------------- results

void DataCollectionWidget::slot_ReceiveDataSaveWork(QVariant Data)
{
    const std::string curFilePath = Data.toString().toStdString();
    auto& context = CollectionContext::instance();
    const std::string basePath = context.baseSavePath();
    LOGD << "slot_ReceiveDataSaveWork called with curFilePath: " << curFilePath;
    LOGD << "BaseSavePath_: " << basePath;

    if (pendingSaveRuns_ > 0)
        --pendingSaveRuns_;
    std::string base = basePath;
    if (base.empty()) {
        LOGE << "BaseSavePath_ is empty, using curFilePath: " << curFilePath;
        base = curFilePath;
    } else if (!curFilePath.empty() && curFilePath != base) {
        // A run of an earlier session reported after a new one was opened:
        // its files are in the reported folder.
        LOGW << "Reported path differs from BaseSavePath_, using curFilePath: " << curFilePath;
        base = curFilePath;
    }
    if (base.empty()) {
        LOGE << "slot_ReceiveDataSaveWork: no session folder to record";
        return;
    }

    std::string rel = base;
    try {
        const std::string root = context.storageRoot();
        if (!root.empty() && base.compare(0, root.size(), root) == 0) {
            rel = base.substr(root.size());
            if (!rel.empty() && rel.front() == '/')
                rel.erase(0, 1);
            LOGD << "Extracted relative path from BaseSavePath_: " << rel;
        } else if (std::count(base.begin(), base.end(), '/') >= 2) {
            const auto last = base.rfind('/');
            const auto secondLast = base.rfind('/', last - 1);
            rel = base.substr(secondLast + 1);
            LOGD << "Extracted relative path from path structure: " << rel;
        } else {
            LOGD << "Using full path as relative path: " << rel;
        }
    } catch (const std::exception& error) {
        LOGW << "Failed to extract relative path: " << error.what() << ", using full path";
        rel = base;
    }

    const CollectionInfo info = context.collectionInfo();
    const auto fallback = session_meta::sessionTagsFallback(
        info.capture_mode, info.task_label, config_manager::instance().selected_tags_);
    // session_time is the reported folder's time level, also for a run whose
    // session was closed before it reported (single shot reports at finish).
    if (session_meta::isContinuousMode(info.capture_mode)) {
        session_meta::writeSessionMeta(base + "/meta.yaml", base, fallback, nullptr);
    } else {
        const auto labels = resolveImageLabelsFromManifest(base);
        session_meta::writeSessionMeta(base + "/meta.yaml", base, fallback, labels.empty() ? nullptr : &labels);
    }

    LOGD << "Calling add_dir_record with relativePath: " << rel;
    file_manager::instance().add_dir_record(rel, "采集");

    // A run of a session already closed (the usual case in single-shot mode,
    // whose worker reports at finish) is recorded, but says nothing about the
    // session now open.
    if (basePath.empty() || basePath != base) {
        LOGD << "Recorded a run of a closed session: " << rel;
        return;
    }
    hasDataInCurrentSession_ = true;
    LOGD << "Data saved, hasDataInCurrentSession_ set to true";
    if (status_ == Idle || status_ == Collecting) {
        ui->Btn_Finish->setEnabled(true);
        LOGD << "Btn_Finish enabled after data saved";
    }
}
