// The storage floor ends a continuous recording just below it, never at or
// above it, and says why; every recording ends with one stop reason.

#include <gtest/gtest.h>

#include <QSignalSpy>

#include "CaptureSession.h"
#include "CollectionContext.h"

namespace {

constexpr long long kMiB = 1024 * 1024;
constexpr long long kStartBytes = 512 * kMiB;  // what a start needs: the floor is a quarter of it

CollectionInfo infoFor(const char* mode)
{
    CollectionInfo info;
    info.capture_mode = mode;
    info.task_label = "sink";
    return info;
}

TEST(StorageFloorTest, ARecordingStopsJustBelowTheFloorAndGoesOnAtOrAboveIt)
{
    const long long floor = StorageGuard::floorFor(kStartBytes);
    ASSERT_EQ(floor, 128 * kMiB);
    struct Case {
        const char* name;
        const char* mode;
        long long freeBytes;
        bool stops;
    };
    for (const Case& c : {Case{"a byte above", "continue_record", floor + 1, false},
             Case{"at the floor", "continue_record", floor, false},
             Case{"a byte below", "continue_record", floor - 1, true},
             Case{"a byte below, written continuous_shot", "continuous_shot", floor - 1, true},
             Case{"free space unknown", "continue_shot", -1, false},
             Case{"single shot waits for the operator", "single_shot", floor - 1, false}}) {
        SCOPED_TRACE(c.name);
        CaptureSession session(nullptr);
        session.configure(infoFor(c.mode), 30);
        session.setFreeSpaceProbe([&](const std::string& folder) {
            EXPECT_EQ(folder, "/card");
            return c.freeBytes;
        });
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

TEST(StorageFloorTest, EachWayOfEndingARecordingReportsItsReasonOnce)
{
    struct Case {
        const char* name;
        std::function<void(CaptureSession&)> end;
        StopReason reason;
    };
    for (const Case& c : {Case{"stop button", [](CaptureSession& s) { s.stop(); }, StopReason::Operator},
             Case{"camera lost", [](CaptureSession& s) { s.stop(StopReason::CameraLost); }, StopReason::CameraLost},
             Case{"finish", [](CaptureSession& s) { s.finish(); }, StopReason::Operator},
             Case{"back or exit", [](CaptureSession& s) { s.abandon(); }, StopReason::Exit}}) {
        SCOPED_TRACE(c.name);
        CaptureSession session(nullptr);
        session.configure(infoFor("continue_record"), 30);
        QSignalSpy stopped(&session, &CaptureSession::stopped);
        session.start();
        c.end(session);
        c.end(session);
        ASSERT_EQ(stopped.count(), 1);
        EXPECT_EQ(stopped.at(0).at(0).value<StopReason>(), c.reason);
        EXPECT_FALSE(session.recording());
    }
}

} // namespace
