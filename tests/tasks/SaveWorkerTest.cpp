#include <chrono>
#include <map>
#include <optional>
#include <thread>

#include <QCoreApplication>

#include "CaptureSession.h"
#include "FileSizeLimit.h"
#include "Log.h"
#include "SaveTestSupport.h"

using namespace save_test;
using kavrel::test::readFile;
using kavrel::test::waitUntil;

using SaveWorkerRuns = SaveFixture;

// Two runs into one folder: the operator paths and session content tests; here the bytes and lines of one.
TEST_F(SaveWorkerRuns, AContinuousRunKeepsTheCameraBytesAndEachSensorsDeviceTime)
{
    startWorker();
    std::vector<uint8_t> colour;
    beginRun(true);
    for (int i = 0; i < 5; ++i) {
        pushFrameSet(depthCameraSet(i, 64, 36, &colour));
        pushImu(i * 8, 8);
    }
    // Stop: frames still queued at this moment belong to the run.
    task_->endRun();
    ASSERT_TRUE(waitForResults(1));

    const std::string lastColour = readFile(results_[0] + "/D1/color/" + timestampAt(4) + ".png");
    EXPECT_EQ(lastColour, std::string(colour.begin(), colour.end())) << "colour images are the camera's bytes";
    const auto data = lines(readFile(results_[0] + "/D1/data.json"));
    ASSERT_EQ(data.size(), 1u + 2 * 40);
    EXPECT_EQ(data[1], R"({"sensor":{"type":"accelerometer","values":[0.01,-9.79,0.5]},"time":1718201415.0,"device_us":1718201415000000})");
    // Each sensor keeps its own device time; "time" stays the earlier of the two.
    EXPECT_EQ(data[2], R"({"sensor":{"type":"gyroscope","values":[0.0,0.002,-0.001]},"time":1718201415.0,"device_us":1718201415000003})");
    ASSERT_EQ(resultThreads_.size(), 1u);
    EXPECT_EQ(resultThreads_[0], QCoreApplication::instance()->thread()) << "the result arrives on the GUI thread";
}

// A declined session, then one with depth images declared wrong or not at all.
TEST_F(SaveWorkerRuns, SingleShotManifestsAndDepthSizesRecoveredFromTheByteCount)
{
    setMode("single_shot", "D1");
    startWorker();
    beginRun(false);
    ASSERT_TRUE(waitUntil([&] { return !sessionPath().empty(); }));
    pushFrameSet(depthCameraSet(0));
    queues_->clearImages();  // the operator declined
    task_->endRun();
    ASSERT_TRUE(waitForResults(1));
    EXPECT_EQ(readFile(results_[0] + "/manifest.json"), "null");
    EXPECT_TRUE(filesUnder(results_[0] + "/D1").empty());

    finishSession();
    ASSERT_TRUE(beginRun(true));
    pushFrameSet(frameSet(timestampAt(1), std::nullopt, depthImage(1280, 720, 640, 480)));
    pushFrameSet(frameSet(timestampAt(2), std::nullopt, depthImage(640, 480, 0, 0)));
    task_->endRun();
    ASSERT_TRUE(waitForResults(2));
    const std::string session = results_[1];
    const cv::Mat wide = cv::imread(session + "/D1/depth/" + timestampAt(1) + ".png", cv::IMREAD_UNCHANGED);
    ASSERT_EQ(wide.size(), cv::Size(1280, 720));
    EXPECT_EQ(wide.at<uint16_t>(700, 1200), 500 + 1200 + 3 * 700) << "pixels keep their places";
    const cv::Mat undeclared = cv::imread(session + "/D1/depth/" + timestampAt(2) + ".png", cv::IMREAD_UNCHANGED);
    EXPECT_EQ(undeclared.size(), cv::Size(640, 480));
}

TEST_F(SaveWorkerRuns, ImuSamplesReachTheCardWhileTheRunGoesOnAndAFullCardCountsTheirFileAsNotWritten)
{
    startWorker();
    std::vector<SaveRunResult> finished;
    QObject::connect(task_.get(), &SaveWorker::runFinished, task_.get(),
        [&](const SaveRunResult& result) { finished.push_back(result); });
    ASSERT_TRUE(beginRun(true));
    ASSERT_TRUE(waitUntil([&] { return !sessionPath().empty(); }));
    // Over two seconds of the IMU's 200 Hz: one record per 10 ms pass would need 4.5 s.
    pushImu(0, 450);
    const std::string file = sessionPath() + "/D1/data.json";
    EXPECT_TRUE(waitUntil([&] { return lines(readFile(file)).size() == 1u + 2 * 450; }, 3000))
        << "a crash now would lose at most the last second";
    EXPECT_TRUE(waitUntil([&] { return task_->stats().imuSamplesWritten == 450; }, 2000))
        << "the live count the status line shows";

    // data.json that no longer fits ends the run like an image would: never "0 files" for a cut IMU file.
    std::optional<kavrel::test::FileSizeLimit> full;
    full.emplace(fs::file_size(file) + 2000);  // a few dozen more IMU lines fit, no more
    pushImu(450, 400);
    const bool stopped = waitUntil([&] { return !finished.empty(); });
    full.reset();
    ASSERT_TRUE(stopped) << "the run ends without endRun";
    EXPECT_EQ(finished.front().filesFailed, 1u);
    EXPECT_TRUE(finished.front().failure.contains(QStringLiteral("data.json"))) << finished.front().failure.toStdString();
    EXPECT_GT(finished.front().imuLost, 0u);
}

TEST_F(SaveWorkerRuns, HostileLabelsAndDeviceNamesStayInsideTheStorageRoot)
{
    CollectionInfo info = CollectionContext::instance().collectionInfo();
    info.date = "../..";
    info.city = "../../..";
    info.scene_label = "/etc";
    info.task_label = "..";
    info.part_number = "../../x";
    info.devices = "..,/tmp,\n";
    CollectionContext::instance().setCollectionInfo(info);
    startWorker();
    ASSERT_TRUE(beginRun(true));
    pushFrameSet(frameSet("../../../escaped", imageFromBytes(jpegBytes(16, 16, 1)), depthImage(16, 16)));
    pushImu(0, 3);
    task_->endRun();
    ASSERT_TRUE(waitForResults(1));

    for (const auto& entry : fs::directory_iterator(dir_.path().toStdString()))
        EXPECT_EQ(entry.path().filename(), "card") << "nothing written beside the storage root";
    EXPECT_EQ(fs::weakly_canonical(results_[0]).string().rfind(fs::canonical(root_).string() + "/", 0), 0u);
    EXPECT_TRUE(fs::exists(results_[0] + "/unknown/color/_.._.._escaped.png")) << "the first device is '..' made safe";
    EXPECT_TRUE(fs::exists(results_[0] + "/unknown/data.json"));
    EXPECT_TRUE(fs::is_directory(results_[0] + "/_tmp/depth"));
}

TEST_F(SaveWorkerRuns, AnUnwritableStorageRootEndsTheJobWithoutAResult)
{
    const std::string blocked = root_ + "/not-a-folder";
    kavrel::test::writeFile(blocked, "x");
    CollectionContext::instance().setStorageRoot(blocked);
    kavrel::log::LogCapture capture;
    startWorker();
    QString failedFolder;
    QObject::connect(task_.get(), &SaveWorker::sessionFolderFailed, task_.get(),
        [&](const QString& folder, const QString&) { failedFolder = folder; });
    ASSERT_TRUE(beginRun(true));
    ASSERT_TRUE(waitUntil([&] { return !failedFolder.isEmpty(); })) << "the session is told the folder failed";
    EXPECT_TRUE(capture.contains("Failed to create directories: "));
    EXPECT_TRUE(capture.contains("Failed to create directories for session: "));
    EXPECT_EQ(failedFolder.toStdString().rfind(blocked + "/", 0), 0u);
    EXPECT_TRUE(task_->stop()) << "the run ended at once; the thread was free to end";
    EXPECT_TRUE(results_.empty());
}

// What is on the card stays whole and paired; what was still queued is discarded and counted
// (the capture page test sees the same stop and its notice).
TEST_F(SaveWorkerRuns, AFailedWriteStopsTheRunAndKeepsEveryPairWhole)
{
    startWorker();
    std::vector<SaveRunResult> finished;
    QObject::connect(task_.get(), &SaveWorker::runFinished, task_.get(),
        [&](const SaveRunResult& result) { finished.push_back(result); });
    ASSERT_TRUE(beginRun(true));
    ASSERT_TRUE(waitUntil([&] { return fs::exists(sessionPath() + "/D1/depth"); }));
    const std::string session = sessionPath();
    pushFrameSet(depthCameraSet(1));
    ASSERT_TRUE(waitUntil([&] { return task_->stats().depthImagesSaved == 1; }));

    // Four more frame sets wait while the card fills: small colour images that fit, noisy depth ones that do not.
    task_->setWriteImages(false);
    cv::Mat noise(240, 320, CV_16UC1);
    for (int i = 2; i < 6; ++i) {
        cv::randu(noise, 0, 65535);
        pushFrameSet(frameSet(timestampAt(i), imageFromBytes(jpegBytes(16, 16, i)),
            imageFromBytes(std::vector<uint8_t>(noise.datastart, noise.dataend), 320, 240)));
    }
    std::optional<kavrel::test::FileSizeLimit> full;
    full.emplace(20000);
    task_->setWriteImages(true);
    const bool stopped = waitUntil([&] { return !finished.empty(); });
    full.reset();
    ASSERT_TRUE(stopped) << "the run ends without endRun";

    // Depth images are encoded off the worker's loop, so a few more frame
    // sets may fail before the first failure is known; all are accounted for.
    const SaveRunResult& result = finished.front();
    EXPECT_GE(result.filesFailed, 2u) << "the failed frame set, both halves";
    EXPECT_EQ(result.filesFailed % 2, 0u);
    EXPECT_EQ(result.filesFailed + result.discarded, 8u) << "the four frame sets after the first";
    EXPECT_EQ(result.depthSaved, 1u);
    EXPECT_EQ(filesUnder(session + "/D1/depth"), std::vector<std::string>{timestampAt(1) + ".png"});
    EXPECT_EQ(filesUnder(session + "/D1/color"), filesUnder(session + "/D1/depth")) << "no lone colour image";
    for (const auto& file : filesUnder(session))
        EXPECT_EQ(file.find(".part"), std::string::npos) << file;
}

// The owner's stop ends the open run as the stop button would, and no run begins afterwards.
TEST_F(SaveWorkerRuns, StopWritesTheOpenRunBeforeTheThreadEnds)
{
    startWorker();
    std::vector<SaveRunResult> finished;
    QObject::connect(task_.get(), &SaveWorker::runFinished, task_.get(),
        [&](const SaveRunResult& result) { finished.push_back(result); });
    const uint64_t first = task_->beginRun(true, queues_ = std::make_shared<CaptureQueues>(), RunFolder::newSession());
    ASSERT_NE(first, 0u);
    for (int i = 0; i < 4; ++i)
        pushFrameSet(depthCameraSet(i));
    EXPECT_TRUE(task_->stop());
    ASSERT_TRUE(waitUntil([&] { return finished.size() == 1; }));
    EXPECT_EQ(finished[0].runId, first);
    EXPECT_EQ(finished[0].depthSaved, 4u);
    EXPECT_EQ(task_->beginRun(true, std::make_shared<CaptureQueues>(), RunFolder::newSession()), 0u)
        << "a stopped worker takes no run";
}

// A session's runs all write into its first run's folder; a finished session's folder takes no more runs.
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
    std::vector<uint64_t> dropped;
    QObject::connect(task_.get(), &SaveWorker::runDropped, task_.get(), [&](quint64 run) { dropped.push_back(run); });
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

    // The open run writes a backlog while two runs are posted behind it: the
    // second replaces the first before it began and takes its folder over.
    task_->setWriteImages(false);
    for (int i = 1; i <= 12; ++i)
        pushFrameSet(depthCameraSet(i, 320, 240));
    const uint64_t replaced = post(RunFolder::ofEarlierRun(first));
    const uint64_t replacing = post(RunFolder::ofEarlierRun(replaced));
    EXPECT_EQ(folderOf(replacing), session);

    const uint64_t fresh = post(RunFolder::newSession());
    EXPECT_NE(folderOf(fresh), session);
    // The run named is not the last one that settled a folder (it was
    // replaced, or ran before another session's): never whichever ran last.
    const uint64_t orphan = post(RunFolder::ofEarlierRun(replaced));
    EXPECT_NE(folderOf(orphan), session);
    EXPECT_NE(folderOf(orphan), folders[fresh]);
    // Back or exit while a run waits behind a backlog: it is dropped and says so.
    for (int i = 0; i < 12; ++i)
        pushFrameSet(depthCameraSet(i, 320, 240));
    const uint64_t cancelled = post(RunFolder::ofEarlierRun(orphan));
    pushFrameSet(depthCameraSet(12, 320, 240));
    kavrel::log::LogCapture log;
    task_->cancelPendingRun();
    EXPECT_TRUE(log.contains("was dropped before it began: 1 frame sets")) << "the set it held is told lost";
    ASSERT_TRUE(waitUntil([&] { return dropped.size() >= 2; }));
    EXPECT_EQ(dropped, (std::vector<uint64_t>{replaced, cancelled})) << "every run reports or is dropped, once";
    task_->endRun();
    ASSERT_TRUE(waitUntil([&] { return task_->stats().runsCompleted >= folders.size(); }));
    EXPECT_EQ(folders.count(cancelled), 0u);
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

    // A new session after the finish, finished before its folder was reported:
    // the late report opens nothing, and the next start makes a third folder.
    session.finish();
    session.start();
    ASSERT_TRUE(waitForFoldersOnCard(2));
    session.finish();
    ASSERT_TRUE(waitUntil([&] { return runs.size() == 3; }));
    EXPECT_TRUE(session.openFolder().isEmpty());
    session.start();
    session.stop();
    ASSERT_TRUE(waitUntil([&] { return runs.size() == 4; }));
    EXPECT_NE(runs[3], runs[2]);
    EXPECT_EQ(foldersOnCard(), 3u);
}
