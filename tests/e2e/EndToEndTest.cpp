// The operator's path through the real main window without a storage card (data goes below the
// working directory); the pages' tests and the operator paths test cover single-shot sessions.

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

#include <QApplication>
#include <QListWidget>
#include <QTimer>
#include <yaml-cpp/yaml.h>

#include "Application.h"
#include "CaptureTerminal.h"
#include "InformationCollectionWidget.h"
#include "Kavrel.h"
#include "ScenarioSelectButton.h"
#include "SelectableListItemButton.h"
#include "SessionFiles.h"

namespace fs = std::filesystem;
using namespace kavrel::test;

namespace {

constexpr int kResultTimeoutMs = 60000;

// HOME with the demo catalogue, at a smaller picture that keeps sanitizer builds at the camera's pace.
void copyDemoHome(const fs::path& to)
{
    fs::copy(fs::path(KAVREL_SOURCE_DIR) / "demo" / "home", to, fs::copy_options::recursive);
    const fs::path config = to / ".config" / "kavrel" / "config.yaml";
    QString text = QString::fromStdString(readFile(config.string()));
    text.replace("width: 1280", "width: 640").replace("height: 720", "height: 480");
    writeFile(config.string(), text.toStdString());
}

// Taps the row with this text in one of the information page's lists.
void tapRow(QWidget& page, const char* list, const QString& text)
{
    auto* widget = page.findChild<QListWidget*>(list);
    ASSERT_NE(widget, nullptr) << list;
    for (int row = 0; row < widget->count(); ++row) {
        auto* button = qobject_cast<SelectableListItemButton*>(widget->itemWidget(widget->item(row)));
        if (button && button->text() == text) {
            button->click();
            return;
        }
    }
    FAIL() << "no row " << text.toStdString() << " in " << list;
}

TEST(EndToEnd, WithoutACardTheOperatorIsToldFirstAndExitWhileRecordingKeepsTheRunAndJoinsEveryThread)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const fs::path work = fs::path(dir.path().toStdString()) / "work";
    fs::create_directories(work);
    copyDemoHome(fs::path(dir.path().toStdString()) / "home");
    ScopedEnv home("HOME", dir.path().toStdString() + "/home");
    ASSERT_EQ(::chdir(work.c_str()), 0);

    // Start-up's order: the card probe (no card here: the dialog comes before
    // any window), the configuration, the ledger, the window.
    QString title;
    QString message;
    bool windowFirst = true;
    QTimer::singleShot(0, [&] {
        ASSERT_TRUE(waitUntil([] { return QApplication::activeModalWidget() != nullptr; }, 5000));
        auto* dialog = qobject_cast<ConfirmationDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        title = dialog->windowTitle();
        message = dialog->messageLabel_->text();
        windowFirst = false;
        for (QWidget* widget : QApplication::topLevelWidgets())
            windowFirst = windowFirst || qobject_cast<Kavrel*>(widget) != nullptr;
        dialog->confirmButton_->click();
    });
    probeStorageCard();
    EXPECT_FALSE(windowFirst);
    EXPECT_EQ(title, QString::fromUtf8("错误"));
    EXPECT_EQ(message, QString::fromUtf8("未检测到 TF 卡!"));
    config_manager::instance().init((work / "no_device_config.json").string());
    file_manager::instance().init("./file_manager.csv", CollectionContext::instance().storageRoot());
    Kavrel window;
    window.resize(1280, 800);
    window.show();
    processEventsFor(300);
    EXPECT_EQ(window.currentPageIndex(), 0);

    ScenarioSelectButton* kitchen = nullptr;
    for (ScenarioSelectButton* button : window.findChildren<ScenarioSelectButton*>()) {
        if (button->scenarioPath.endsWith("scenario_kitchen.yaml"))
            kitchen = button;
    }
    ASSERT_NE(kitchen, nullptr) << "demo catalogue not found";
    kitchen->click();
    ASSERT_EQ(window.currentPageIndex(), 1);
    tapRow(*window.informationPage(), "listWidget_TaskSelect", QString::fromUtf8("烹饪过程录制"));
    window.informationPage()->findChild<QPushButton*>("Btn_Confirm")->click();  // 进入采集
    ASSERT_EQ(window.currentPageIndex(), 2);
    DataCollectionWidget& page = *window.dataCollectionPage();
    ASSERT_TRUE(waitForLiveCamera(page)) << "the simulated camera never streamed";
    ASSERT_EQ(CollectionContext::instance().collectionInfo().capture_mode, "continue_record");
    QPushButton* start = page.findChild<QPushButton*>("Btn_MainAction");
    ASSERT_TRUE(waitUntil([&] { return start->isEnabled(); }, 3000));
    start->click();
    ASSERT_EQ(page.status_, DataCollectionWidget::Collecting);
    ASSERT_TRUE(waitUntil([&] { return !page.captureSession()->openFolder().isEmpty(); }, kResultTimeoutMs));
    const fs::path session = page.captureSession()->openFolder().toStdString();
    // Slow (sanitizer) builds: let the run keep at least one frame set.
    EXPECT_TRUE(waitUntil([&] { return !pngStems(session / "gemini2" / "color").empty(); }, kResultTimeoutMs));

    auto* exitButton = window.findChild<QPushButton*>("Btn_ExitApp");
    QTimer::singleShot(0, exitButton, [exitButton] { exitButton->click(); });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    guard.start(90000);
    EXPECT_EQ(QCoreApplication::exec(), 0);

    // The run in progress was written, described and recorded before the quit.
    EXPECT_EQ(page.cameras().camera(CameraRig::Slot::Depth), nullptr);
    EXPECT_EQ(sessionFolders(work, "gemini2").size(), 1u);
    const YAML::Node meta = YAML::LoadFile((session / "meta.yaml").string());
    EXPECT_EQ(meta["machine_id"].as<std::string>(), "EMP-DEMO") << "from the configuration file";
    EXPECT_EQ(ledgerRows(work / "file_manager.csv", fs::relative(session, work)), 1);
    EXPECT_TRUE(fs::is_directory(session / "usb_cam" / "color"));
    expectDepthPairsColour(session / "gemini2");
}

} // namespace
