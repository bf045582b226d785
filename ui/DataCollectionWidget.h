#pragma once
// The capture page. One main button whose meaning follows the task's capture
// mode (single shot: snapshot + confirm + tags; continuous: start/stop), a
// finish button that closes the session and a back button that releases the
// cameras. The page shows state and sends commands: its CaptureSession steers
// the cameras and the save worker, and its events (folder made, snapshot
// arrived, snapshot written, run stopped with its reason, run finished with
// counts, meta.yaml and ledger row written by the worker) come back on the GUI
// thread, where the page tells the operator what happened.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <QWidget>

#include "BacklogStatus.h"
#include "CameraRig.h"
#include "StorageGuard.h"
#include "WidgetUtils.h"

class CaptureSession;
struct CaptureRunReport;
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
    using CameraState = CameraRig::State;

    explicit DataCollectionWidget(QWidget* parent = nullptr);
    ~DataCollectionWidget() override;

    // Called by the main window whenever the page is entered: labels, and the
    // cameras when the devices or the task changed or the cameras were released.
    void refreshCameraPreview();
    // Stops saving, releases both cameras, empties every queue, resets the state.
    void cleanupResourcesAndPrepareExit();

    // Processes events until every save run the worker accepted has reported
    // (its folder recorded); gives up only when the writing made no progress
    // for timeoutMs. Used before the process quits.
    bool waitForPendingSaveResults(int timeoutMs);
    // "退出" while many frame sets still wait for the card: asks the operator
    // first. True when the exit may go on (it then waits for the writing).
    bool askBeforeExit();

    CaptureSession* captureSession() const { return session_; }
    // Whether the task records with the USB camera too (soil collection with
    // a USB camera configured): then both previews are shown side by side.
    bool taskUsesUsbCamera() const;
    // Recomputes the status line under the previews (also done every second).
    void updateRecordingStatus();

    void setCollectionStatus(CollectionStatus status);
    CollectionStatus collectionStatus() const { return status_; }
    void pauseCameraRefresh();
    void resumeCameraRefresh();
    bool isSingleShotCapture() const;

    CameraState depthCameraState() const { return cameras_->state(CameraRig::Slot::Depth); }
    CameraState usbCameraState() const { return cameras_->state(CameraRig::Slot::Usb); }
    CameraRig& cameras() const { return *cameras_; }

    Ui::DataCollectionWidget* ui = nullptr;

    CollectionStatus status_ = Idle;
    int capturedCount_ = 0;
    bool isCameraRefreshPaused_ = false;
    bool hasFirstSnapshot_ = false;
    bool hasStartedCollection = false;
    bool hasDataInCurrentSession_ = false;
    std::string lastDevices_;
    std::string lastTaskLabel_;

signals:
    // A recording (a continuous run, or a single-shot session until its
    // finish) started or stopped.
    void signalRecordingStateChanged(bool recording);
    // The back button: the main window shows the information page.
    void signalBackToInformationRequested();

public slots:
    void on_Btn_BackToInfo_clicked();
    void on_Btn_MainAction_clicked();
    void on_Btn_Finish_clicked();

protected:
    virtual void setupStyles();
    void showEvent(QShowEvent* event) override;

private:
    void createCamerasFromConfig();
    void connectSession();

    void runConfirmationFlow();
    // Free space and a writable storage root, checked before every start and
    // snapshot; false (with a dialog saying why) when capture must not start.
    bool storageAllowsCapture();
    std::string storageRootForCapture() const;
    // Every way a recording ends: the buttons follow, the operator learns why.
    void onStopped(StopReason reason);
    void onRunFinished(const CaptureRunReport& report);
    void onFolderFailed(const QString& folder, const QString& reason);
    // The worker recorded a run (meta.yaml, ledger row) in folder.
    void onRunRecorded(const std::string& folder);
    void closeSessionState();

    void showPreview(CameraRig::Slot slot);
    void showCameraState(CameraRig::Slot slot, CameraState state);

    // Bumped whenever a session is closed or the page is reset, so that
    // delayed steps of an older session do nothing.
    uint64_t sessionGeneration_ = 0;
    CaptureSession* session_ = nullptr;  // child of the page
    // Image files the current session could not write, over all its runs.
    uint64_t sessionFilesFailed_ = 0;
    qint64 lastFreeBytes_ = -1;
    // The card's backlog while recording and its writing after a stop.
    BacklogStatus backlog_;
    // The rate the card showed in earlier recordings (0: unknown), for the warning before a start.
    double storedCardRate_ = 0;
    void loadStoredCardRate();
    // Empty, or why this task's streams will outrun the card.
    QString cardShortfallText() const;

    CameraRig* cameras_ = nullptr;  // child of the page
    QTimer* statusTimer_ = nullptr;
};
