#pragma once
// The terminal the capture page's tests record on (640x480 keeps sanitizer
// builds quick), and the operator's hands on the page.

#include <filesystem>
#include <string>
#include <vector>

#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>

#include "CaptureSession.h"
#include "CollectionContext.h"
#include "ConfirmationDialog.h"
#include "DataCollectionWidget.h"
#include "DialogScript.h"
#include "TestSupport.h"
#include "config_manager.h"
#include "file_manager.h"

namespace kavrel::test {

struct CaptureTerminal {
    std::filesystem::path root;    // the card
    std::filesystem::path ledger;  // file_manager.csv beside it
};

inline CaptureTerminal setUpCaptureTerminal(const QTemporaryDir& dir)
{
    const std::filesystem::path scratch(dir.path().toStdString());
    CaptureTerminal terminal{scratch / "card", scratch / "file_manager.csv"};
    std::filesystem::create_directories(terminal.root);
    auto& config = config_manager::instance();
    config.resetForTest();
    config.camera_config_.camera1 = {"Gemini_corlor", 0, 640, 480, 30, 10.0f, "MJPG"};
    config.camera_config_.camera2 = {"Gemini_depeth", 0, 640, 480, 30, 10.0f, "MJPG"};
    config.tag_pairs_ = {{"scratch", "划痕"}, {"stain", "污渍"}, {"crack", "裂纹"}};
    config.selected_tags_ = {"stain"};
    CollectionContext::instance().setStorageRoot(terminal.root.string());
    file_manager::instance().init(terminal.ledger.string(), terminal.root.string());
    return terminal;
}

// The tests' task from the information page: kitchen / sink / part 7 on D1, a snapshot every 100 ms.
inline CollectionInfo captureInfo(const std::string& mode)
{
    CollectionInfo info;
    info.date = "20250612";
    info.city = "SZ";
    info.scene_label = "kitchen";
    info.task_label = "sink";
    info.part_number = "7";
    info.capture_mode = mode;
    info.devices = "D1";
    info.shot_interval_ms = 100;
    return info;
}

// Generous: sanitizer builds start the simulated camera slowly.
inline bool waitForLiveCamera(const DataCollectionWidget& page, int timeoutMs = 90000)
{
    return waitUntil([&] { return page.depthCameraState() == DataCollectionWidget::CameraState::Live; }, timeoutMs);
}

// The text of the last operator notice the page opened; empty when none.
inline QString noticeText(const QWidget& page)
{
    const auto notices = page.findChildren<ConfirmationDialog*>("noticeDialog");
    return notices.isEmpty() ? QString() : notices.back()->messageLabel_->text();
}

} // namespace kavrel::test
