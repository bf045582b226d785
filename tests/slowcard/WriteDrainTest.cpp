// Exit waits for the save worker on a slow card: a card that keeps writing
// moves the deadline until every run has reported, and a card that stops
// taking data ends the wait after the bound, saying what is left.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include <QSignalSpy>
#include <QTemporaryDir>

#include "CardThrottle.h"
#include "CaptureSession.h"
#include "CollectionContext.h"
#include "Log.h"
#include "SaveTestSupport.h"
#include "TestSupport.h"
#include "WriteDrain.h"

namespace fs = std::filesystem;
using namespace kavrel::test;

namespace {

constexpr int kSide = 160;

class WriteDrainTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        root_ = fs::path(dir_.path().toStdString()) / "card";
        fs::create_directories(root_);
        CollectionInfo info;
        info.date = "20250612";
        info.city = "SZ";
        info.scene_label = "yard";
        info.task_label = "walk";
        info.part_number = "1";
        info.capture_mode = "continue_record";
        info.devices = "D1";
        CollectionContext::instance().setCollectionInfo(info);
        CollectionContext::instance().setStorageRoot(root_.string());
        CollectionContext::instance().setBaseSavePath({});
        session_ = std::make_unique<CaptureSession>(std::make_shared<SaveWorker>());
        session_->configure(info, 30);
    }
    void TearDown() override
    {
        kavrel_card_throttle_set_rate(0);
        session_.reset();  // writes what is left
        CollectionContext::instance().setBaseSavePath({});
    }

    // One run of `sets` small frame sets, queued at once and closed.
    void recordRun(int sets)
    {
        session_->start();
        const auto queues = session_->policy()->queues();
        ASSERT_NE(queues, nullptr);
        for (int i = 0; i < sets; ++i, ++index_) {
            ASSERT_TRUE(queues->pushDepthSet(save_test::frameSet(save_test::timestampAt(index_),
                save_test::imageFromBytes(save_test::jpegBytes(kSide, kSide, index_), kSide, kSide),
                save_test::depthImage(kSide, kSide))));
        }
        session_->stop();
    }

    size_t depthImagesOnCard() const
    {
        const auto files = save_test::filesUnder(root_.string());
        return static_cast<size_t>(std::count_if(
            files.begin(), files.end(), [](const std::string& f) { return f.find("/depth/") != std::string::npos; }));
    }

    QTemporaryDir dir_;
    fs::path root_;
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
    EXPECT_EQ(depthImagesOnCard(), 30u);
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
