// The capture page recording the heavy simulated camera onto a card that
// writes a third of its data: bounded memory, whole sets dropped and counted,
// the operator warned and waited for; and exit on such a card.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <yaml-cpp/yaml.h>

#include "CardThrottle.h"
#include "CaptureTerminal.h"
#include "Log.h"
#include "SaveTestSupport.h"
#include "SessionFiles.h"
#include "WriteDrain.h"
#include "ui_DataCollectionWidget.h"

namespace fs = std::filesystem;
using namespace kavrel::test;

namespace {

// The smallest bound: a few seconds of 640x480 frame sets.
constexpr int kBacklogMb = 16;
// The drain after the stop runs at most this fast, so the operator waits long
// enough (a full backlog takes seconds) to be told at the finish.
constexpr double kDrainBytesPerSecond = 1e6;
// What besides the backlog may grow: depth images being encoded, PNG buffers, allocator slack.
constexpr double kMarginMb = 64;

double residentMb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

// The number after `label` in the status line ("已保存 12 组", "丢弃 3"); 0 when absent.
uint64_t countShown(const QString& status, const char* label)
{
    const QString marker = QString::fromUtf8(label);
    const int at = status.indexOf(marker);
    return at < 0 ? 0 : status.mid(at + marker.size()).section(QRegularExpression("[^0-9]"), 0, 0).toULongLong();
}

class SlowCardPageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        root_ = setUpCaptureTerminal(dir_).root;
        config_manager::instance().min_free_mb_ = 1;
        config_manager::instance().max_backlog_mb_ = kBacklogMb;
        CollectionInfo info = captureInfo("continue_record");
        info.shot_interval_ms = 33;  // every frame set of 30 fps
        CollectionContext::instance().setCollectionInfo(info);
    }
    void TearDown() override
    {
        page_.reset();
        kavrel_card_throttle_set_rate(0);
    }

    QString status() const { return page_->ui->label_RecordingStatus->text(); }
    QPushButton* mainButton() const { return page_->ui->Btn_MainAction; }
    QPushButton* finishButton() const { return page_->ui->Btn_Finish; }

    QTemporaryDir dir_;
    fs::path root_;
    DialogScript script_;
    std::unique_ptr<DataCollectionWidget> page_;
};

TEST_F(SlowCardPageTest, BoundedMemoryCountedDropsAWarningAndAPageThatWaitsForTheLastFile)
{
    KAVREL_SKIP_CHILD_PROCESSES_UNDER_EMULATION();
    ScopedEnv heavy("KAVREL_SIM_SCENE", std::string("heavy"));
    page_ = std::make_unique<DataCollectionWidget>();
    page_->show();
    ASSERT_TRUE(waitForLiveCamera(*page_));
    processEventsFor(300);

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
    EXPECT_TRUE(status().contains(QString::fromUtf8("积压 "))) << status().toStdString();

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
    EXPECT_EQ(session->pendingRuns(), 0);
    EXPECT_TRUE(mainButton()->isEnabled());
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
    const uint64_t dropped = session->policy()->droppedFrameSets.load();
    EXPECT_GE(dropped, droppedShown);
    EXPECT_EQ(counts["depth"]["refused"].as<uint64_t>(), dropped);
    EXPECT_EQ(counts["depth"]["saved"].as<uint64_t>(), setsOnCard);
}

class WriteDrainTest : public SlowCardPageTest {
protected:
    static constexpr int kSide = 160;

    void SetUp() override
    {
        SlowCardPageTest::SetUp();
        session_ = std::make_unique<CaptureSession>(std::make_shared<SaveWorker>());
        session_->configure(CollectionContext::instance().collectionInfo(), 30);
    }
    void TearDown() override
    {
        kavrel_card_throttle_set_rate(0);
        session_.reset();  // writes what is left
        SlowCardPageTest::TearDown();
    }

    // One run of `sets` small frame sets, queued at once and closed.
    void recordRun(int sets)
    {
        session_->start();
        const auto queues = session_->policy()->queues();
        ASSERT_NE(queues, nullptr);
        for (int i = 0; i < sets; ++i, ++index_)
            ASSERT_TRUE(queues->pushDepthSet(save_test::depthCameraSet(index_, kSide, kSide)));
        session_->stop();
    }

    std::unique_ptr<CaptureSession> session_;
    int index_ = 0;
};

TEST_F(WriteDrainTest, ACardThatKeepsWritingIsWaitedForUntilEveryRunHasReported)
{
    // About four seconds of writing in all, each file a fraction of a second: far beyond the bound.
    kavrel_card_throttle_set_rate(300e3);
    recordRun(15);
    recordRun(15);
    ASSERT_EQ(session_->pendingRuns(), 2);

    QSignalSpy reports(session_.get(), &CaptureSession::runFinished);
    WriteDrain drain(session_.get());
    QSignalSpy drained(&drain, &WriteDrain::drained);
    int reportsAtDrained = -1;
    QObject::connect(&drain, &WriteDrain::drained, [&] { reportsAtDrained = reports.count(); });
    drain.start(500);
    ASSERT_TRUE(waitUntil([&] { return drained.count() > 0; }, 120000));
    EXPECT_TRUE(drained.at(0).at(0).toBool()) << "the card kept writing: the deadline moved with it";
    EXPECT_EQ(reportsAtDrained, 2) << "both runs reported first";
    EXPECT_EQ(session_->pendingRuns(), 0);
    EXPECT_EQ(pngStems(sessionFolders(root_, "D1").front() / "D1" / "depth").size(), 30u);
    EXPECT_FALSE(drain.waiting());
}

TEST_F(WriteDrainTest, ACardThatStopsTakingDataEndsTheWaitAfterTheBound)
{
    // One image takes seconds to write: no progress within the bound.
    kavrel_card_throttle_set_rate(10e3);
    recordRun(2);
    kavrel::log::LogCapture capture;
    WriteDrain drain(session_.get());
    QSignalSpy drained(&drain, &WriteDrain::drained);
    drain.start(300);
    ASSERT_TRUE(waitUntil([&] { return drained.count() > 0; }, 60000));
    EXPECT_FALSE(drained.at(0).at(0).toBool());
    EXPECT_EQ(session_->pendingRuns(), 1);
    EXPECT_TRUE(capture.contains("Save worker did not report 1 run(s); no write progressed for 300 ms"));

    // Nothing pending: done at once.
    kavrel_card_throttle_set_rate(0);
    ASSERT_TRUE(waitUntil([&] { return session_->pendingRuns() == 0; }, 60000));
    drain.start(300);
    ASSERT_EQ(drained.count(), 2);
    EXPECT_TRUE(drained.at(1).at(0).toBool());
}

} // namespace
