// A session's runs all write into its first run's folder; a finished session's folder takes no more runs.

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <thread>

#include "CaptureSession.h"
#include "SaveTestSupport.h"

namespace {

using namespace save_test;
using kavrel::test::waitUntil;

class RunFolders : public SaveFixture {
protected:
    // Session folders on the card: each gets its meta.yaml as it is made.
    size_t foldersOnCard() const
    {
        size_t count = 0;
        for (const auto& entry : fs::recursive_directory_iterator(root_))
            count += entry.path().filename() == "meta.yaml" ? 1 : 0;
        return count;
    }

    // Waits without running the event loop: the folder exists, and its
    // report still waits in the queue for the GUI thread.
    bool waitForFoldersOnCard(size_t count) const
    {
        for (int i = 0; i < 5000 && foldersOnCard() < count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return foldersOnCard() >= count;
    }
};

TEST_F(RunFolders, EachRunWritesIntoTheFolderItIsHanded)
{
    startWorker();
    std::map<uint64_t, std::string> folders;
    QObject::connect(task_.get(), &SaveWorker::sessionFolderReady, task_.get(),
        [&](quint64 run, const QString& path) { folders[run] = path.toStdString(); });
    const auto post = [&](RunFolder folder) {
        queues_ = std::make_shared<CaptureQueues>();
        return task_->beginRun(true, queues_, std::move(folder));
    };
    const auto folderOf = [&](uint64_t run) {
        EXPECT_TRUE(waitUntil([&] { return folders.count(run) > 0; })) << "run " << run;
        return folders[run];
    };

    const uint64_t first = post(RunFolder::newSession());
    const std::string session = folderOf(first);
    pushFrameSet(depthCameraSet(0));

    const uint64_t named = post(RunFolder::into(session));
    EXPECT_EQ(folderOf(named), session);
    const uint64_t following = post(RunFolder::ofEarlierRun(named));
    EXPECT_EQ(folderOf(following), session) << "the earlier run's folder, named or not";

    // The open run writes a backlog while two runs are posted behind it: the
    // second replaces the first before it began and takes its folder over.
    task_->setWriteImages(false);
    for (int i = 1; i <= 12; ++i)
        pushFrameSet(depthCameraSet(i, 320, 240));
    const uint64_t replaced = post(RunFolder::ofEarlierRun(following));
    const uint64_t replacing = post(RunFolder::ofEarlierRun(replaced));
    EXPECT_EQ(folderOf(replacing), session);

    const uint64_t fresh = post(RunFolder::newSession());
    EXPECT_NE(folderOf(fresh), session);
    // The run named is not the last one that settled a folder (it was
    // replaced, or ran before another session's): never whichever ran last.
    const uint64_t orphan = post(RunFolder::ofEarlierRun(replaced));
    EXPECT_NE(folderOf(orphan), session);
    EXPECT_NE(folderOf(orphan), folders[fresh]);
    task_->endRun();
    ASSERT_TRUE(waitUntil([&] { return task_->stats().runsCompleted >= folders.size(); }));
    EXPECT_EQ(foldersOnCard(), 3u);
    EXPECT_EQ(filesUnder(session + "/D1/depth").size(), 13u) << "the backlog stayed in the session";
}

TEST_F(RunFolders, TheCaptureSessionKeepsItsFolderUntilFinishedAndNeverReusesIt)
{
    auto worker = std::make_shared<SaveWorker>();
    CaptureSession session(worker);
    session.configure(CollectionContext::instance().collectionInfo(), 30);
    std::vector<std::string> runs;
    QObject::connect(&session, &CaptureSession::runFinished, &session,
        [&](const CaptureRunReport& report) { runs.push_back(report.saved.path.toStdString()); });

    // Start, stop and start again before the first run's folder is reported.
    session.start();
    ASSERT_TRUE(waitForFoldersOnCard(1));
    session.stop();
    session.start();
    session.stop();
    ASSERT_TRUE(waitUntil([&] { return runs.size() == 2; }));
    EXPECT_EQ(runs[0], runs[1]) << "the second run continues the folder the first made";
    EXPECT_EQ(session.openFolder().toStdString(), runs[0]);
    EXPECT_EQ(foldersOnCard(), 1u);

    session.finish();
    EXPECT_TRUE(session.openFolder().isEmpty());
    session.start();
    session.stop();
    ASSERT_TRUE(waitUntil([&] { return runs.size() == 3; }));
    EXPECT_NE(runs[2], runs[0]) << "a new session after the finish";

    // Finished before its folder was reported: the late report opens nothing.
    session.finish();
    session.start();
    ASSERT_TRUE(waitForFoldersOnCard(3));
    session.finish();
    ASSERT_TRUE(waitUntil([&] { return runs.size() == 4; }));
    EXPECT_TRUE(session.openFolder().isEmpty());
    session.start();
    session.stop();
    ASSERT_TRUE(waitUntil([&] { return runs.size() == 5; }));
    EXPECT_NE(runs[4], runs[3]);
    EXPECT_EQ(foldersOnCard(), 4u);
}

} // namespace
