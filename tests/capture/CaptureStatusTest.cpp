// What the capture page shows and decides: backlog, card rate, the buttons' hold, the storage floor.

#include <gtest/gtest.h>

#include <vector>

#include <QSignalSpy>
#include <QTemporaryDir>

#include "BacklogStatus.h"
#include "CaptureTerminal.h"
#include "CardRate.h"
#include "SessionStatus.h"
#include "TestSupport.h"

namespace {

BacklogSample at(qint64 ms, uint32_t sets, uint64_t cardBytes = 0, uint64_t busyUs = 0, uint64_t bytes = 0)
{
    return {ms, sets, bytes, cardBytes, busyUs};
}

TEST(BacklogStatus, WarnsOnlyWhenTheBacklogKeepsRisingForSecondsAndUntilItEmpties)
{
    struct Case {
        const char* name;
        std::vector<uint32_t> sets;     // one sample a second
        std::vector<bool> warned;       // after each sample
    };
    const std::vector<Case> cases = {
        {"a fast card wobbles around empty", {0, 2, 1, 3, 2, 1, 3, 0}, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"at the bound the count stands still or dips: still slow", {0, 20, 40, 60, 60, 59, 60}, {0, 0, 0, 1, 1, 1, 1}},
        {"a dip before three seconds starts the count again", {0, 20, 40, 30, 40, 50}, {0, 0, 0, 0, 0, 0}},
        {"an empty backlog ends the warning", {0, 20, 40, 60, 30, 0, 1}, {0, 0, 0, 1, 1, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BacklogStatus status;
        status.startRecording();
        for (size_t i = 0; i < c.sets.size(); ++i) {
            status.add(at(static_cast<qint64>(i) * 1000, c.sets[i]));
            EXPECT_EQ(status.recordingText().contains(QString::fromUtf8("存储卡写入速度不足")), c.warned[i])
                << "after sample " << i;
        }
        status.startRecording();
        EXPECT_FALSE(status.slowCard()) << "a new recording starts without the old warning";
    }
}

TEST(BacklogStatus, CardRateComesFromBusyTimeOfTheLastSecondsAndSaysHowLongTheBacklogTakes)
{
    BacklogStatus status;
    status.startRecording();
    // 10 MB written in 2 s of busy time over 4 s: the card does 5 MB/s when it writes.
    status.add(at(0, 0, 0, 0));
    status.add(at(4000, 40, 10000000, 2000000, 12000000));
    EXPECT_DOUBLE_EQ(status.cardBytesPerSecond(), 5e6);
    EXPECT_TRUE(status.recordingText().startsWith(QString::fromUtf8("积压 40 组 (约 3 秒) · 存储卡 5.0 MB/s")))
        << status.recordingText().toStdString();
    // Ten seconds later the first samples no longer count: now 1 MB/s.
    status.add(at(14000, 40, 20000000, 12000000));
    status.add(at(24000, 40, 30000000, 22000000));
    EXPECT_DOUBLE_EQ(status.cardBytesPerSecond(), 1e6);
    // Too little busy time says nothing yet.
    BacklogStatus fresh;
    fresh.add(at(0, 0));
    fresh.add(at(1000, 1, 100000, 1000));
    EXPECT_EQ(fresh.cardBytesPerSecond(), 0.0);
    EXPECT_EQ(fresh.recordingText(), QString::fromUtf8("积压 1 组"));
}

TEST(BacklogStatus, AfterAStopCountsDownAndAddsEveryWaitToTheSession)
{
    BacklogStatus status;
    status.add(at(0, 100));
    status.startDraining(0);
    EXPECT_TRUE(status.draining());
    EXPECT_EQ(status.drainingText(), QString::fromUtf8("正在写入剩余 100 组… 0%"));
    status.add(at(3000, 25));
    EXPECT_EQ(status.drainingText(), QString::fromUtf8("正在写入剩余 25 组… 75%"));
    status.add(at(4000, 0));
    EXPECT_EQ(status.drainingText(), QString::fromUtf8("正在写入剩余 0 组… 99%")) << "not done before the run reports";
    status.finishDraining(6000);
    EXPECT_FALSE(status.draining());
    status.finishDraining(9000);  // a second report changes nothing
    status.startDraining(10000);
    status.finishDraining(10500);
    EXPECT_EQ(status.sessionWaitMs(), 6500);
    status.startSession();
    EXPECT_EQ(status.sessionWaitMs(), 0);
}

TEST(CardRate, KeptPerStorageRootAndComparedWithWhatTheTaskNeeds)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string file = dir.path().toStdString() + "/card_rate.json";
    EXPECT_FALSE(card_rate::load(file, "/media/card"));
    ASSERT_TRUE(card_rate::save(file, "/media/card", 9.5e6));
    EXPECT_DOUBLE_EQ(card_rate::load(file, "/media/card").value_or(0), 9.5e6);
    EXPECT_FALSE(card_rate::load(file, "/media/other")) << "another card's rate says nothing";
    EXPECT_FALSE(card_rate::save(dir.path().toStdString() + "/missing/card_rate.json", "/media/card", 1e6));

    for (const char* broken : {"", "{", "[1,2]", R"({"storage_root":"/media/card","bytes_per_second":"fast"})",
             R"({"storage_root":"/media/card","bytes_per_second":-3})"}) {
        kavrel::test::writeFile(file, broken);
        EXPECT_FALSE(card_rate::load(file, "/media/card")) << broken;
    }

    EXPECT_EQ(card_rate::shortfallText(30e6, 10e6),
        QString::fromUtf8("存储卡写入 10.0 MB/s, 本任务需要 30.0 MB/s: 每分钟积压约 1200 MB"));
    EXPECT_TRUE(card_rate::shortfallText(30e6, 30e6).isEmpty());
    EXPECT_TRUE(card_rate::shortfallText(30e6, 0).isEmpty()) << "an unknown card is not called slow";
}

SaveRunResult failedRun(uint64_t files)
{
    SaveRunResult result;
    result.filesFailed = files;
    result.failure = QStringLiteral("No space left on device");
    return result;
}

// The capture page test sees the hold after a start and a finish; here its edges.
TEST(SessionStatus, ASnapshotHoldsNothingAndTheFinishHoldsForASecondFromItsClose)
{
    qint64 now = 50000;
    SessionStatus status([&] { return now; });
    status.accepted(false);
    EXPECT_FALSE(status.holdsButtons()) << "a snapshot";
    status.finishPressed();
    now += 3000;  // waiting for its last snapshot
    EXPECT_TRUE(status.holdsButtons()) << "held while closing";
    status.finishClosed();
    now += SessionStatus::tapGuardMs - 1;
    EXPECT_TRUE(status.holdsButtons());
    EXPECT_FALSE(status.holdEnded());
    now += 1;
    EXPECT_FALSE(status.holdsButtons());
    EXPECT_TRUE(status.holdEnded()) << "the page refreshes its buttons once";
    EXPECT_FALSE(status.holdEnded());
}

TEST(SessionStatus, TheFinishReportsEveryFailedFileOfItsSessionAndTheNextSessionStartsClean)
{
    qint64 now = 0;
    SessionStatus status([&] { return now; });
    status.accepted(false);
    status.snapshotKept();
    const uint64_t generation = status.generation();
    EXPECT_TRUE(status.runReported(failedRun(2)).has_value());
    EXPECT_FALSE(status.runReported(SaveRunResult{}).has_value()) << "a clean run says nothing";
    status.finishPressed();
    EXPECT_EQ(status.finishText(), QString::fromUtf8("保存失败: 2 个文件未写入"));
    status.finishClosed();
    EXPECT_FALSE(status.open());
    EXPECT_NE(status.generation(), generation) << "a dialog of the closed session must see it closed";
    // A single-shot run reports once its session has closed.
    status.runReported(failedRun(1));
    EXPECT_EQ(status.finishText(), QString::fromUtf8("保存失败: 3 个文件未写入"));

    now += SessionStatus::tapGuardMs;
    status.accepted(false);
    EXPECT_EQ(status.filesFailed(), 0u);
    EXPECT_EQ(status.snapshotsKept(), 0);
    status.finishPressed();
    EXPECT_EQ(status.finishText(), QString::fromUtf8("打包完成"));
}

constexpr long long kStartBytes = 512LL * 1024 * 1024;  // what a start needs

TEST(StorageFloorTest, ARecordingStopsJustBelowTheFloorAndGoesOnAtOrAboveIt)
{
    const long long floor = StorageGuard::floorFor(kStartBytes);
    ASSERT_EQ(floor, kStartBytes / 4) << "a quarter of what a start needs";
    struct Case {
        const char* name;
        const char* mode;
        long long freeBytes;
        bool stops;
    };
    for (const Case& c : {Case{"at the floor", "continue_record", floor, false},
             Case{"a byte below", "continue_record", floor - 1, true},
             Case{"a byte below, written continuous_shot", "continuous_shot", floor - 1, true},
             Case{"free space unknown", "continue_shot", -1, false},
             Case{"single shot waits for the operator", "single_shot", floor - 1, false}}) {
        SCOPED_TRACE(c.name);
        CaptureSession session(nullptr);
        session.configure(kavrel::test::captureInfo(c.mode), 30);
        session.setFreeSpaceProbe([&](const std::string&) { return c.freeBytes; });
        QSignalSpy stopped(&session, &CaptureSession::stopped);
        if (std::string(c.mode) == "single_shot")
            session.snapshot();
        else
            session.start();
        ASSERT_TRUE(session.recording());

        EXPECT_EQ(session.checkFreeSpace("/card", kStartBytes), c.freeBytes);
        EXPECT_EQ(session.recording(), !c.stops);
        ASSERT_EQ(stopped.count(), c.stops ? 1 : 0);
        if (c.stops) {
            EXPECT_EQ(stopped.at(0).at(0).value<StopReason>(), StopReason::StorageFloor);
        }
        // A later check of a stopped recording says nothing more.
        session.checkFreeSpace("/card", kStartBytes);
        EXPECT_EQ(stopped.count(), c.stops ? 1 : 0);
    }
}

} // namespace
