// The capture page on its own, with the simulated depth camera, the real save
// worker and the real ledger: button rules, the single-shot and continuous
// sessions on disk, late results, back and exit.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <optional>

#include <sys/resource.h>
#include <unistd.h>

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <nlohmann/json.hpp>
#include <yaml-cpp/yaml.h>

#include "CameraManager.h"
#include "CaptureSession.h"
#include "CollectionContext.h"
#include "ConfirmationDialog.h"
#include "DataCollectionWidget.h"
#include "DialogScript.h"
#include "FrameQueues.h"
#include "Log.h"
#include "SessionFiles.h"
#include "TaskManager.h"
#include "TestSupport.h"
#include "config_manager.h"
#include "file_manager.h"
#include "ui_DataCollectionWidget.h"

namespace fs = std::filesystem;
using namespace kavrel::test;
using Status = DataCollectionWidget::CollectionStatus;

namespace {

// Generous: sanitizer builds start the simulated camera slowly.
constexpr int kCameraTimeoutMs = 90000;

class CapturePageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        root_ = fs::path(dir_.path().toStdString()) / "card";
        fs::create_directories(root_);
        ledger_ = fs::path(dir_.path().toStdString()) / "file_manager.csv";

        auto& config = config_manager::instance();
        config.resetForTest();
        config.cur_city_ = "SZ";
        config.machine_id_ = "EMP-9527";
        config.camera_config_.capture_freq = 1000;
        config.camera_config_.camera1 = {"Gemini_corlor", 0, 640, 480, 30, 10.0f, "MJPG"};
        config.camera_config_.camera2 = {"Gemini_depeth", 0, 640, 480, 30, 10.0f, "MJPG"};
        config.camera_config_.camera3 = {"usb_camera", 0, 640, 480, 30, 10.0f, "MJPG"};
        config.tag_pairs_ = {{"scratch", "划痕"}, {"stain", "污渍"}, {"crack", "裂纹"}};
        config.selected_tags_ = {"stain"};

        auto& context = CollectionContext::instance();
        context.setStorageRoot(root_.string());
        context.setSessionPaths({}, {}, {});
        file_manager::instance().init(ledger_.string(), root_.string());
    }

    void TearDown() override
    {
        page_.reset();
        // Every test owns its save worker; the next page registers a new one.
        TaskManager::instance().ClearAllTaskThread();
        FrameQueueManager::instance().clearSaveQueues();
    }

    void useMode(const std::string& mode)
    {
        CollectionInfo info;
        info.date = "20250612";
        info.city = "SZ";
        info.scene_name = "厨房";
        info.scene_label = "kitchen";
        info.task_name = "水槽";
        info.task_label = "sink";
        info.part_number = "7";
        info.capture_mode = mode;
        info.devices = "D1";
        info.shot_interval_ms = 100;
        CollectionContext::instance().setCollectionInfo(info);
    }

    // Builds the page and (unless told otherwise) waits until its camera streams.
    void openPage(bool waitForCamera = true)
    {
        page_ = std::make_unique<DataCollectionWidget>();
        page_->resize(1280, 720);
        page_->show();
        if (waitForCamera) {
            ASSERT_TRUE(waitUntil([&] { return page_->depthCameraState() == DataCollectionWidget::CameraState::Live; },
                kCameraTimeoutMs))
                << "simulated camera never streamed";
        }
        // The page re-enables its buttons 200 ms after it is built.
        processEventsFor(300);
    }

    QPushButton* mainButton() { return page_->ui->Btn_MainAction; }
    // A stop is accepted once the start's one-second lock is over.
    void stopWhenAllowed()
    {
        ASSERT_TRUE(waitUntil([&] { return mainButton()->isEnabled(); }, 10000));
        mainButton()->click();
    }
    QPushButton* finishButton() { return page_->ui->Btn_Finish; }
    QPushButton* backButton() { return page_->ui->Btn_BackToInfo; }

    // One snapshot answered by the script; returns once the page is Idle again.
    void snapshot(bool keep, std::vector<std::string> tagLabels = {})
    {
        if (keep) {
            script_.confirm();
            script_.chooseTags(std::move(tagLabels));
        } else {
            script_.decline();
        }
        ASSERT_TRUE(waitUntil([&] { return mainButton()->isEnabled(); }, 15000));
        mainButton()->click();
        ASSERT_EQ(page_->status_, Status::WaitingConfirm);
        ASSERT_TRUE(waitUntil([&] { return page_->status_ == Status::Idle; }, 30000));
    }

    // The snapshot just kept is on the card once the session heard so.
    void waitForQueuesDrained()
    {
        ASSERT_TRUE(waitUntil([&] { return !page_->captureSession()->snapshotWritePending(); }, 30000));
    }

    // The operator notice the page opened (the last one), or null.
    ConfirmationDialog* notice()
    {
        const auto notices = page_->findChildren<ConfirmationDialog*>("noticeDialog");
        return notices.isEmpty() ? nullptr : notices.back();
    }
    QString noticeText()
    {
        ConfirmationDialog* dialog = notice();
        return dialog ? dialog->messageLabel_->text() : QString();
    }

    int ledgerRowsFor(const std::string& name)
    {
        const auto names = ledgerNames(ledger_);
        return static_cast<int>(std::count(names.begin(), names.end(), name));
    }

    std::string relativeToRoot(const fs::path& folder)
    {
        return fs::relative(folder, root_).generic_string();
    }

    QTemporaryDir dir_;
    fs::path root_;
    fs::path ledger_;
    DialogScript script_;
    std::unique_ptr<DataCollectionWidget> page_;
};

TEST_F(CapturePageTest, SingleShotSessionKeepsExactlyTheConfirmedSnapshots)
{
    useMode("single_shot");
    openPage();
    kavrel::log::LogCapture capture;
    QSignalSpy recording(page_.get(), &DataCollectionWidget::signalRecordingStateChanged);

    snapshot(true, {"划痕"});
    waitForQueuesDrained();
    // meta.yaml is there from the start: a power cut still leaves a described session.
    ASSERT_FALSE(CollectionContext::instance().baseSavePath().empty());
    EXPECT_TRUE(fs::exists(fs::path(CollectionContext::instance().baseSavePath()) / "meta.yaml"));
    EXPECT_EQ(page_->capturedCount_, 1);
    EXPECT_TRUE(finishButton()->isEnabled());
    EXPECT_FALSE(backButton()->isEnabled());  // the session folder exists
    // The tags already chosen on the information page are not offered again.
    EXPECT_EQ(script_.lastTagLabelsOffered(), (std::vector<std::string>{"划痕", "裂纹"}));

    snapshot(false);
    EXPECT_EQ(page_->capturedCount_, 1);
    snapshot(true, {"裂纹", "划痕"});
    waitForQueuesDrained();
    EXPECT_EQ(page_->capturedCount_, 2);
    EXPECT_EQ(script_.confirmationsShown(), 3);
    EXPECT_EQ(script_.tagDialogsShown(), 2);

    finishButton()->click();
    ASSERT_TRUE(waitUntil([&] { return capture.contains("Calling add_dir_record with relativePath: "); }, 30000));
    processEventsFor(200);

    const auto sessions = sessionFolders(root_, "D1");
    ASSERT_EQ(sessions.size(), 1u);
    const fs::path session = sessions.front();
    // <date>-<city>-<scene>/<task>/<part>/<session time>
    const std::string rel = relativeToRoot(session);
    EXPECT_EQ(rel.substr(0, 26), "20250612-SZ-kitchen/sink/7");
    EXPECT_EQ(session.filename().string().size(), 15u);

    const auto colour = pngStems(session / "D1" / "color");
    const auto depth = pngStems(session / "D1" / "depth");
    ASSERT_EQ(colour.size(), 2u);
    EXPECT_EQ(colour, depth);  // each colour image has its depth image
    for (const auto& stem : depth)
        EXPECT_EQ(imageDepth(session / "D1" / "depth" / (stem + ".png")), CV_16U);

    const nlohmann::json manifest = nlohmann::json::parse(readFile((session / "manifest.json").string()));
    ASSERT_EQ(manifest.size(), 2u);
    const nlohmann::json& first = manifest[colour[0]];
    EXPECT_EQ(first["files"], nlohmann::json::array({"D1/color/" + colour[0] + ".png", "D1/depth/" + colour[0] + ".png"}));
    EXPECT_EQ(first["tags"], nlohmann::json::array({"scratch"}));
    EXPECT_EQ(manifest[colour[1]]["tags"], nlohmann::json::array({"scratch", "crack"}));

    const YAML::Node meta = YAML::LoadFile((session / "meta.yaml").string());
    std::vector<std::string> keys;
    for (const auto& entry : meta)
        keys.push_back(entry.first.as<std::string>());
    EXPECT_EQ(keys, (std::vector<std::string>{"date", "city", "machine_id", "scene_label", "task_label", "part_number",
                        "session_time", "capture_mode", "session_tags", "device_config", "image_info"}));
    EXPECT_EQ(meta["capture_mode"].as<std::string>(), "single_shot");
    EXPECT_EQ(meta["session_time"].as<std::string>(), session.filename().string());
    ASSERT_EQ(meta["image_info"].size(), 2u);
    EXPECT_EQ(meta["image_info"][0]["color_file"].as<std::string>(), "D1/color/" + colour[0] + ".png");
    EXPECT_EQ(meta["image_info"][0]["depth_file"].as<std::string>(), "D1/depth/" + colour[0] + ".png");
    EXPECT_EQ(meta["image_info"][1]["additional_tags"].size(), 2u);

    const auto imu = fileLines(session / "D1" / "data.json");
    ASSERT_GE(imu.size(), 3u);
    EXPECT_EQ(imu[0], R"({"version":"1.0.0"})");
    EXPECT_NE(imu[1].find("\"accelerometer\""), std::string::npos);

    EXPECT_EQ(ledgerRowsFor(rel), 1);
    EXPECT_EQ(capture.count("Calling add_dir_record with relativePath: "), 1);
    // The session is one recording, from the first snapshot to the finish.
    ASSERT_EQ(recording.count(), 2);
    EXPECT_TRUE(recording[0][0].toBool());
    EXPECT_FALSE(recording[1][0].toBool());
}

TEST_F(CapturePageTest, DeclinedFirstSnapshotKeepsFinishAndBackDisabled)
{
    useMode("single_shot");
    openPage();
    snapshot(false);
    EXPECT_EQ(page_->capturedCount_, 0);
    EXPECT_FALSE(finishButton()->isEnabled());
    EXPECT_FALSE(backButton()->isEnabled());
    EXPECT_TRUE(mainButton()->isEnabled());
    EXPECT_FALSE(page_->isCameraRefreshPaused_);

    // Finish still closes the session although its button is off.
    page_->on_Btn_Finish_clicked();
    EXPECT_FALSE(page_->hasFirstSnapshot_);
    EXPECT_TRUE(CollectionContext::instance().baseSavePath().empty());
    ASSERT_TRUE(waitUntil([&] { return mainButton()->isEnabled(); }, 3000));
    EXPECT_TRUE(backButton()->isEnabled());
    EXPECT_EQ(finishButton()->text(), QString::fromUtf8("结束"));
}

TEST_F(CapturePageTest, ContinuousStartStopTwiceMakesOneFolderAndOneRow)
{
    useMode("continue_shot");
    openPage();
    kavrel::log::LogCapture capture;
    QSignalSpy recording(page_.get(), &DataCollectionWidget::signalRecordingStateChanged);
    EXPECT_EQ(mainButton()->text(), QString::fromUtf8("开始采集"));

    for (int run = 0; run < 2; ++run) {
        ASSERT_TRUE(waitUntil([&] { return mainButton()->isEnabled(); }, 3000));
        mainButton()->click();
        ASSERT_EQ(page_->status_, Status::Collecting);
        EXPECT_EQ(mainButton()->text(), QString::fromUtf8("停止采集"));
        EXPECT_EQ(mainButton()->property("status").toString(), "recording");
        EXPECT_FALSE(backButton()->isVisible());
        processEventsFor(1300);
        const fs::path colourDir = fs::path(CollectionContext::instance().baseSavePath()) / "D1" / "color";
        EXPECT_TRUE(waitUntil([&] { return pngStems(colourDir).size() >= static_cast<size_t>(run + 1); }, 30000));
        stopWhenAllowed();
        ASSERT_EQ(page_->status_, Status::Idle);
        ASSERT_TRUE(waitUntil(
            [&] { return capture.count("Calling add_dir_record with relativePath: ") == run + 1; }, 30000));
        EXPECT_TRUE(finishButton()->isEnabled());
        EXPECT_FALSE(backButton()->isEnabled());
    }
    EXPECT_EQ(capture.count("Reusing existing session folder"), 1);
    ASSERT_EQ(recording.count(), 4);  // start, stop, start, stop
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(recording[i][0].toBool(), i % 2 == 0);
    finishButton()->click();
    processEventsFor(300);
    EXPECT_FALSE(page_->hasStartedCollection);

    const auto sessions = sessionFolders(root_, "D1");
    ASSERT_EQ(sessions.size(), 1u);
    const fs::path session = sessions.front();
    EXPECT_FALSE(fs::exists(session / "manifest.json"));
    EXPECT_FALSE(pngStems(session / "D1" / "color").empty());
    expectDepthPairsColour(session / "D1");

    const YAML::Node meta = YAML::LoadFile((session / "meta.yaml").string());
    EXPECT_FALSE(meta["image_info"]);
    EXPECT_EQ(meta["session_time"].as<std::string>(), session.filename().string());
    ASSERT_EQ(meta["session_tags"].size(), 2u);  // task label, then the page's tags
    EXPECT_EQ(meta["session_tags"][0].as<std::string>(), "sink");
    EXPECT_EQ(meta["session_tags"][1].as<std::string>(), "stain");

    const auto imu = fileLines(session / "D1" / "data.json");
    EXPECT_EQ(std::count(imu.begin(), imu.end(), R"({"version":"1.0.0"})"), 1);
    EXPECT_GE(imu.size(), 5u);  // IMU pairs of both runs

    EXPECT_EQ(capture.count("Calling add_dir_record with relativePath: " + relativeToRoot(session)), 2);
    EXPECT_EQ(ledgerRowsFor(relativeToRoot(session)), 1);
}

TEST_F(CapturePageTest, SecondPressWithinASecondOfAStartIsIgnored)
{
    useMode("continue_record");
    openPage();
    kavrel::log::LogCapture capture;
    mainButton()->click();
    ASSERT_EQ(page_->status_, Status::Collecting);
    EXPECT_FALSE(mainButton()->isEnabled());
    mainButton()->click();  // a disabled button swallows the tap
    page_->on_Btn_MainAction_clicked();  // and the slot refuses it too
    EXPECT_TRUE(capture.contains("Button already disabled, ignoring click"));
    EXPECT_EQ(page_->status_, Status::Collecting);
    EXPECT_TRUE(page_->captureSession()->recording());

    ASSERT_TRUE(waitUntil([&] { return mainButton()->isEnabled(); }, 10000));
    EXPECT_TRUE(capture.contains("Main action button re-enabled after 1 second"));
    mainButton()->click();
    EXPECT_EQ(page_->status_, Status::Idle);
    EXPECT_FALSE(page_->captureSession()->recording());
    EXPECT_TRUE(mainButton()->isEnabled());  // a stop re-enables at once
}

TEST_F(CapturePageTest, BackReleasesTheCamerasAndEnteringAgainRecreatesThem)
{
    useMode("continue_shot");
    openPage();
    kavrel::log::LogCapture capture;
    mainButton()->click();
    processEventsFor(500);

    page_->cleanupResourcesAndPrepareExit();
    EXPECT_EQ(page_->depthCameraManager_, nullptr);
    EXPECT_EQ(page_->depthCameraState(), DataCollectionWidget::CameraState::Off);
    EXPECT_EQ(page_->status_, Status::Idle);
    EXPECT_FALSE(page_->captureSession()->recording());
    EXPECT_FALSE(page_->hasStartedCollection);
    EXPECT_TRUE(CollectionContext::instance().baseSavePath().empty());
    EXPECT_TRUE(backButton()->isEnabled());
    // The run that was in progress still reaches the ledger.
    ASSERT_TRUE(waitUntil([&] { return capture.contains("Calling add_dir_record with relativePath: "); }, 30000));

    // The main window navigates on the page's signal.
    QSignalSpy back(page_.get(), &DataCollectionWidget::signalBackToInformationRequested);
    backButton()->click();
    EXPECT_EQ(back.count(), 1);

    page_->refreshCameraPreview();
    EXPECT_TRUE(capture.contains("refreshCameraPreview reinitialized cameras, reason: manager_missing"));
    ASSERT_NE(page_->depthCameraManager_, nullptr);
    EXPECT_TRUE(waitUntil(
        [&] { return page_->depthCameraState() == DataCollectionWidget::CameraState::Live; }, kCameraTimeoutMs));

    capture.clear();
    page_->refreshCameraPreview();  // same task, same devices: cameras kept
    EXPECT_FALSE(capture.contains("refreshCameraPreview reinitialized cameras"));

    CollectionInfo info = CollectionContext::instance().collectionInfo();
    info.task_label = "tap";
    CollectionContext::instance().setCollectionInfo(info);
    page_->refreshCameraPreview();
    EXPECT_TRUE(capture.contains("refreshCameraPreview reinitialized cameras, reason: device_or_scene_changed"));
}

TEST_F(CapturePageTest, ResultAfterFinishIsRecordedUnderTheReportedPath)
{
    useMode("single_shot");
    openPage(false);
    kavrel::log::LogCapture capture;
    const fs::path late = root_ / "20250612-SZ-kitchen" / "sink" / "7" / "20250612_101010";
    fs::create_directories(late / "D1" / "color");
    writeFile((late / "D1" / "color" / "x.png").string(), "12345");
    ASSERT_TRUE(CollectionContext::instance().baseSavePath().empty());

    page_->slot_ReceiveDataSaveWork(QVariant(QString::fromStdString(late.string())));
    EXPECT_TRUE(capture.contains("BaseSavePath_ is empty, using curFilePath: " + late.string()));
    EXPECT_TRUE(capture.contains("Extracted relative path from BaseSavePath_: 20250612-SZ-kitchen/sink/7/20250612_101010"));
    EXPECT_EQ(ledgerRowsFor("20250612-SZ-kitchen/sink/7/20250612_101010"), 1);
    // A closed session's meta takes its time from the reported folder.
    const YAML::Node meta = YAML::LoadFile((late / "meta.yaml").string());
    EXPECT_EQ(meta["session_time"].as<std::string>(), "20250612_101010");
    EXPECT_FALSE(meta["image_info"]);
    EXPECT_TRUE(capture.contains("Manifest not found at: "));
}

TEST_F(CapturePageTest, RelativePathFallsBackToTheLastTwoComponents)
{
    useMode("continue_shot");
    openPage(false);
    kavrel::log::LogCapture capture;
    QTemporaryDir elsewhere;  // not below the storage root
    const fs::path folder = fs::path(elsewhere.path().toStdString()) / "task" / "20250612_101010";
    fs::create_directories(folder);
    page_->slot_ReceiveDataSaveWork(QVariant(QString::fromStdString(folder.string())));
    EXPECT_TRUE(capture.contains("Extracted relative path from path structure: task/20250612_101010"));
    EXPECT_TRUE(fs::exists(folder / "meta.yaml"));
}

TEST_F(CapturePageTest, ButtonLooksFollowTheMode)
{
    useMode("single_shot");
    openPage(false);
    EXPECT_EQ(mainButton()->text(), QString::fromUtf8("同步拍照"));
    EXPECT_EQ(mainButton()->property("mode").toString(), "single_shot");
    EXPECT_EQ(page_->ui->label_GeminiTitle->text(), "ORBBEC GEMINI 2");
    EXPECT_EQ(backButton()->text(), "<");
    EXPECT_EQ(finishButton()->text(), QString::fromUtf8("结束"));
    EXPECT_FALSE(finishButton()->isEnabled());
    EXPECT_TRUE(backButton()->isEnabled());

    useMode("continuous_shot");
    page_->setCollectionStatus(Status::Idle);
    EXPECT_EQ(mainButton()->property("mode").toString(), "continuous");
    EXPECT_EQ(mainButton()->property("status").toString(), "idle");
    EXPECT_EQ(mainButton()->text(), QString::fromUtf8("开始采集"));
}

} // namespace

namespace {

TEST_F(CapturePageTest, AbsentCameraIsNeverShownLiveAndASnapshotStillAsks)
{
    ScopedEnv absent("KAVREL_SIM_CAMERA_ABSENT", std::string("always"));
    useMode("single_shot");
    openPage(false);
    kavrel::log::LogCapture capture;
    EXPECT_EQ(page_->depthCameraState(), DataCollectionWidget::CameraState::Connecting);
    ASSERT_TRUE(waitUntil(
        [&] { return page_->depthCameraState() == DataCollectionWidget::CameraState::NotResponding; }, 15000));

    snapshot(false);
    EXPECT_TRUE(capture.contains("No frame arrived for this snapshot within "));
    EXPECT_EQ(script_.confirmationsShown(), 1);
}

} // namespace

namespace {

TEST_F(CapturePageTest, FinishFollowedQuicklyByANewRunLeavesTheNewRunAlone)
{
    useMode("continue_shot");
    openPage();
    mainButton()->click();
    processEventsFor(1100);
    stopWhenAllowed();
    ASSERT_TRUE(waitUntil([&] { return finishButton()->isEnabled(); }, 30000));
    finishButton()->click();
    // Back and in again at once, then a new run inside the finish's second.
    page_->cleanupResourcesAndPrepareExit();
    page_->refreshCameraPreview();
    ASSERT_TRUE(mainButton()->isEnabled());
    mainButton()->click();
    ASSERT_EQ(page_->status_, Status::Collecting);
    processEventsFor(1200);
    EXPECT_EQ(page_->status_, Status::Collecting);
    EXPECT_TRUE(page_->captureSession()->recording());
    EXPECT_EQ(finishButton()->text(), QString::fromUtf8("结束"));
}

} // namespace

namespace {

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
        useMode("continue_shot");
        config_manager::instance().min_free_mb_ = c.card == Card::Full ? (1 << 29) : 1;
        const fs::path storage = c.card == Card::Missing ? root_ / "unplugged" : root_;
        CollectionContext::instance().setStorageRoot(storage.string());
        if (c.card == Card::ReadOnly)
            fs::permissions(root_, fs::perms::owner_read | fs::perms::owner_exec);
        openPage();
        QSignalSpy recording(page_.get(), &DataCollectionWidget::signalRecordingStateChanged);
        kavrel::log::LogCapture capture;
        mainButton()->click();
        fs::permissions(root_, fs::perms::owner_all);
        EXPECT_EQ(page_->status_, Status::Idle);
        EXPECT_TRUE(noticeText().contains(QString::fromUtf8(c.says))) << noticeText().toStdString();
        if (c.card != Card::Full) {
            EXPECT_TRUE(noticeText().contains(QString::fromStdString(storage.string()))) << "the dialog names the folder";
        }
        EXPECT_TRUE(capture.contains("Capture refused: "));
        EXPECT_EQ(recording.count(), 0);
        // The camera goes on streaming; none of it is queued for saving.
        const int seen = page_->depthCameraManager_->colorFrameCount.load();
        ASSERT_TRUE(waitUntil([&] { return page_->depthCameraManager_->colorFrameCount.load() > seen + 15; }, 10000));
        EXPECT_EQ(FrameQueueManager::instance().depthQueue.size(), 0u);
        EXPECT_EQ(FrameQueueManager::instance().imuQueue.size(), 0u);
        EXPECT_TRUE(sessionFolders(root_, "D1").empty());
        notice()->confirmButton_->click();
        page_.reset();
        TaskManager::instance().ClearAllTaskThread();
        CollectionContext::instance().setStorageRoot(root_.string());
    }
}

TEST_F(CapturePageTest, AWriteFailureStopsTheRunKeepsPairsAndTheFinishSaysSo)
{
    useMode("continue_record");
    openPage();
    mainButton()->click();
    ASSERT_TRUE(waitUntil([&] { return !CollectionContext::instance().baseSavePath().empty(); }, 10000));
    const fs::path session = CollectionContext::instance().baseSavePath();
    ASSERT_TRUE(waitUntil([&] { return pngStems(session / "D1" / "depth").size() >= 2; }, 30000));

    rlimit previous{};
    getrlimit(RLIMIT_FSIZE, &previous);
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit full = previous;
    full.rlim_cur = 20000;  // no image fits any more: the card is full
    setrlimit(RLIMIT_FSIZE, &full);
    const bool stopped = waitUntil([&] { return page_->status_ == Status::Idle; }, 30000);
    const bool reported = waitUntil([&] { return noticeText().contains(QString::fromUtf8("保存失败")); }, 30000);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);
    ASSERT_TRUE(stopped) << "the run stops by itself";
    ASSERT_TRUE(reported);
    EXPECT_TRUE(noticeText().contains(QString::fromUtf8(" 个文件未写入")));
    EXPECT_FALSE(page_->captureSession()->recording());
    expectDepthPairsColour(session / "D1");
    EXPECT_TRUE(fs::exists(session / "meta.yaml"));
    EXPECT_EQ(ledgerRowsFor(relativeToRoot(session)), 1);

    notice()->confirmButton_->click();
    ASSERT_TRUE(waitUntil([&] { return finishButton()->isEnabled(); }, 5000));
    finishButton()->click();
    EXPECT_TRUE(finishButton()->text().startsWith(QString::fromUtf8("保存失败: "))) << "not 打包完成";
}

TEST_F(CapturePageTest, ARecordingStopsWhenTheCardFillsOrTheCameraIsLost)
{
    struct Case {
        const char* name;
        bool cameraLost;
        const char* says;
    };
    for (const Case& c : {Case{"free space below the floor", false, "剩余空间不足"},
             Case{"camera unplugged", true, "相机连接中断"}}) {
        SCOPED_TRACE(c.name);
        std::optional<ScopedEnv> unplug;
        if (c.cameraLost)
            unplug.emplace("KAVREL_SIM_DISCONNECT_AFTER", std::string("60"));
        useMode("continue_record");
        config_manager::instance().min_free_mb_ = 1;
        openPage();
        mainButton()->click();
        ASSERT_EQ(page_->status_, Status::Collecting);
        ASSERT_TRUE(waitUntil([&] { return !CollectionContext::instance().baseSavePath().empty(); }, 10000));
        const fs::path session = CollectionContext::instance().baseSavePath();
        if (!c.cameraLost)
            config_manager::instance().min_free_mb_ = 1 << 30;  // the card is now "full"
        ASSERT_TRUE(waitUntil([&] { return page_->status_ == Status::Idle; }, 30000));
        EXPECT_TRUE(noticeText().contains(QString::fromUtf8(c.says))) << noticeText().toStdString();
        if (c.cameraLost) {
            EXPECT_EQ(page_->ui->label_GeminiStatus->text(), QString::fromUtf8("● 无响应")) << "the badge says so";
        }
        // A clean end: the run's folder is complete and recorded.
        ASSERT_TRUE(waitUntil([&] { return ledgerRowsFor(relativeToRoot(session)) == 1; }, 30000));
        EXPECT_TRUE(fs::exists(session / "meta.yaml"));
        expectDepthPairsColour(session / "D1");
        if (c.cameraLost) {
            unplug.reset();  // plugged in again
            EXPECT_TRUE(waitUntil(
                [&] { return page_->depthCameraState() == DataCollectionWidget::CameraState::Live; }, 30000))
                << "the preview returns without leaving the page";
            page_->cleanupResourcesAndPrepareExit();
            EXPECT_EQ(page_->ui->label_GeminiStatus->text(), QString::fromUtf8("未连接"));
        }
        notice()->confirmButton_->click();
        page_.reset();
        TaskManager::instance().ClearAllTaskThread();
        config_manager::instance().min_free_mb_ = 0;
    }
}

TEST_F(CapturePageTest, ASoilTaskShowsBothPreviewsAndTheStatusLineCounts)
{
    useMode("continue_record");
    auto& config = config_manager::instance();
    config.camera_config_.camera3 = {"No Such USB Camera", 1, 320, 240, 30, 10.0f, "MJPG"};
    CollectionInfo info = CollectionContext::instance().collectionInfo();
    info.task_label = "soil_collection";
    CollectionContext::instance().setCollectionInfo(info);
    openPage();
    page_->refreshCameraPreview();
    EXPECT_EQ(page_->ui->stackedWidget_Previews->currentWidget(), page_->ui->page_DirtyPreview);
    EXPECT_NE(page_->usbCameraManager_, nullptr);
    EXPECT_EQ(page_->ui->label_GeminiStatus_Dirty->text(), QString::fromUtf8("● 实时")) << "each preview has its badge";
    EXPECT_NE(page_->ui->label_UsbStatus->text(), QString::fromUtf8("● 实时")) << "no USB camera here";

    mainButton()->click();
    page_->updateRecordingStatus();
    const QString status = page_->ui->label_RecordingStatus->text();
    for (const char* part : {"已保存 0 组", "丢弃 0", "剩余 "})
        EXPECT_TRUE(status.contains(QString::fromUtf8(part))) << status.toStdString();
}

} // namespace

