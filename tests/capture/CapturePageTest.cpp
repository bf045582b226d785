// The capture page with the simulated camera, the real save worker and ledger:
// button rules, back, exit, and runs refused or stopped by themselves.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include <unistd.h>

#include <QSignalSpy>
#include <yaml-cpp/yaml.h>

#include "CameraRig.h"
#include "CaptureTerminal.h"
#include "FileSizeLimit.h"
#include "Log.h"
#include "SessionFiles.h"
#include "ui_DataCollectionWidget.h"

namespace fs = std::filesystem;
using namespace kavrel::test;
using Status = DataCollectionWidget::CollectionStatus;

namespace {

class CapturePageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        const CaptureTerminal terminal = setUpCaptureTerminal(dir_);
        root_ = terminal.root;
        ledger_ = terminal.ledger;
    }

    // Every page's session owns its save worker, stopped with it.
    void TearDown() override { page_.reset(); }

    void openPage(const std::string& mode, bool waitForCamera = true)
    {
        CollectionContext::instance().setCollectionInfo(captureInfo(mode));
        page_ = std::make_unique<DataCollectionWidget>();
        page_->show();
        if (waitForCamera)
            ASSERT_TRUE(waitForLiveCamera(*page_)) << "simulated camera never streamed";
        processEventsFor(300);  // the camera's first events are shown
    }

    QPushButton* mainButton() { return page_->ui->Btn_MainAction; }
    QPushButton* finishButton() { return page_->ui->Btn_Finish; }
    QPushButton* backButton() { return page_->ui->Btn_BackToInfo; }
    void snapshot(bool keep, std::vector<std::string> tags = {}) { takeSnapshot(*page_, script_, keep, tags); }
    fs::path openFolder() { return page_->captureSession()->openFolder().toStdString(); }
    int ledgerRowsFor(const fs::path& session) { return ledgerRows(ledger_, fs::relative(session, root_)); }

    QTemporaryDir dir_;
    fs::path root_;
    fs::path ledger_;
    DialogScript script_;
    std::unique_ptr<DataCollectionWidget> page_;
};

TEST_F(CapturePageTest, SingleShotButtonsTagsAndCountFollowTheConfirmedSnapshots)
{
    openPage("single_shot");
    QSignalSpy recording(page_.get(), &DataCollectionWidget::signalRecordingStateChanged);

    snapshot(true, {"划痕"});
    const fs::path session = openFolder();
    EXPECT_TRUE(waitUntil([&] { return fs::exists(session / "manifest.json"); }, 10000))
        << "the manifest follows the kept snapshots during the session: a power cut keeps their tags";
    EXPECT_TRUE(finishButton()->isEnabled());
    EXPECT_FALSE(backButton()->isEnabled());  // the session folder exists
    // The tags already chosen on the information page are not offered again.
    EXPECT_EQ(script_.lastTagLabelsOffered(), (std::vector<std::string>{"划痕", "裂纹"}));
    snapshot(false);
    snapshot(true, {"裂纹"});
    EXPECT_EQ(page_->sessionStatus().snapshotsKept(), 2);

    finishButton()->click();
    ASSERT_TRUE(waitUntil([&] { return page_->captureSession()->pendingRuns() == 0; }, 30000));
    // The session is one recording, from the first snapshot to the finish.
    ASSERT_EQ(recording.count(), 2);
    EXPECT_TRUE(recording[0][0].toBool());
    EXPECT_FALSE(recording[1][0].toBool());
}

TEST_F(CapturePageTest, ContinuousStartsAndTheFinishAreHeldAgainstADoubleTapButNotAgainstANewEntry)
{
    openPage("continue_shot");
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
    // The task label, then the tags chosen on the information page.
    const YAML::Node meta = YAML::LoadFile((sessionFolders(root_, "D1").front() / "meta.yaml").string());
    EXPECT_EQ(meta["session_tags"].as<std::vector<std::string>>(), (std::vector<std::string>{"sink", "stain"}));

    // Back and in again at once, then a new run inside the finish's second:
    // the finish's delayed reset (the button reads 结束 again) leaves it alone.
    page_->cleanupResourcesAndPrepareExit();
    page_->refreshCameraPreview();
    ASSERT_TRUE(mainButton()->isEnabled());
    mainButton()->click();
    ASSERT_TRUE(waitUntil([&] { return finishButton()->text() == QString::fromUtf8("结束"); }, 5000));
    EXPECT_EQ(page_->status_, Status::Collecting);
    EXPECT_TRUE(page_->captureSession()->recording());
}

TEST_F(CapturePageTest, BackReleasesTheCamerasAndEnteringAgainRecreatesThem)
{
    openPage("continue_shot");
    mainButton()->click();
    ASSERT_TRUE(waitUntil([&] { return !openFolder().empty(); }, 10000));
    const fs::path session = openFolder();

    page_->cleanupResourcesAndPrepareExit();
    EXPECT_EQ(page_->cameras().camera(CameraRig::Slot::Depth), nullptr);
    EXPECT_EQ(page_->depthCameraState(), DataCollectionWidget::CameraState::Off);
    EXPECT_FALSE(page_->captureSession()->recording());
    EXPECT_TRUE(page_->captureSession()->openFolder().isEmpty());
    EXPECT_TRUE(backButton()->isEnabled());
    EXPECT_TRUE(waitUntil([&] { return ledgerRowsFor(session) == 1; }, 30000)) << "the run in progress is kept";

    page_->refreshCameraPreview();
    EXPECT_TRUE(waitForLiveCamera(*page_));
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
    openPage("single_shot");
    snapshot(true);
    const fs::path session = openFolder();

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
    EXPECT_FALSE(mainButton()->isEnabled()) << "no new session while the terminal closes";
    EXPECT_EQ(ledgerRowsFor(session), 1);
}

TEST_F(CapturePageTest, AbsentCameraIsNeverShownLiveAndASnapshotStillAsks)
{
    ScopedEnv absent("KAVREL_SIM_CAMERA_ABSENT", std::string("always"));
    openPage("single_shot", false);
    kavrel::log::LogCapture capture;
    EXPECT_EQ(page_->depthCameraState(), DataCollectionWidget::CameraState::Connecting);
    ASSERT_TRUE(waitUntil(
        [&] { return page_->depthCameraState() == DataCollectionWidget::CameraState::NotResponding; }, 15000));

    snapshot(false);
    EXPECT_TRUE(capture.contains("No frame arrived for this snapshot within "));
    EXPECT_EQ(script_.confirmationsShown(), 1);
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
        config_manager::instance().min_free_mb_ = c.card == Card::Full ? (1 << 29) : 1;
        const fs::path storage = c.card == Card::Missing ? root_ / "unplugged" : root_;
        CollectionContext::instance().setStorageRoot(storage.string());
        if (c.card == Card::ReadOnly)
            fs::permissions(root_, fs::perms::owner_read | fs::perms::owner_exec);
        openPage("continue_shot");
        kavrel::log::LogCapture capture;
        mainButton()->click();
        fs::permissions(root_, fs::perms::owner_all);
        EXPECT_EQ(page_->status_, Status::Idle);
        EXPECT_TRUE(noticeText(*page_).contains(QString::fromUtf8(c.says))) << noticeText(*page_).toStdString();
        if (c.card != Card::Full) {
            EXPECT_TRUE(noticeText(*page_).contains(QString::fromStdString(storage.string()))) << "the dialog names the folder";
        }
        EXPECT_TRUE(capture.contains("Capture refused: "));
        // The camera goes on streaming; no run opened, so nothing has queues to fill.
        Camera* depth = page_->cameras().camera(CameraRig::Slot::Depth);
        const uint64_t seen = depth->framesDelivered();
        ASSERT_TRUE(waitUntil([&] { return depth->framesDelivered() > seen + 15; }, 10000));
        EXPECT_EQ(page_->captureSession()->policy()->queues(), nullptr);
        EXPECT_EQ(page_->captureSession()->policy()->depth.produced.load(), 0u);
        EXPECT_TRUE(sessionFolders(root_, "D1").empty());
        page_.reset();
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
        config_manager::instance().min_free_mb_ = 1;
        openPage("continue_record");
        mainButton()->click();
        ASSERT_EQ(page_->status_, Status::Collecting);
        ASSERT_TRUE(waitUntil([&] { return !openFolder().empty(); }, 10000));
        const fs::path session = openFolder();
        std::optional<FileSizeLimit> full;
        if (c.cause == Cause::WriteFails) {
            ASSERT_TRUE(waitUntil([&] { return pngStems(session / "D1" / "depth").size() >= 2; }, 30000));
            full.emplace(20000);  // no image fits any more: the card is full
        } else if (c.cause == Cause::CardFills) {
            config_manager::instance().min_free_mb_ = 1 << 30;  // below the floor now
        }
        const bool stopped = waitUntil([&] { return page_->status_ == Status::Idle; }, 30000);
        const bool told = waitUntil([&] { return noticeText(*page_).contains(QString::fromUtf8(c.says)); }, 30000);
        full.reset();
        ASSERT_TRUE(stopped) << "the run stops by itself";
        EXPECT_TRUE(told) << noticeText(*page_).toStdString();
        EXPECT_FALSE(page_->captureSession()->recording());
        // The ledger row goes in at the run's start; the files are final once it reports.
        ASSERT_TRUE(waitUntil([&] { return page_->captureSession()->pendingRuns() == 0; }, 30000));
        EXPECT_EQ(ledgerRowsFor(session), 1);
        EXPECT_TRUE(fs::exists(session / "meta.yaml"));
        expectDepthPairsColour(session / "D1");
        if (c.cause == Cause::WriteFails) {
            EXPECT_TRUE(noticeText(*page_).contains(QString::fromUtf8(" 个文件未写入")));
            lastNotice(*page_)->confirmButton_->click();
            ASSERT_TRUE(waitUntil([&] { return finishButton()->isEnabled(); }, 5000));
            finishButton()->click();
            EXPECT_TRUE(finishButton()->text().startsWith(QString::fromUtf8("保存失败: "))) << "not 打包完成";
        } else if (c.cause == Cause::CameraLost) {
            EXPECT_EQ(page_->ui->label_GeminiStatus->text(), QString::fromUtf8("● 无响应")) << "the badge says so";
            unplug.reset();  // plugged in again
            EXPECT_TRUE(waitForLiveCamera(*page_, 30000)) << "the preview returns without leaving the page";
        }
        page_.reset();
        config_manager::instance().min_free_mb_ = 0;
    }
}

} // namespace

