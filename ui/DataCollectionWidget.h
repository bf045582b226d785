#pragma once
// The capture page. One main button whose meaning follows the task's capture
// mode (single shot: snapshot + confirm + tags; continuous: start/stop), a
// finish button that closes the session and a back button that releases the
// cameras. The page steers the camera threads and the save worker through the
// shared flags (isSaveFile_, shouldProcessQueue_, captureTriggerCount); their
// results come back as queued calls on the GUI thread: preview frames, camera
// state and the save worker's finished session folder, which the page records
// in meta.yaml and the ledger.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <QElapsedTimer>
#include <QVariant>
#include <QWidget>

#include "WidgetUtils.h"

class CameraManager;
class QLabel;
class QShowEvent;
class QTimer;

namespace Ui {
class DataCollectionWidget;
}

class DataCollectionWidget : public QWidget, public WidgetUtils {
    Q_OBJECT
public:
    enum CollectionStatus {
        Idle = 0,
        Collecting = 1,      // continuous mode: a recording run is in progress
        WaitingConfirm = 2,  // single-shot mode: a snapshot waits for the operator
    };
    Q_ENUM(CollectionStatus)

    // What the operator sees about one camera, in the title of its preview.
    enum class CameraState { Off, Connecting, Live, NotResponding };

    explicit DataCollectionWidget(QWidget* parent = nullptr);
    ~DataCollectionWidget() override;

    // Called by the main window whenever the page is entered: labels, and the
    // cameras when the devices or the task changed or the cameras were released.
    void refreshCameraPreview();
    // Stops saving, releases both cameras, empties every queue, resets the state.
    void cleanupResourcesAndPrepareExit();

    // Processes events until every save run the worker accepted has reported
    // (its folder recorded), or timeoutMs passed. Used before the process quits.
    bool waitForPendingSaveResults(int timeoutMs);

    void setCollectionStatus(CollectionStatus status);
    CollectionStatus collectionStatus() const { return status_; }
    void pauseCameraRefresh();
    void resumeCameraRefresh();
    bool isSingleShotCapture() const;

    std::map<std::string, std::vector<std::string>> resolveImageLabelsFromManifest(const std::string& sessionPath) const;

    CameraState depthCameraState() const { return depthCameraState_; }
    CameraState usbCameraState() const { return usbCameraState_; }

    Ui::DataCollectionWidget* ui = nullptr;

    CollectionStatus status_ = Idle;
    int capturedCount_ = 0;
    bool isCameraRefreshPaused_ = false;
    bool hasFirstSnapshot_ = false;
    bool hasStartedCollection = false;
    bool hasDataInCurrentSession_ = false;
    std::unique_ptr<CameraManager> usbCameraManager_;
    std::unique_ptr<CameraManager> depthCameraManager_;
    std::string lastDevices_;
    std::string lastTaskLabel_;

signals:
    void signal_notifyRenderFrameNV12();
    void signal_notifyRenderFrameDepthNV12();
    void signal_notifyCamera_1(bool isOk);
    void signal_notifyCamera_2(bool isOk);
    // A recording (a continuous run, or a single-shot session until its
    // finish) started or stopped.
    void signalRecordingStateChanged(bool recording);

public slots:
    void slot_ReceiveDataSaveWork(QVariant Data);
    void on_Btn_BackToInfo_clicked();
    void on_Btn_MainAction_clicked();
    void on_Btn_Finish_clicked();

protected:
    virtual void setupStyles();
    void showEvent(QShowEvent* event) override;

private:
    void createCamerasFromConfig();
    void createDepthCamera();
    void createUsbCamera();
    void releaseCameras();
    // Switches saving on or off and tells listeners when that changes.
    void setRecording(bool recording, bool processQueues);

    void triggerSaveTask();
    void stopSaveTask();
    void clearSaveQueues();
    void runFirstSnapshotTrigger();
    void runLaterSnapshotTrigger();
    void confirmWhenSnapshotTaken(uint64_t generation);
    void runConfirmationFlow();
    // Runs action once the confirmed snapshot still in the save queues has
    // been written (or after a bound), so a new trigger never discards it.
    void afterPendingSnapshotWritten(std::function<void()> action);
    uint64_t imagesHandledBySaveWorker() const;
    bool confirmedSnapshotWritten() const;

    void onDepthPreviewFrame();
    void onUsbPreviewFrame();
    void setCameraState(QLabel* label, CameraState& state, CameraState value);
    void checkCamerasResponding();

    // Bumped whenever a session is closed or the page is reset, so that
    // delayed steps of an older session do nothing.
    uint64_t sessionGeneration_ = 0;
    bool recording_ = false;
    bool confirmationScheduled_ = false;
    bool snapshotTriggered_ = false;  // the current snapshot's trigger has run
    bool expectsDepth_ = true;        // the depth camera streams depth too
    int pendingSaveRuns_ = 0;
    // Images written or refused by the save worker once the last confirmed
    // snapshot is on the card.
    uint64_t confirmedImagesTarget_ = 0;

    CameraState depthCameraState_ = CameraState::Off;
    CameraState usbCameraState_ = CameraState::Off;
    QElapsedTimer depthLastSign_;  // since the last frame or status of the depth camera
    QElapsedTimer usbLastSign_;
    QTimer* cameraWatchdog_ = nullptr;
};
