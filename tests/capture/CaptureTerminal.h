#pragma once
// The terminal the capture page's tests record on: a card and a ledger in a
// scratch folder, the simulated depth camera at 640x480 (quick under the
// sanitizers), three tags with "stain" already chosen on the information page.

#include <filesystem>

#include <QTemporaryDir>

#include "CollectionContext.h"
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

} // namespace kavrel::test
