// The capture page on its own, with the simulated depth camera, the real save
// worker and the real ledger: button rules, the single-shot and continuous
// sessions on disk, back, and runs that are refused or stop by themselves.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include <unistd.h>

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <nlohmann/json.hpp>
#include <yaml-cpp/yaml.h>

#include "CameraRig.h"
#include "CaptureSession.h"
#include "CollectionContext.h"
#include "ConfirmationDialog.h"
#include "DataCollectionWidget.h"
#include "CaptureTerminal.h"
#include "DialogScript.h"
#include "FileSizeLimit.h"
#include "Log.h"
#include "SessionFiles.h"
#include "TestSupport.h"
#include "config_manager.h"
#include "file_manager.h"
#include "ui_DataCollectionWidget.h"

namespace fs = std::filesystem;
using namespace kavrel::test;
using Status = DataCollectionWidget::CollectionStatus;

namespace {

// Generous: sanitizer builds start the simulated camera slowly.
constexpr int kCameraTimeoutMs = 90000;

class CapturePageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        const CaptureTerminal terminal = setUpCaptureTerminal(dir_);
        root_ = terminal.root;
        ledger_ = terminal.ledger;
    }

    void TearDown() override { closePage(); }

    void closePage()
    {
        // Every page's session owns its save worker, stopped with it.
        page_.reset();
    }

    void useMode(const std::string& mode)
    {
        CollectionContext::instance().setCollectionInfo(captureInfo(mode));
    }

    // Builds the page and (unless told otherwise) waits until its camera streams.
    void openPage(bool waitForCamera = true)
    {
        page_ = std::make_unique<DataCollectionWidget>();
        page_->resize(1280, 720);
        page_->show();
        if (waitForCamera) {
            ASSERT_TRUE(waitUntil([&] { return page_->depthCameraState() == DataCollectionWidget::CameraState::Live; },
                kCameraTimeoutMs))
                << "simulated camera never streamed";
        }
        // The camera's first events are shown.
        processEventsFor(300);
    }

    QPushButton* mainButton() { return page_->ui->Btn_MainAction; }
    QPushButton* finishButton() { return page_->ui->Btn_Finish; }
    QPushButton* backButton() { return page_->ui->Btn_BackToInfo; }

    // One snapshot answered by the script; returns once the page is Idle
    // again and a kept snapshot is on the card.
    void snapshot(bool keep, std::vector<std::string> tagLabels = {})
    {
        if (keep) {
            script_.confirm();
            script_.chooseTags(std::move(tagLabels));
        } else {
            script_.decline();
        }
        ASSERT_TRUE(waitUntil([&] { return mainButton()->isEnabled(); }, 15000));
        mainButton()->click();
        ASSERT_EQ(page_->status_, Status::WaitingConfirm);
        ASSERT_TRUE(waitUntil([&] { return page_->status_ == Status::Idle; }, 30000));
        ASSERT_TRUE(waitUntil([&] { return !page_->captureSession()->snapshotWritePending(); }, 30000));
    }

    // The operator notice the page opened (the last one), or null.
    ConfirmationDialog* notice()
    {
        const auto notices = page_->findChildren<ConfirmationDialog*>("noticeDialog");
        return notices.isEmpty() ? nullptr : notices.back();
    }
    QString noticeText()
    {
        ConfirmationDialog* dialog = notice();
        return dialog ? dialog->messageLabel_->text() : QString();
    }

    int ledgerRowsFor(const fs::path& session)
    {
        const auto names = ledgerNames(ledger_);
        return static_cast<int>(std::count(names.begin(), names.end(), fs::relative(session, root_).generic_string()));
    }

    QTemporaryDir dir_;
    fs::path root_;
    fs::path ledger_;
    DialogScript script_;
    std::unique_ptr<DataCollectionWidget> page_;
};

TEST_F(CapturePageTest, SingleShotSessionKeepsExactlyTheConfirmedSnapshots)
{
    useMode("single_shot");
    openPage();
    QSignalSpy recording(page_.get(), &DataCollectionWidget::signalRecordingStateChanged);

    snapshot(true, {"划痕"});
    const fs::path session = page_->captureSession()->openFolder().toStdString();
    // <date>-<city>-<scene>/<task>/<part>/<session time>
    ASSERT_EQ(session.parent_path(), root_ / "20250612-SZ-kitchen" / "sink" / "7");
    // meta.yaml is there from the start: a power cut still leaves a described session.
    EXPECT_TRUE(fs::exists(session / "meta.yaml"));
    EXPECT_EQ(page_->sessionStatus().snapshotsKept(), 1);
    EXPECT_TRUE(finishButton()->isEnabled());
    EXPECT_FALSE(backButton()->isEnabled());  // the session folder exists
    // The tags already chosen on the information page are not offered again.
    EXPECT_EQ(script_.lastTagLabelsOffered(), (std::vector<std::string>{"划痕", "裂纹"}));

    snapshot(false);
    EXPECT_EQ(page_->sessionStatus().snapshotsKept(), 1);
    snapshot(true, {"裂纹", "划痕"});
    EXPECT_EQ(page_->sessionStatus().snapshotsKept(), 2);
    EXPECT_EQ(script_.confirmationsShown(), 3);

    finishButton()->click();
    ASSERT_TRUE(waitUntil([&] { return page_->captureSession()->pendingRuns() == 0; }, 30000));
    EXPECT_EQ(ledgerRowsFor(session), 1);
    EXPECT_EQ(sessionFolders(root_, "D1"), std::vector<fs::path>{session});

    const auto colour = pngStems(session / "D1" / "color");
    ASSERT_EQ(colour.size(), 2u);
    expectDepthPairsColour(session / "D1");

    const nlohmann::json manifest = nlohmann::json::parse(readFile((session / "manifest.json").string()));
    ASSERT_EQ(manifest.size(), 2u);
    // Tags are stored by value, not by the label the operator tapped.
    EXPECT_EQ(manifest[colour[0]]["tags"], nlohmann::json::array({"scratch"}));
    EXPECT_EQ(manifest[colour[1]]["tags"], nlohmann::json::array({"scratch", "crack"}));

    // The description is rewritten at the finish, with the session's time and images.
    const YAML::Node meta = YAML::LoadFile((session / "meta.yaml").string());
    EXPECT_EQ(meta["session_time"].as<std::string>(), session.filename().string());
    ASSERT_EQ(meta["image_info"].size(), 2u);
    EXPECT_EQ(meta["image_info"][1]["additional_tags"].size(), 2u);
    EXPECT_GE(fileLines(session / "D1" / "data.json").size(), 3u);
    // The session is one recording, from the first snapshot to the finish.
    ASSERT_EQ(recording.count(), 2);
    EXPECT_TRUE(recording[0][0].toBool());
    EXPECT_FALSE(recording[1][0].toBool());
}

TEST_F(CapturePageTest, ContinuousStartStopTwiceMakesOneFolderAndOneRow)
{
    useMode("continue_shot");
    openPage();
    QSignalSpy recording(page_.get(), &DataCollectionWidget::signalRecordingStateChanged);
    QSignalSpy runs(page_->captureSession(), &CaptureSession::runFinished);

    for (int run = 0; run < 2; ++run) {
        ASSERT_TRUE(waitUntil([&] { return mainButton()->isEnabled(); }, 3000));
        mainButton()->click();
        ASSERT_EQ(page_->status_, Status::Collecting);
        // A second press within a second of the start is refused, by the button and by the slot.
        EXPECT_FALSE(mainButton()->isEnabled());
        page_->on_Btn_MainAction_clicked();
        EXPECT_EQ(page_->status_, Status::Collecting);
        EXPECT_FALSE(backButton()->isVisible());
        processEventsFor(1300);
        const fs::path colourDir = fs::path(page_->captureSession()->openFolder().toStdString()) / "D1" / "color";
        EXPECT_TRUE(waitUntil([&] { return pngStems(colourDir).size() >= static_cast<size_t>(run + 1); }, 30000));
        ASSERT_TRUE(waitUntil([&] { return mainButton()->isEnabled(); }, 10000));  // the start's one-second lock
        mainButton()->click();
        ASSERT_EQ(page_->status_, Status::Idle);
        ASSERT_TRUE(waitUntil([&] { return runs.count() == run + 1; }, 30000));
        EXPECT_TRUE(mainButton()->isEnabled()) << "the stopped run is on the card: a new start may follow";
        EXPECT_TRUE(finishButton()->isEnabled());
        EXPECT_FALSE(backButton()->isEnabled());
    }
    ASSERT_EQ(recording.count(), 4);  // start, stop, start, stop
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(recording[i][0].toBool(), i % 2 == 0);
    finishButton()->click();
    // A double tap: the press right after the finish opens no new session.
    EXPECT_FALSE(mainButton()->isEnabled());
    page_->on_Btn_MainAction_clicked();
    EXPECT_EQ(page_->status_, Status::Idle);
    EXPECT_EQ(finishButton()->text(), QString::fromUtf8("打包完成"));
    ASSERT_TRUE(waitUntil([&] { return mainButton()->isEnabled(); }, 5000)) << "the hold ends by itself";
    EXPECT_EQ(finishButton()->text(), QString::fromUtf8("结束"));

    const auto sessions = sessionFolders(root_, "D1");
    ASSERT_EQ(sessions.size(), 1u);
    const fs::path session = sessions.front();
    EXPECT_FALSE(fs::exists(session / "manifest.json"));
    expectDepthPairsColour(session / "D1");

    const YAML::Node meta = YAML::LoadFile((session / "meta.yaml").string());
    EXPECT_FALSE(meta["image_info"]);
    EXPECT_EQ(meta["session_time"].as<std::string>(), session.filename().string());
    ASSERT_EQ(meta["session_tags"].size(), 2u);  // task label, then the page's tags
    EXPECT_EQ(meta["session_tags"][0].as<std::string>(), "sink");
    EXPECT_EQ(meta["session_tags"][1].as<std::string>(), "stain");

    const auto imu = fileLines(session / "D1" / "data.json");
    EXPECT_EQ(std::count(imu.begin(), imu.end(), R"({"version":"1.0.0"})"), 1);
    EXPECT_GE(imu.size(), 5u);  // IMU pairs of both runs
    EXPECT_EQ(ledgerRowsFor(session), 1) << "both runs recorded as one session";
}

TEST_F(CapturePageTest, BackReleasesTheCamerasAndEnteringAgainRecreatesThem)
{
    useMode("continue_shot");
    openPage();
    mainButton()->click();
    ASSERT_TRUE(waitUntil([&] { return !page_->captureSession()->openFolder().isEmpty(); }, 10000));
    const fs::path session = page_->captureSession()->openFolder().toStdString();

    page_->cleanupResourcesAndPrepareExit();
    EXPECT_EQ(page_->cameras().camera(CameraRig::Slot::Depth), nullptr);
    EXPECT_EQ(page_->depthCameraState(), DataCollectionWidget::CameraState::Off);
    EXPECT_FALSE(page_->captureSession()->recording());
    EXPECT_TRUE(page_->captureSession()->openFolder().isEmpty());
    EXPECT_TRUE(backButton()->isEnabled());
    EXPECT_TRUE(waitUntil([&] { return ledgerRowsFor(session) == 1; }, 30000)) << "the run in progress is kept";

    // The main window navigates on the page's signal.
    QSignalSpy back(page_.get(), &DataCollectionWidget::signalBackToInformationRequested);
    backButton()->click();
    EXPECT_EQ(back.count(), 1);

    page_->refreshCameraPreview();
    EXPECT_TRUE(waitUntil(
        [&] { return page_->depthCameraState() == DataCollectionWidget::CameraState::Live; }, kCameraTimeoutMs));
    page_->refreshCameraPreview();  // same task, same devices: the cameras stream on
    EXPECT_EQ(page_->depthCameraState(), DataCollectionWidget::CameraState::Live);

    CollectionInfo info = CollectionContext::instance().collectionInfo();
    info.task_label = "tap";
    CollectionContext::instance().setCollectionInfo(info);
    page_->refreshCameraPreview();
    EXPECT_EQ(page_->depthCameraState(), DataCollectionWidget::CameraState::Connecting) << "opened anew for the task";
}

// Exit with a snapshot kept and the session not finished: no button works any
// more, and the page lets the terminal close only once the run has reported.
TEST_F(CapturePageTest, ExitWaitsForTheOpenSessionToBeWrittenWithEveryButtonOff)
{
    useMode("single_shot");
    openPage();
    snapshot(true);
    const fs::path session = page_->captureSession()->openFolder().toStdString();

    QSignalSpy runs(page_->captureSession(), &CaptureSession::runFinished);
    int pendingAtReady = -1;
    int ready = 0;
    QObject::connect(page_.get(), &DataCollectionWidget::signalExitReady, [&] {
        ++ready;
        pendingAtReady = page_->captureSession()->pendingRuns();
    });
    page_->exitWhenWritten(10000);
    EXPECT_EQ(page_->status_, Status::Exiting);
    for (QPushButton* button : {mainButton(), finishButton(), backButton()})
        EXPECT_FALSE(button->isEnabled()) << button->objectName().toStdString();
    ASSERT_TRUE(waitUntil([&] { return ready > 0; }, 30000));
    EXPECT_EQ(ready, 1);
    EXPECT_EQ(pendingAtReady, 0) << "the run reported before the terminal may close";
    EXPECT_EQ(runs.count(), 1);
    EXPECT_FALSE(mainButton()->isEnabled()) << "no new session while the terminal closes";
    EXPECT_EQ(ledgerRowsFor(session), 1);
    EXPECT_EQ(pngStems(session / "D1" / "color").size(), 1u) << "the kept snapshot";
}

TEST_F(CapturePageTest, AbsentCameraIsNeverShownLiveAndASnapshotStillAsks)
{
    ScopedEnv absent("KAVREL_SIM_CAMERA_ABSENT", std::string("always"));
    useMode("single_shot");
    openPage(false);
    kavrel::log::LogCapture capture;
    EXPECT_EQ(page_->depthCameraState(), DataCollectionWidget::CameraState::Connecting);
    ASSERT_TRUE(waitUntil(
        [&] { return page_->depthCameraState() == DataCollectionWidget::CameraState::NotResponding; }, 15000));

    snapshot(false);
    EXPECT_TRUE(capture.contains("No frame arrived for this snapshot within "));
    EXPECT_EQ(script_.confirmationsShown(), 1);
}

TEST_F(CapturePageTest, FinishFollowedQuicklyByANewRunLeavesTheNewRunAlone)
{
    useMode("continue_shot");
    openPage();
    mainButton()->click();
    ASSERT_TRUE(waitUntil([&] { return mainButton()->isEnabled(); }, 10000));
    mainButton()->click();
    ASSERT_TRUE(waitUntil([&] { return finishButton()->isEnabled(); }, 30000));
    finishButton()->click();
    // Back and in again at once, then a new run inside the finish's second.
    page_->cleanupResourcesAndPrepareExit();
    page_->refreshCameraPreview();
    ASSERT_TRUE(mainButton()->isEnabled());
    mainButton()->click();
    ASSERT_EQ(page_->status_, Status::Collecting);
    // The finish's delayed reset has run once the button reads 结束 again.
    ASSERT_TRUE(waitUntil([&] { return finishButton()->text() == QString::fromUtf8("结束"); }, 5000));
    EXPECT_EQ(page_->status_, Status::Collecting);
    EXPECT_TRUE(page_->captureSession()->recording());
}

// Capture that cannot be kept does not start: nothing is made, queued or held.
TEST_F(CapturePageTest, CaptureIsRefusedWhenTheCardCannotTakeIt)
{
    enum class Card { Missing, ReadOnly, Full };
    struct Case {
        const char* name;
        Card card;
        const char* says;
    };
    for (const Case& c : {Case{"missing storage folder", Card::Missing, "存储目录不可写"},
             Case{"read-only storage", Card::ReadOnly, "存储目录不可写"},
             Case{"too little free space", Card::Full, "采集至少需要"}}) {
        SCOPED_TRACE(c.name);
        if (c.card == Card::ReadOnly && geteuid() == 0)
            continue;  // root writes into read-only folders
        useMode("continue_shot");
        config_manager::instance().min_free_mb_ = c.card == Card::Full ? (1 << 29) : 1;
        const fs::path storage = c.card == Card::Missing ? root_ / "unplugged" : root_;
        CollectionContext::instance().setStorageRoot(storage.string());
        if (c.card == Card::ReadOnly)
            fs::permissions(root_, fs::perms::owner_read | fs::perms::owner_exec);
        openPage();
        kavrel::log::LogCapture capture;
        mainButton()->click();
        fs::permissions(root_, fs::perms::owner_all);
        EXPECT_EQ(page_->status_, Status::Idle);
        EXPECT_TRUE(noticeText().contains(QString::fromUtf8(c.says))) << noticeText().toStdString();
        if (c.card != Card::Full) {
            EXPECT_TRUE(noticeText().contains(QString::fromStdString(storage.string()))) << "the dialog names the folder";
        }
        EXPECT_TRUE(capture.contains("Capture refused: "));
        // The camera goes on streaming; no run opened, so nothing has queues to fill.
        Camera* depth = page_->cameras().camera(CameraRig::Slot::Depth);
        const uint64_t seen = depth->framesDelivered();
        ASSERT_TRUE(waitUntil([&] { return depth->framesDelivered() > seen + 15; }, 10000));
        EXPECT_EQ(page_->captureSession()->policy()->queues(), nullptr);
        EXPECT_EQ(page_->captureSession()->policy()->depth.produced.load(), 0u);
        EXPECT_TRUE(sessionFolders(root_, "D1").empty());
        closePage();
        CollectionContext::instance().setStorageRoot(root_.string());
    }
}

// A run that cannot go on stops by itself, keeps what it wrote whole and
// recorded, and tells the operator why.
TEST_F(CapturePageTest, ARecordingStopsWhenAWriteFailsTheCardFillsOrTheCameraIsLost)
{
    enum class Cause { WriteFails, CardFills, CameraLost };
    struct Case {
        Cause cause;
        const char* says;
    };
    for (const Case& c : {Case{Cause::WriteFails, "保存失败"}, Case{Cause::CardFills, "剩余空间不足"},
             Case{Cause::CameraLost, "相机连接中断"}}) {
        SCOPED_TRACE(c.says);
        std::optional<ScopedEnv> unplug;
        if (c.cause == Cause::CameraLost)
            unplug.emplace("KAVREL_SIM_DISCONNECT_AFTER", std::string("60"));
        useMode("continue_record");
        config_manager::instance().min_free_mb_ = 1;
        openPage();
        mainButton()->click();
        ASSERT_EQ(page_->status_, Status::Collecting);
        ASSERT_TRUE(waitUntil([&] { return !page_->captureSession()->openFolder().isEmpty(); }, 10000));
        const fs::path session = page_->captureSession()->openFolder().toStdString();
        std::optional<FileSizeLimit> full;
        if (c.cause == Cause::WriteFails) {
            ASSERT_TRUE(waitUntil([&] { return pngStems(session / "D1" / "depth").size() >= 2; }, 30000));
            full.emplace(20000);  // no image fits any more: the card is full
        } else if (c.cause == Cause::CardFills) {
            config_manager::instance().min_free_mb_ = 1 << 30;  // below the floor now
        }
        const bool stopped = waitUntil([&] { return page_->status_ == Status::Idle; }, 30000);
        const bool told = waitUntil([&] { return noticeText().contains(QString::fromUtf8(c.says)); }, 30000);
        full.reset();
        ASSERT_TRUE(stopped) << "the run stops by itself";
        EXPECT_TRUE(told) << noticeText().toStdString();
        EXPECT_FALSE(page_->captureSession()->recording());
        // The ledger row goes in at the run's start; the files are final once it reports.
        ASSERT_TRUE(waitUntil([&] { return page_->captureSession()->pendingRuns() == 0; }, 30000));
        EXPECT_EQ(ledgerRowsFor(session), 1);
        EXPECT_TRUE(fs::exists(session / "meta.yaml"));
        expectDepthPairsColour(session / "D1");
        if (c.cause == Cause::WriteFails) {
            EXPECT_TRUE(noticeText().contains(QString::fromUtf8(" 个文件未写入")));
            notice()->confirmButton_->click();
            ASSERT_TRUE(waitUntil([&] { return finishButton()->isEnabled(); }, 5000));
            finishButton()->click();
            EXPECT_TRUE(finishButton()->text().startsWith(QString::fromUtf8("保存失败: "))) << "not 打包完成";
        } else if (c.cause == Cause::CameraLost) {
            EXPECT_EQ(page_->ui->label_GeminiStatus->text(), QString::fromUtf8("● 无响应")) << "the badge says so";
            unplug.reset();  // plugged in again
            EXPECT_TRUE(waitUntil(
                [&] { return page_->depthCameraState() == DataCollectionWidget::CameraState::Live; }, 30000))
                << "the preview returns without leaving the page";
        }
        closePage();
        config_manager::instance().min_free_mb_ = 0;
    }
}

} // namespace

