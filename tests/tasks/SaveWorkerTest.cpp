#include <ctime>
#include <optional>

#include <QCoreApplication>
#include <nlohmann/json.hpp>

#include "FileSizeLimit.h"
#include "Log.h"
#include "SaveTestSupport.h"
#include "SessionCheck.h"
#include "session_meta.h"

using namespace save_test;
using kavrel::test::readFile;
using kavrel::test::waitUntil;
using json = nlohmann::json;

namespace {

// Pushes one frame set of the depth camera (colour + aligned depth) and
// returns the colour image's bytes.
std::vector<uint8_t> pushFrameSet(int index, int width = 64, int height = 36)
{
    auto& queues = FrameQueueManager::instance();
    std::vector<uint8_t> colour = jpegBytes(width, height, index);
    EXPECT_TRUE(queues.depthMjpegQueue.push(recordFromBytes(colour, timestampAt(index))));
    EXPECT_TRUE(queues.depthQueue.push(depthRecord(width, height, timestampAt(index))));
    return colour;
}

void pushImu(int first, int count)
{
    for (int i = first; i < first + count; ++i)
        ASSERT_TRUE(FrameQueueManager::instance().imuQueue.push(imuRecord(imuText(i))));
}

} // namespace

class SaveWorker : public SaveFixture {
protected:
    void continuousStartStopTwice(const char* mode);
};

// "continuous_shot" (the information page's manual choice) is continuous for
// the worker, meta.yaml and the checker alike.
TEST_F(SaveWorker, ContinuousStartStopTwiceFillsOneSessionFolder)
{
    for (const char* mode : {"continue_record", "continuous_shot"}) {
        SCOPED_TRACE(mode);
        continuousStartStopTwice(mode);
        stopWorker();
        resetShared();
        fs::remove_all(root_);
        results_.clear();
        resultThreads_.clear();
        SetUp();
    }
}

void SaveWorker::continuousStartStopTwice(const char* mode)
{
    setMode(mode, "D1,D2");
    startWorker();
    std::vector<std::vector<uint8_t>> colours;
    for (int run = 0; run < 2; ++run) {
        // When the last run has not quite returned, this one runs right after it.
        task_->beginRun(true);
        for (int i = 0; i < 5; ++i) {
            colours.push_back(pushFrameSet(run * 100 + i));
            pushImu(run * 1000 + i * 8, 8);
        }
        // Stop: frames still queued at this moment belong to the run.
        task_->endRun();
        ASSERT_TRUE(waitForResults(run + 1));
    }

    EXPECT_EQ(results_[0], results_[1]) << "both runs report the same session folder";
    EXPECT_EQ(filesUnder(results_[0] + "/D1/color").size(), 10u);
    EXPECT_EQ(filesUnder(results_[0] + "/D1/depth").size(), 10u);
    for (const auto& file : filesUnder(root_)) {
        EXPECT_EQ(file.find(".part"), std::string::npos) << file;
        EXPECT_EQ(file.find("manifest.json"), std::string::npos) << "no manifest in continuous recording";
    }
    EXPECT_TRUE(fs::is_directory(results_[0] + "/D2/depth")) << "every device gets its folders";
    EXPECT_EQ(readFile(results_[0] + "/D1/color/" + timestampAt(103) + ".png"),
        std::string(colours[8].begin(), colours[8].end()))
        << "colour images are the camera's bytes";

    const auto data = lines(readFile(results_[0] + "/D1/data.json"));
    ASSERT_EQ(data.size(), 1u + 2 * 80);
    EXPECT_EQ(data[0], R"({"version":"1.0.0"})");
    EXPECT_EQ(data[1], R"({"sensor":{"type":"accelerometer","values":[0.01,-9.79,0.5]},"time":1718201415.0})");
    EXPECT_EQ(data[2], R"({"sensor":{"type":"gyroscope","values":[0.0,0.002,-0.001]},"time":1718201415.0})");
    double last = 0;
    for (size_t i = 1; i < data.size(); ++i) {
        const double time = json::parse(data[i])["time"].get<double>();
        EXPECT_GE(time, last) << "entries of both runs in order";
        last = time;
    }
    EXPECT_EQ(task_->stats().imuSamplesSaved, 80u);
    for (QThread* thread : resultThreads_)
        EXPECT_EQ(thread, QCoreApplication::instance()->thread()) << "the result arrives on the GUI thread";

    ASSERT_TRUE(session_meta::writeSessionMeta(results_[0] + "/meta.yaml", results_[0], {}, nullptr));
    const session_check::SessionReport report = session_check::checkSession(results_[0]);
    EXPECT_EQ(report.captureMode, mode);
    for (const auto& problem : report.problems)
        EXPECT_NE(problem.file, "manifest.json") << "the checker expects no manifest: " << problem.detail;
}

TEST_F(SaveWorker, SingleShotSessionListsEverySnapshotWithItsTags)
{
    setMode("single_shot", "D1");
    startWorker();
    auto& context = CollectionContext::instance();
    auto& queues = FrameQueueManager::instance();

    // First press: the worker opens the session; nothing is kept before a confirmation.
    ASSERT_TRUE(task_->beginRun(false));
    ASSERT_TRUE(waitUntil([&] { return !context.baseSavePath().empty(); }));
    const std::string session = context.baseSavePath();

    for (int shot = 0; shot < 3; ++shot) {
        task_->setWriteImages(false);
        queues.clearSaveQueues();
        pushFrameSet(shot);
        pushImu(shot, 1);  // drained on every pass: once it is gone, the worker has looked
        ASSERT_TRUE(waitUntil([&] { return queues.imuQueue.size() == 0; }));
        EXPECT_EQ(queues.depthQueue.size(), 1u) << "not taken before the confirmation";
        context.setAdditionalTags({"tag" + std::to_string(shot), "common"});
        task_->setWriteImages(true);
        ASSERT_TRUE(waitForEmptySaveQueues());
        if (shot == 0) {
            EXPECT_TRUE(waitUntil([&] { return fs::exists(session + "/manifest.json"); }))
                << "the manifest follows the saved snapshots during the session";
        }
    }
    task_->endRun();
    ASSERT_TRUE(waitForResults(1));
    EXPECT_EQ(results_[0], session);

    std::string expected = "{";
    for (int shot = 0; shot < 3; ++shot) {
        const std::string t = timestampAt(shot);
        expected += std::string(shot ? "," : "") + "\n  \"" + t + "\": {\n    \"files\": [\n      \"D1/color/" + t
            + ".png\",\n      \"D1/depth/" + t + ".png\"\n    ],\n    \"tags\": [\n      \"tag" + std::to_string(shot)
            + "\",\n      \"common\"\n    ]\n  }";
    }
    expected += "\n}";
    EXPECT_EQ(readFile(session + "/manifest.json"), expected);
    EXPECT_FALSE(fs::exists(session + "/manifest.json.part")) << "rewritten through a renamed temporary file";
}

TEST_F(SaveWorker, UsbColourIsListedUnderItsCaptureIdAndDepthSizeIsRecoveredFromTheByteCount)
{
    setMode("single_shot", "D1");
    startWorker();
    auto& queues = FrameQueueManager::instance();
    ASSERT_TRUE(task_->beginRun(true));
    pushFrameSet(7);
    FrameData usb = recordFromBytes(jpegBytes(32, 16, 3), timestampAt(8));
    usb.capture_id = "token-1";
    ASSERT_TRUE(queues.usbMjpegQueue.push(std::move(usb)));
    ASSERT_TRUE(queues.depthQueue.push(depthRecord(1280, 720, timestampAt(1), 640, 480)));
    ASSERT_TRUE(queues.depthQueue.push(depthRecord(640, 480, timestampAt(2), 0, 0)));
    task_->endRun();
    ASSERT_TRUE(waitForResults(1));

    const json manifest = json::parse(readFile(results_[0] + "/manifest.json"));
    EXPECT_EQ(manifest["token-1"]["files"], json::array({"D1/color/" + timestampAt(8) + ".png"}))
        << "a capture id, when present, is the manifest key";
    EXPECT_EQ(manifest[timestampAt(7)]["files"].size(), 2u);
    const cv::Mat wide = cv::imread(results_[0] + "/D1/depth/" + timestampAt(1) + ".png", cv::IMREAD_UNCHANGED);
    ASSERT_EQ(wide.cols, 1280);
    ASSERT_EQ(wide.rows, 720);
    EXPECT_EQ(wide.at<uint16_t>(700, 1200), 500 + 1200 + 3 * 700) << "pixels keep their places";
    const cv::Mat vga = cv::imread(results_[0] + "/D1/depth/" + timestampAt(2) + ".png", cv::IMREAD_UNCHANGED);
    EXPECT_EQ(vga.cols, 640);
    EXPECT_EQ(vga.rows, 480);
}

TEST_F(SaveWorker, ImuTimesFallBackToTheRecordTimestampAndBadPayloadsAreSkipped)
{
    // Local time on summer time: 14:30:15 in central Europe is 12:30:15 UTC.
    struct SummerTime {
        std::optional<kavrel::test::ScopedEnv> tz;
        SummerTime()
        {
            tz.emplace("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
            tzset();
        }
        ~SummerTime()
        {
            tz.reset();
            tzset();
        }
    };
    const auto zone = std::make_unique<SummerTime>();
    startWorker();
    kavrel::log::LogCapture capture;
    auto& queues = FrameQueueManager::instance();
    ASSERT_TRUE(task_->beginRun(false));
    ASSERT_TRUE(queues.imuQueue.push(imuRecord("not json at all")));
    ASSERT_TRUE(queues.imuQueue.push(imuRecord(R"({"Accel":{"x":1,"y":2},"Gyro":{"x":4,"y":5,"z":6}})")));
    ASSERT_TRUE(queues.imuQueue.push(imuRecord(imuText(0, false), "20250612143015123")));
    ASSERT_TRUE(queues.imuQueue.push(imuRecord(R"({"Accel":{"x":1,"y":2,"z":3},"Gyro":{"x":4,"y":5,"z":6},"timestamp_us":1500000})")));
    FrameData empty;
    empty.timestamp = "x";
    ASSERT_TRUE(queues.imuQueue.push(std::move(empty)));
    task_->endRun();
    ASSERT_TRUE(waitForResults(1));

    const double expected = 1749731415.123;

    const auto data = lines(readFile(results_[0] + "/D1/data.json"));
    ASSERT_EQ(data.size(), 5u) << "version line and two entries for each good sample";
    const json accel = json::parse(data[1]);
    EXPECT_DOUBLE_EQ(accel["time"].get<double>(), expected);
    EXPECT_EQ(accel["sensor"]["values"], json::array({1.0, 2.0, 3.0}));
    EXPECT_TRUE(accel["sensor"]["values"][0].is_number_float()) << "values are stored as floating point";
    EXPECT_DOUBLE_EQ(json::parse(data[3])["time"].get<double>(), 1.5);
    EXPECT_EQ(task_->stats().imuRecordsSkipped, 3u);
    EXPECT_TRUE(capture.contains("Skipping malformed IMU record"));
    EXPECT_TRUE(capture.contains("Skipped 3 malformed IMU records in this run"));
    stopWorker();  // before the zone goes back: nothing may read it meanwhile
}

TEST_F(SaveWorker, ImuSamplesAreDrainedAtOnceAndReachTheCardWhileTheRunGoesOn)
{
    // 450 samples waiting (over two seconds of the IMU's 200 Hz): a worker
    // that took one record per 10 ms pass would need 4.5 s, while the IMU
    // kept adding 200 a second to a queue that holds 500.
    startWorker();
    auto& queues = FrameQueueManager::instance();
    ASSERT_TRUE(task_->beginRun(false));
    ASSERT_TRUE(waitUntil([&] { return !sessionPath().empty(); }));
    for (int i = 0; i < 450; ++i)
        ASSERT_TRUE(queues.imuQueue.push(imuRecord(imuText(i))));
    EXPECT_TRUE(waitUntil([&] { return queues.imuQueue.size() == 0; }, 2000)) << queues.imuQueue.size() << " left";
    const std::string file = sessionPath() + "/D1/data.json";
    EXPECT_TRUE(waitUntil([&] { return lines(readFile(file)).size() == 1u + 2 * 450; }, 3000))
        << "a crash now would lose at most the last second";
    EXPECT_TRUE(waitUntil([&] { return task_->stats().imuSamplesWritten == 450; }, 2000))
        << "the live count the status line shows";
    {
        std::lock_guard lock(CollectionContext::instance().imu_mutex);
        EXPECT_TRUE(CollectionContext::instance().imu_entries.is_null()) << "entries do not pile up in memory";
    }
    task_->endRun();
    ASSERT_TRUE(waitForResults(1));
    EXPECT_EQ(lines(readFile(results_[0] + "/D1/data.json")).size(), 1u + 2 * 450);
}

TEST_F(SaveWorker, HostileLabelsAndDeviceNamesStayInsideTheStorageRoot)
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
    ASSERT_TRUE(task_->beginRun(true));
    auto& queues = FrameQueueManager::instance();
    ASSERT_TRUE(queues.depthMjpegQueue.push(recordFromBytes(jpegBytes(16, 16, 1), "../../../escaped")));
    ASSERT_TRUE(queues.depthQueue.push(depthRecord(16, 16, "../../../escaped")));
    pushImu(0, 3);
    task_->endRun();
    ASSERT_TRUE(waitForResults(1));

    for (const auto& entry : fs::directory_iterator(dir_.path().toStdString()))
        EXPECT_EQ(entry.path().filename(), "card") << "nothing written beside the storage root";
    const std::string canonicalRoot = fs::canonical(root_).string() + "/";
    for (const auto& entry : fs::recursive_directory_iterator(root_))
        EXPECT_EQ(fs::canonical(entry.path()).string().rfind(canonicalRoot, 0), 0u) << entry.path();
    EXPECT_TRUE(fs::exists(results_[0] + "/unknown/color/_.._.._escaped.png")) << "the first device is '..' made safe";
    EXPECT_TRUE(fs::exists(results_[0] + "/unknown/data.json"));
    EXPECT_TRUE(fs::is_directory(results_[0] + "/_tmp/depth"));
}

TEST_F(SaveWorker, SessionsWithoutAKeptSnapshotGetTheirOwnFolderAndANullManifest)
{
    setMode("single_shot", "D1");
    startWorker();
    for (int run = 0; run < 2; ++run) {
        CollectionContext::instance().setSessionPaths("", "", "");  // finish between the sessions
        task_->beginRun(false);
        ASSERT_TRUE(waitUntil([&] { return !sessionPath().empty(); }));
        pushFrameSet(run);
        FrameQueueManager::instance().clearSaveQueues();  // the operator declined
        task_->endRun();
        ASSERT_TRUE(waitForResults(run + 1));
        EXPECT_EQ(readFile(results_[run] + "/manifest.json"), "null");
        EXPECT_TRUE(filesUnder(results_[run] + "/D1").empty());
    }
    // Both sessions may start within one second; they still get two folders.
    EXPECT_NE(results_[0], results_[1]);
}

TEST_F(SaveWorker, AnUnwritableStorageRootEndsTheJobWithoutAResult)
{
    const std::string blocked = root_ + "/not-a-folder";
    kavrel::test::writeFile(blocked, "x");
    CollectionContext::instance().setStorageRoot(blocked);
    kavrel::log::LogCapture capture;
    startWorker();
    QString failedFolder;
    QObject::connect(task_.get(), &TaskSaveWork::sessionFolderFailed, task_.get(),
        [&](const QString& folder, const QString&) { failedFolder = folder; });
    ASSERT_TRUE(task_->beginRun(true));
    ASSERT_TRUE(waitUntil([&] { return !failedFolder.isEmpty(); })) << "the session is told the folder failed";
    EXPECT_TRUE(capture.contains("Failed to create directories: "));
    EXPECT_TRUE(capture.contains("Failed to create directories for session: "));
    EXPECT_EQ(failedFolder.toStdString().rfind(blocked + "/", 0), 0u);
    ASSERT_TRUE(waitUntil([&] { return !task_->hasTask_.load(); })) << "the job ended at once";
    EXPECT_TRUE(results_.empty());
}

// A failed write ends the run by itself: what is on the card stays whole and
// paired, what was still queued is discarded, and the result counts it.
TEST_F(SaveWorker, AFailedWriteStopsTheRunAndKeepsEveryPairWhole)
{
    enum class Fault { CardFullAtColour, CardFullAtDepth, ColourFolderGone };
    for (const Fault fault : {Fault::CardFullAtColour, Fault::CardFullAtDepth, Fault::ColourFolderGone}) {
        SCOPED_TRACE(static_cast<int>(fault));
        SetUp();
        setMode("continue_record", "D1");
        startWorker();
        std::vector<SaveRunResult> finished;
        QObject::connect(task_.get(), &TaskSaveWork::runFinished, task_.get(),
            [&](const SaveRunResult& result) { finished.push_back(result); });
        ASSERT_TRUE(task_->beginRun(true));
        ASSERT_TRUE(waitUntil([&] { return fs::exists(sessionPath() + "/D1/depth"); }));
        const std::string session = sessionPath();
        pushFrameSet(1);
        ASSERT_TRUE(waitUntil([&] { return task_->stats().depthImagesSaved == 1; }));

        // Four more frame sets wait while the card fails.
        task_->setWriteImages(false);
        auto& queues = FrameQueueManager::instance();
        for (int i = 2; i < 6; ++i) {
            if (fault == Fault::CardFullAtDepth) {
                // A small colour image that fits, a noisy depth image that does not.
                ASSERT_TRUE(queues.depthMjpegQueue.push(recordFromBytes(jpegBytes(16, 16, i), timestampAt(i))));
                cv::Mat noise(240, 320, CV_16UC1);
                cv::randu(noise, 0, 65535);
                FrameData depth = recordFromBytes(std::vector<uint8_t>(noise.datastart, noise.dataend), timestampAt(i));
                depth.width = 320;
                depth.height = 240;
                ASSERT_TRUE(queues.depthQueue.push(std::move(depth)));
            } else {
                pushFrameSet(i, 320, 240);
            }
        }
        std::optional<kavrel::test::FileSizeLimit> full;
        if (fault == Fault::ColourFolderGone) {
            fs::remove_all(session + "/D1/color");
            kavrel::test::writeFile(session + "/D1/color", "");
        } else {
            full.emplace(20000);  // larger files cannot be written: the card is full
        }
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
        EXPECT_FALSE(result.failure.isEmpty());
        EXPECT_EQ(result.colourSaved, 1u);
        EXPECT_EQ(result.depthSaved, 1u);
        EXPECT_EQ(filesUnder(session + "/D1/depth"), std::vector<std::string>{timestampAt(1) + ".png"});
        if (fault != Fault::ColourFolderGone) {
            EXPECT_EQ(filesUnder(session + "/D1/color"), filesUnder(session + "/D1/depth"))
                << "no image without its partner";
        }
        for (const auto& file : filesUnder(session))
            EXPECT_EQ(file.find(".part"), std::string::npos) << file;
        stopWorker();
    }
}
