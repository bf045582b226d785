#pragma once
// The capture page. One main button whose meaning follows the task's capture
// mode (single shot: snapshot + confirm + tags; continuous: start/stop), a
// finish button that closes the session and a back button that releases the
// cameras. The page shows state and sends commands: its CaptureSession steers
// the cameras and the save worker, and its events (folder made, snapshot
// arrived, snapshot written, run stopped with its reason, run finished with
// counts, meta.yaml and ledger row written by the worker) come back on the GUI
// thread, where the page tells the operator what happened. What those events
// mean for the operator's session (open, kept, held against a double tap, the
// status line) is kept in a SessionStatus; the page only shows it.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <QWidget>

#include "CameraRig.h"
#include "SessionStatus.h"
#include "WidgetUtils.h"

class CaptureSession;
struct CaptureRunReport;
class WriteDrain;
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
        Exiting = 3,         // the terminal closes once the card has everything: no button works
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

    // Exit: cleans up as above, then waits without blocking until every run the
    // worker accepted has reported (its folder recorded), giving up only when
    // the writing made no progress for boundMs; signalExitReady follows.
    void exitWhenWritten(int boundMs);
    // "退出" while many frame sets still wait for the card: asks the operator
    // first. True when the exit may go on (it then waits for the writing).
    bool askBeforeExit();

    CaptureSession* captureSession() const { return session_; }
    const SessionStatus& sessionStatus() const { return state_; }
    // Whether the task records with the USB camera too (soil collection with
    // a USB camera configured): then both previews are shown side by side.
    bool taskUsesUsbCamera() const;
    // Recomputes the status line under the previews (also done every second).
    void updateRecordingStatus();

    void setCollectionStatus(CollectionStatus status);
    CollectionStatus collectionStatus() const { return status_; }
    void pauseCameraRefresh() { isCameraRefreshPaused_ = true; }
    void resumeCameraRefresh() { isCameraRefreshPaused_ = false; }
    bool isSingleShotCapture() const;

    CameraState depthCameraState() const { return cameras_->state(CameraRig::Slot::Depth); }
    CameraState usbCameraState() const { return cameras_->state(CameraRig::Slot::Usb); }
    CameraRig& cameras() const { return *cameras_; }

    Ui::DataCollectionWidget* ui = nullptr;

    CollectionStatus status_ = Idle;
    bool isCameraRefreshPaused_ = false;
    std::string lastDevices_;
    std::string lastTaskLabel_;

signals:
    // A recording (a continuous run, or a single-shot session until its
    // finish) started or stopped.
    void signalRecordingStateChanged(bool recording);
    // The back button: the main window shows the information page.
    void signalBackToInformationRequested();
    // After exitWhenWritten: the card has what the runs wrote (or stopped taking it).
    void signalExitReady();

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
    void tell(const Notice& notice);
    // Every way a recording ends: the buttons follow, the operator learns why.
    void onStopped(StopReason reason);
    // The worker wrote and recorded a run (meta.yaml, ledger row).
    void onRunFinished(const CaptureRunReport& report);
    void onFolderFailed(const QString& folder, const QString& reason);
    void closeSessionState();

    void showPreview(CameraRig::Slot slot);
    void showCameraState(CameraRig::Slot slot, CameraState state);

    CaptureSession* session_ = nullptr;  // child of the page
    WriteDrain* exitDrain_ = nullptr;    // child of the session
    SessionStatus state_;

    CameraRig* cameras_ = nullptr;  // child of the page
    QTimer* statusTimer_ = nullptr;
};
