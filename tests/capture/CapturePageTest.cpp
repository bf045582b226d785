// The capture page with the simulated camera, the real save worker and ledger:
// button rules, back, exit, runs refused or stopped by themselves, and a slow card.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>

#include <unistd.h>

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <yaml-cpp/yaml.h>

#include "CameraRig.h"
#include "CaptureTerminal.h"
#include "CardThrottle.h"
#include "FileSizeLimit.h"
#include "Log.h"
#include "SaveTestSupport.h"
#include "SessionFiles.h"
#include "WriteDrain.h"
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

    void openPage(const CollectionInfo& info, bool waitForCamera = true)
    {
        CollectionContext::instance().setCollectionInfo(info);
        page_ = std::make_unique<DataCollectionWidget>();
        page_->show();
        if (waitForCamera) {
            ASSERT_TRUE(waitForLiveCamera(*page_)) << "simulated camera never streamed";
        }
        processEventsFor(300);  // the camera's first events are shown
    }

    QPushButton* mainButton() { return page_->ui->Btn_MainAction; }
    QPushButton* finishButton() { return page_->ui->Btn_Finish; }
    QPushButton* backButton() { return page_->ui->Btn_BackToInfo; }
    // One snapshot answered by the script; returns once a kept one is on the card.
    void snapshot(bool keep, std::vector<std::string> tags = {})
    {
        if (keep) {
            script_.confirm();
            script_.chooseTags(std::move(tags));
        } else {
            script_.decline();
        }
        ASSERT_TRUE(waitUntil([&] { return mainButton()->isEnabled(); }, 15000));
        mainButton()->click();
        ASSERT_EQ(page_->status_, Status::WaitingConfirm);
        ASSERT_TRUE(waitUntil([&] { return page_->status_ == Status::Idle; }, 30000));
        ASSERT_TRUE(waitUntil([&] { return !page_->captureSession()->snapshotWritePending(); }, 60000));
    }
    fs::path openFolder() { return page_->captureSession()->openFolder().toStdString(); }

    QTemporaryDir dir_;
    fs::path root_;
    fs::path ledger_;
    DialogScript script_;
    std::unique_ptr<DataCollectionWidget> page_;
};

TEST_F(CapturePageTest, SingleShotFollowsTheConfirmedSnapshotsAndExitWaitsForTheirRunWithEveryButtonOff)
{
    openPage(captureInfo("single_shot"));
    QSignalSpy recording(page_.get(), &DataCollectionWidget::signalRecordingStateChanged);
    snapshot(true, {"划痕"});
    const fs::path session = openFolder();
    EXPECT_TRUE(waitUntil([&] { return fs::exists(session / "manifest.json"); }, 10000))
        << "the manifest follows the kept snapshots during the session: a power cut keeps their tags";
    EXPECT_TRUE(finishButton()->isEnabled());
    EXPECT_FALSE(backButton()->isEnabled());  // the session folder exists
    // The tags already chosen on the information page are not offered again.
    EXPECT_EQ(script_.lastTagLabelsOffered(), (std::vector<std::string>{"划痕", "裂纹"}));
    snapshot(true, {"裂纹"});
    EXPECT_EQ(page_->sessionStatus().snapshotsKept(), 2);

    // Exit with the session not finished: the terminal may close once its run has reported.
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
    EXPECT_EQ(ledgerRows(ledger_, fs::relative(session, root_)), 1);
    // The session was one recording, from the first snapshot to the exit.
    ASSERT_EQ(recording.count(), 2);
    EXPECT_TRUE(recording[0][0].toBool());
    EXPECT_FALSE(recording[1][0].toBool());
}

TEST_F(CapturePageTest, ContinuousStartsAndTheFinishAreHeldAgainstADoubleTapButNotAgainstANewEntry)
{
    openPage(captureInfo("continue_shot"));
    QSignalSpy recording(page_.get(), &DataCollectionWidget::signalRecordingStateChanged);
    QSignalSpy runs(page_->captureSession(), &CaptureSession::runFinished);
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
    ASSERT_TRUE(waitUntil([&] { return runs.count() == 1; }, 30000));
    EXPECT_TRUE(mainButton()->isEnabled()) << "the stopped run is on the card: a new start may follow";
    ASSERT_EQ(recording.count(), 2);
    EXPECT_TRUE(recording[0][0].toBool());
    EXPECT_FALSE(recording[1][0].toBool());
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
    EXPECT_TRUE(waitForLiveCamera(*page_)) << "back released the cameras; entering again recreates them";
}

TEST_F(CapturePageTest, AbsentCameraIsNeverShownLiveAndASnapshotStillAsks)
{
    ScopedEnv absent("KAVREL_SIM_CAMERA_ABSENT", std::string("always"));
    openPage(captureInfo("single_shot"), false);
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
        openPage(captureInfo("continue_shot"));
        kavrel::log::LogCapture capture;
        mainButton()->click();
        fs::permissions(root_, fs::perms::owner_all);
        EXPECT_EQ(page_->status_, Status::Idle);
        EXPECT_TRUE(noticeText(*page_).contains(QString::fromUtf8(c.says))) << noticeText(*page_).toStdString();
        if (c.card != Card::Full) {
            EXPECT_TRUE(noticeText(*page_).contains(QString::fromStdString(storage.string())))
                << "the dialog names the folder";
        }
        EXPECT_TRUE(capture.contains("Capture refused: "));
        // No run opened: nothing has queues to fill, no folder is made.
        EXPECT_EQ(page_->captureSession()->policy()->queues(), nullptr);
        EXPECT_TRUE(sessionFolders(root_, "D1").empty());
        page_.reset();
        CollectionContext::instance().setStorageRoot(root_.string());
    }
}

// A run that cannot go on stops by itself, keeps what it wrote and says why.
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
        openPage(captureInfo("continue_record"));
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
        // The files are final once the run reports.
        ASSERT_TRUE(waitUntil([&] { return page_->captureSession()->pendingRuns() == 0; }, 30000));
        EXPECT_TRUE(fs::exists(session / "meta.yaml"));
        expectDepthPairsColour(session / "D1");
        if (c.cause == Cause::WriteFails) {
            EXPECT_TRUE(noticeText(*page_).contains(QString::fromUtf8(" 个文件未写入")));
            page_->findChildren<ConfirmationDialog*>("noticeDialog").back()->confirmButton_->click();
            ASSERT_TRUE(waitUntil([&] { return finishButton()->isEnabled(); }, 5000));
            finishButton()->click();
            EXPECT_TRUE(finishButton()->text().startsWith(QString::fromUtf8("保存失败: "))) << "not 打包完成";
        } else if (c.cause == Cause::CameraLost) {
            EXPECT_EQ(page_->ui->label_GeminiStatus->text(), QString::fromUtf8("● 无响应")) << "the badge says so";
        }
        page_.reset();
        config_manager::instance().min_free_mb_ = 0;
    }
}

// The smallest bound: a few seconds of 640x480 frame sets.
constexpr int kBacklogMb = 16;
// The drain after the stop is at most this fast: long enough a wait for the finish to tell of it.
constexpr double kDrainBytesPerSecond = 1e6;
// What besides the backlog may grow: depth images being encoded, PNG buffers, allocator slack.
constexpr double kMarginMb = 64;

double residentMb()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024 * 1024);
}

// The number after `label` in the status line ("已保存 12 组", "丢弃 3"); 0 when absent.
uint64_t countShown(const QString& status, const char* label)
{
    const QString marker = QString::fromUtf8(label);
    const int at = status.indexOf(marker);
    return at < 0 ? 0 : status.mid(at + marker.size()).section(QRegularExpression("[^0-9]"), 0, 0).toULongLong();
}

// Every frame set of 30 fps.
CollectionInfo everyFrame()
{
    CollectionInfo info = captureInfo("continue_record");
    info.shot_interval_ms = 33;
    return info;
}

// A card that writes only what the throttle lets through.
class SlowCardTest : public CapturePageTest {
protected:
    void SetUp() override
    {
        CapturePageTest::SetUp();
        config_manager::instance().min_free_mb_ = 1;
        config_manager::instance().max_backlog_mb_ = kBacklogMb;
    }
    void TearDown() override
    {
        CapturePageTest::TearDown();
        kavrel_card_throttle_set_rate(0);
    }

    QString status() const { return page_->ui->label_RecordingStatus->text(); }
};

TEST_F(SlowCardTest, BoundedMemoryCountedDropsAWarningAndAPageThatWaitsForTheLastFile)
{
    KAVREL_SKIP_CHILD_PROCESSES_UNDER_EMULATION();
    ScopedEnv heavy("KAVREL_SIM_SCENE", std::string("heavy"));
    openPage(everyFrame());

    const double residentBefore = residentMb();
    double residentPeak = residentBefore;
    uint64_t savedShown = 0;
    mainButton()->click();
    ASSERT_EQ(page_->status_, DataCollectionWidget::Collecting);
    CaptureSession* session = page_->captureSession();
    const auto watch = [&] {
        residentPeak = std::max(residentPeak, residentMb());
        savedShown = std::max(savedShown, countShown(status(), "已保存 "));
    };
    // What the camera delivers, measured on a card that keeps up; then the card slows to a third of it.
    ASSERT_TRUE(waitUntil([&] { return session->liveCounts().frameSetsSaved > 0; }, 30000));
    const uint64_t bytesBefore = kavrel_card_throttle_bytes();
    QElapsedTimer measured;
    measured.start();
    processEventsFor(3000);
    const double dataRate = (kavrel_card_throttle_bytes() - bytesBefore) * 1000.0 / measured.elapsed();
    ASSERT_GT(dataRate, 0);
    kavrel_card_throttle_set_rate(dataRate / 3);
    const bool warned = waitUntil([&] {
        watch();
        return status().contains(QString::fromUtf8("存储卡写入速度不足"));
    }, 120000);
    EXPECT_TRUE(warned) << status().toStdString();
    ASSERT_TRUE(waitUntil([&] {
        watch();
        return session->liveCounts().droppedFrameSets > 0 && mainButton()->isEnabled();
    }, 120000)) << "a card at a third of the data rate drops sets";
    processEventsFor(2000);
    watch();
    const uint64_t droppedShown = countShown(status(), "丢弃 ");
    EXPECT_GT(droppedShown, 0u) << status().toStdString();

    kavrel_card_throttle_set_rate(std::min(dataRate / 3, kDrainBytesPerSecond));
    mainButton()->click();
    const fs::path folder = session->openFolder().toStdString();
    ASSERT_TRUE(session->writingAfterStop()) << "the backlog is still being written";
    processEventsFor(1100);
    EXPECT_TRUE(status().startsWith(QString::fromUtf8("正在写入剩余 "))) << status().toStdString();
    EXPECT_FALSE(mainButton()->isEnabled()) << "开始采集 waits for the card";
    EXPECT_FALSE(finishButton()->isEnabled()) << "结束 waits for the card";
    // 退出 asks first; the operator may stay.
    script_.decline();
    EXPECT_FALSE(page_->askBeforeExit());
    script_.confirm();
    EXPECT_TRUE(page_->askBeforeExit());
    EXPECT_EQ(script_.confirmationsShown(), 2);
    ASSERT_TRUE(waitUntil([&] {
        watch();
        // 结束 comes back: from that moment every file must be there and paired.
        return finishButton()->isEnabled();
    }, 180000));
    expectDepthPairsColour(folder / "D1");
    const size_t setsOnCard = pngStems(folder / "D1" / "depth").size();
    EXPECT_GE(setsOnCard, savedShown) << "every set shown as saved is on the card";

    EXPECT_EQ(session->policy()->imu.refused.load(), 0u) << "a card that holds up the writer costs no motion data";
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // A sanitizer's shadow memory, not the backlog, would set the peak in such a build.
    EXPECT_LT(residentPeak - residentBefore, kBacklogMb + kMarginMb)
        << "peak " << residentPeak << " MB, " << residentBefore << " MB before the recording";
#endif

    // The card's rate is kept: the next recording is warned about before it starts.
    EXPECT_TRUE(status().contains(QString::fromUtf8("每分钟积压约"))) << status().toStdString();
    finishButton()->click();
    EXPECT_TRUE(noticeText(*page_).contains(QString::fromUtf8("等待存储卡写入共")))
        << "the finish says how long the card made the operator wait";

    const YAML::Node counts = YAML::LoadFile((folder / "meta.yaml").string())["stream_counts"];
    EXPECT_EQ(counts["color"]["refused"].as<uint64_t>(), counts["depth"]["refused"].as<uint64_t>()) << "whole sets";
    EXPECT_EQ(counts["depth"]["refused"].as<uint64_t>(), session->policy()->droppedFrameSets.load());
    EXPECT_EQ(counts["depth"]["saved"].as<uint64_t>(), setsOnCard);
}

TEST_F(SlowCardTest, TheWaitAtExitFollowsACardThatWritesAndEndsWhenItStops)
{
    CollectionContext::instance().setCollectionInfo(everyFrame());
    CaptureSession session(std::make_shared<SaveWorker>());
    session.configure(everyFrame(), 30);
    int index = 0;
    const auto recordRun = [&](int sets) {  // queued at once and closed
        session.start();
        for (const int last = index + sets; index < last; ++index)
            ASSERT_TRUE(session.policy()->queues()->pushDepthSet(save_test::depthCameraSet(index, 160, 160)));
        session.stop();
    };
    // About four seconds of writing in all, each file a fraction of a second: far beyond the bound.
    kavrel_card_throttle_set_rate(300e3);
    recordRun(15);
    recordRun(15);
    QSignalSpy reports(&session, &CaptureSession::runFinished);
    WriteDrain drain(&session);
    QSignalSpy drained(&drain, &WriteDrain::drained);
    int reportsAtDrained = -1;
    QObject::connect(&drain, &WriteDrain::drained, [&] { reportsAtDrained = reports.count(); });
    drain.start(500);
    ASSERT_TRUE(waitUntil([&] { return drained.count() == 1; }, 120000));
    EXPECT_TRUE(drained.at(0).at(0).toBool()) << "the card kept writing: the deadline moved with it";
    EXPECT_EQ(reportsAtDrained, 2) << "both runs reported first";

    // One image takes seconds to write: no progress within the bound.
    kavrel_card_throttle_set_rate(10e3);
    recordRun(2);
    kavrel::log::LogCapture capture;
    drain.start(300);
    ASSERT_TRUE(waitUntil([&] { return drained.count() == 2; }, 60000));
    EXPECT_FALSE(drained.at(1).at(0).toBool());
    EXPECT_EQ(session.pendingRuns(), 1);
    EXPECT_TRUE(capture.contains("Save worker did not report 1 run(s); no write progressed for 300 ms"));

    // Nothing pending: done at once.
    kavrel_card_throttle_set_rate(0);
    ASSERT_TRUE(waitUntil([&] { return session.pendingRuns() == 0; }, 60000));
    drain.start(300);
    ASSERT_EQ(drained.count(), 3);
    EXPECT_TRUE(drained.at(2).at(0).toBool());
    ASSERT_EQ(sessionFolders(root_, "D1").size(), 1u);
    EXPECT_EQ(pngStems(sessionFolders(root_, "D1").front() / "D1" / "depth").size(), 32u);
}

} // namespace
