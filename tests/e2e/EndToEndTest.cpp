// The operator's path through the real main window, without a storage card
// (data goes below the working directory); tests run in order in one process.
// The pages' own tests and the operator paths test cover a single-shot session.

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
using Status = DataCollectionWidget::CollectionStatus;

namespace {

constexpr int kResultTimeoutMs = 60000;

// What stays for the whole run: the working directory, HOME with the demo
// catalogue, and the main window built the way start-up builds it.
struct Terminal {
    QTemporaryDir dir;
    fs::path work;
    std::optional<ScopedEnv> home;
    std::unique_ptr<Kavrel> window;
    bool dialogBeforeWindow = false;
    QString dialogTitle;
    QString dialogMessage;
};
Terminal* terminal = nullptr;

void copyDemoHome(const fs::path& to)
{
    fs::copy(fs::path(KAVREL_SOURCE_DIR) / "demo" / "home", to, fs::copy_options::recursive);
    // A smaller picture keeps the sanitizer builds at the camera's pace.
    const fs::path config = to / ".config" / "kavrel" / "config.yaml";
    QString text = QString::fromStdString(readFile(config.string()));
    text.replace("width: 1280", "width: 640").replace("height: 720", "height: 480");
    writeFile(config.string(), text.toStdString());
}

class EndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        terminal = new Terminal;
        ASSERT_TRUE(terminal->dir.isValid());
        terminal->work = fs::path(terminal->dir.path().toStdString()) / "work";
        fs::create_directories(terminal->work);
        copyDemoHome(fs::path(terminal->dir.path().toStdString()) / "home");
        terminal->home.emplace("HOME", terminal->dir.path().toStdString() + "/home");
        ASSERT_EQ(::chdir(terminal->work.c_str()), 0);

        // Start-up's order: the card probe (no card here: the dialog comes
        // before any window), the configuration, the ledger, the window.
        QTimer::singleShot(0, [] {
            ASSERT_TRUE(waitUntil([] { return QApplication::activeModalWidget() != nullptr; }, 5000));
            auto* dialog = qobject_cast<ConfirmationDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            terminal->dialogTitle = dialog->windowTitle();
            terminal->dialogMessage = dialog->messageLabel_->text();
            bool anyWindow = false;
            for (QWidget* widget : QApplication::topLevelWidgets())
                anyWindow = anyWindow || qobject_cast<Kavrel*>(widget) != nullptr;
            terminal->dialogBeforeWindow = !anyWindow;
            dialog->confirmButton_->click();
        });
        probeStorageCard();
        config_manager::instance().init((terminal->work / "no_device_config.json").string());
        file_manager::instance().init("./file_manager.csv", CollectionContext::instance().storageRoot());
        terminal->window = std::make_unique<Kavrel>();
        terminal->window->resize(1280, 800);
        terminal->window->show();
        processEventsFor(300);
    }

    static void TearDownTestSuite()
    {
        terminal->window.reset();
        delete terminal;
        terminal = nullptr;
    }

    Kavrel& window() { return *terminal->window; }
    DataCollectionWidget& capturePage() { return *window().dataCollectionPage(); }
    InformationCollectionWidget& infoPage() { return *window().informationPage(); }
    QPushButton* pageButton(QWidget* page, const char* name) { return page->findChild<QPushButton*>(name); }
    QPushButton* mainButton() { return pageButton(&capturePage(), "Btn_MainAction"); }
    fs::path root() { return terminal->work; }

    // Taps the row with this text in one of the information page's lists.
    void tapRow(const char* list, const QString& text)
    {
        auto* widget = infoPage().findChild<QListWidget*>(list);
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

    void pickKitchenScenario()
    {
        ScenarioSelectButton* kitchen = nullptr;
        for (ScenarioSelectButton* button : window().findChildren<ScenarioSelectButton*>()) {
            if (button->scenarioPath.endsWith("scenario_kitchen.yaml"))
                kitchen = button;
        }
        ASSERT_NE(kitchen, nullptr) << "demo catalogue not found";
        kitchen->click();
        ASSERT_EQ(window().currentPageIndex(), 1);
    }

    // "进入采集"
    void enterCapture()
    {
        pageButton(&infoPage(), "Btn_Confirm")->click();
        ASSERT_EQ(window().currentPageIndex(), 2);
        ASSERT_TRUE(waitForLiveCamera(capturePage())) << "the simulated camera never streamed";
        processEventsFor(300);
    }

    int ledgerRowsFor(const fs::path& session)
    {
        return ledgerRows(root() / "file_manager.csv", fs::relative(session, root()));
    }
};

TEST_F(EndToEnd, WithoutACardTheOperatorIsToldBeforeTheWindowOpens)
{
    EXPECT_TRUE(terminal->dialogBeforeWindow);
    EXPECT_EQ(terminal->dialogTitle, QString::fromUtf8("错误"));
    EXPECT_EQ(terminal->dialogMessage, QString::fromUtf8("未检测到 TF 卡!"));
    EXPECT_EQ(CollectionContext::instance().storageRoot(), ".");
    EXPECT_EQ(window().currentPageIndex(), 0);
}

TEST_F(EndToEnd, ExitWhileRecordingAContinuousRunKeepsTheRunAndJoinsEveryThread)
{
    pickKitchenScenario();
    tapRow("listWidget_TaskSelect", QString::fromUtf8("烹饪过程录制"));
    enterCapture();
    ASSERT_EQ(CollectionContext::instance().collectionInfo().capture_mode, "continue_record");
    ASSERT_TRUE(waitUntil([&] { return mainButton()->isEnabled(); }, 3000));
    mainButton()->click();
    ASSERT_EQ(capturePage().status_, Status::Collecting);
    const CaptureSession& capture = *capturePage().captureSession();
    ASSERT_TRUE(waitUntil([&] { return !capture.openFolder().isEmpty(); }, kResultTimeoutMs));
    const fs::path session = capture.openFolder().toStdString();
    // Slow (sanitizer) builds: let the run keep at least one frame set.
    EXPECT_TRUE(waitUntil([&] { return !pngStems(session / "gemini2" / "color").empty(); }, kResultTimeoutMs));

    auto* exitButton = window().findChild<QPushButton*>("Btn_ExitApp");
    QTimer::singleShot(0, exitButton, [exitButton] { exitButton->click(); });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    guard.start(90000);
    EXPECT_EQ(QCoreApplication::exec(), 0);

    // The run in progress was written, described and recorded before the quit.
    EXPECT_EQ(capturePage().cameras().camera(CameraRig::Slot::Depth), nullptr);
    EXPECT_EQ(sessionFolders(root(), "gemini2").size(), 1u);
    const YAML::Node meta = YAML::LoadFile((session / "meta.yaml").string());
    EXPECT_EQ(meta["capture_mode"].as<std::string>(), "continue_record");
    EXPECT_EQ(meta["machine_id"].as<std::string>(), "EMP-DEMO") << "from the configuration file";
    EXPECT_EQ(ledgerRowsFor(session), 1);
    EXPECT_TRUE(fs::is_directory(session / "usb_cam" / "color"));
    expectDepthPairsColour(session / "gemini2");
}

} // namespace
