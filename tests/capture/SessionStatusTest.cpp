// The operator's session behind the capture page's buttons: a double tap is
// held off after a start and after a finish (however long the finish waits
// for its last snapshot), and the finish reports every failed file of its
// session, also those reported after it closed.

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "SessionStatus.h"

namespace {

SaveRunResult failedRun(uint64_t files)
{
    SaveRunResult result;
    result.filesFailed = files;
    result.failure = QStringLiteral("No space left on device");
    return result;
}

} // namespace

TEST(SessionStatus, HoldsTheButtonsForASecondAfterAStartAndAfterAFinishHasClosed)
{
    const qint64 guard = SessionStatus::tapGuardMs;
    struct Case {
        const char* name;
        std::function<void(SessionStatus&, qint64& now)> steps;  // ends at the time the hold is measured from
        bool held;
    };
    const std::vector<Case> cases = {
        {"a continuous start", [](SessionStatus& s, qint64&) { s.accepted(true); }, true},
        {"a snapshot is not held", [](SessionStatus& s, qint64&) { s.accepted(false); }, false},
        {"a finish that closes at once",
            [](SessionStatus& s, qint64&) {
                s.accepted(false);
                s.finishPressed();
                s.finishClosed();
            },
            true},
        {"a finish that waits three seconds for its snapshot",
            [](SessionStatus& s, qint64& now) {
                s.accepted(false);
                s.finishPressed();
                now += 3000;
                EXPECT_TRUE(s.holdsButtons()) << "held while closing";
                s.finishClosed();
            },
            true},
        {"back during a hold",
            [](SessionStatus& s, qint64& now) {
                s.accepted(true);
                now += 10;
                s.reset();
            },
            false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        qint64 now = 50000;
        SessionStatus status([&] { return now; });
        c.steps(status, now);
        EXPECT_EQ(status.holdsButtons(), c.held);
        now += guard - 1;
        EXPECT_EQ(status.holdsButtons(), c.held);
        EXPECT_FALSE(status.holdEnded()) << "not before the hold is over";
        now += 1;
        EXPECT_FALSE(status.holdsButtons());
        EXPECT_EQ(status.holdEnded(), c.held) << "the page refreshes its buttons once";
        EXPECT_FALSE(status.holdEnded());
        EXPECT_EQ(status.finishText(), QString::fromUtf8("结束"));
    }
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
