// The depth camera against the simulated camera: each mode, absent, unplugged, flooded, destroyed.

#include <atomic>
#include <chrono>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <libobsensor/ObSensor.hpp>
#include <obsdk_sim/SimControl.h>

#include "CameraConfig.h"
#include "DepthCamera.h"
#include "FrameQueues.h"
#include "Log.h"
#include "TestSupport.h"

using kavrel::log::LogCapture;
using kavrel::test::ScopedEnv;
using kavrel::test::waitUntil;

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;

// Lets tests call the SDK-thread entry points and hold the frame-set lock.
class ProbeCamera : public DepthCamera {
public:
    using DepthCamera::onAlignedFrameSet;
    using DepthCamera::frameMutex_;
    using DepthCamera::trigger_;
    using DepthCamera::continuousFrameSets_;
};

class DepthCameraTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        obsim::resetFaults();
        policy_->attach(queues_);
    }

    void TearDown() override
    {
        manager_.reset();
        obsim::resetFaults();
    }

    // Colour (unless left out) and depth at kWidth x kHeight.
    void start(int fps = 30, bool colour = true)
    {
        std::vector<CameraConfig> requests{{camera_stream::kDepth, camera_format::kY16, kWidth, kHeight, fps}};
        if (colour)
            requests.insert(requests.begin(), {camera_stream::kColor, camera_format::kMJPG, kWidth, kHeight, fps});
        manager_ = std::make_unique<ProbeCamera>();
        CameraCallbacks callbacks;
        callbacks.frameReady = [this] { ++renders_; };
        callbacks.status = [this](bool ok) { (ok ? streaming_ : stopped_) = true; };
        manager_->start("Gemini_corlor", requests, std::move(callbacks), policy_);
    }

    // At least `count` aligned frame sets handled since the start.
    bool waitForFrameSets(int count, int timeoutMs = 8000)
    {
        return waitUntil([&] { return manager_->colourFrames() >= count; }, timeoutMs);
    }

    template <typename T>
    static std::vector<T> drain(BoundedQueue<T>& queue)
    {
        std::vector<T> items;
        while (auto item = queue.pop())
            items.push_back(std::move(*item));
        return items;
    }

    // A fresh run's queues, as the capture session attaches them at a start.
    void newRun()
    {
        queues_ = std::make_shared<CaptureQueues>();
        policy_->attach(queues_);
        policy_->resetCounts();
    }

    std::shared_ptr<CapturePolicy> policy_ = std::make_shared<CapturePolicy>();
    std::shared_ptr<CaptureQueues> queues_ = std::make_shared<CaptureQueues>();
    std::unique_ptr<ProbeCamera> manager_;
    std::atomic<int> renders_{0};
    std::atomic<bool> streaming_{false};
    std::atomic<bool> stopped_{false};
};

} // namespace

// One frame set per burst of requests; soil collection keeps no motion data.
TEST_F(DepthCameraTest, SingleShotAndSoilSaveOneColourAndDepthPairPerRequestBurst)
{
    for (bool soil : {false, true}) {
        SCOPED_TRACE(soil ? "soil collection" : "single shot");
        newRun();
        policy_->onRequest = true;
        policy_->soil = soil;
        policy_->saving = true;
        policy_->requestSnapshot();  // made before the stream starts: not this camera's
        start();
        ASSERT_TRUE(waitForFrameSets(8)) << "the simulated camera streams";
        EXPECT_EQ(queues_->depthSets().size(), 0u) << "no new request, nothing saved";

        uint64_t id = 0;
        {
            // Two requests that surely land between the same two frame sets.
            std::lock_guard<std::mutex> lock(manager_->frameMutex_);
            policy_->requestSnapshot();
            id = policy_->requestSnapshot();
        }
        ASSERT_TRUE(waitUntil([&] { return queues_->depthSets().size() >= 1; }, 5000));
        ASSERT_TRUE(waitForFrameSets(manager_->colourFrames() + 6));
        auto sets = drain(queues_->depthSets());
        ASSERT_EQ(sets.size(), 1u) << "two requests between frame sets make one capture";
        EXPECT_EQ(sets[0].snapshotId, id) << "the set answers the latest request";
        EXPECT_EQ(sets[0].depth.size, static_cast<uint64_t>(kWidth) * kHeight * 2) << "Y16 as delivered";
        EXPECT_EQ(queues_->imu().size() == 0, soil);
        manager_.reset();
    }
}

// Every stride-th frame set while saving, colour and depth of a set together.
TEST_F(DepthCameraTest, ContinuousRunsKeepEveryStrideThFrameSet)
{
    policy_->stride = 30;
    policy_->saving = true;
    start();
    ASSERT_TRUE(waitForFrameSets(75, 60000));  // sanitizer builds render a few frames a second
    policy_->saving = false;  // freeze the count
    int32_t counted = 0;
    {
        std::lock_guard<std::mutex> lock(manager_->frameMutex_);
        counted = manager_->continuousFrameSets_;
    }
    const auto expected = static_cast<uint32_t>(counted / 30);
    EXPECT_GE(expected, 2u);
    EXPECT_EQ(policy_->depth.queued.load(), expected) << "what was queued is counted";
    auto sets = drain(queues_->depthSets());
    ASSERT_EQ(sets.size(), expected);
    for (size_t i = 1; i < sets.size(); ++i) {
        EXPECT_TRUE(sets[i].colour.data && sets[i].depth.data) << "colour and depth travel as one set";
        EXPECT_GT(sets[i].colour.frameIndex, sets[i - 1].colour.frameIndex) << "the camera's own count";
    }
}

// Saving queues frame sets and, from a working IMU, its samples; not saving queues nothing.
TEST_F(DepthCameraTest, FramesAndImuAreQueuedOnlyWhileSavingAndAMissingImuStopsNothing)
{
    for (const std::string fault : {"", "KAVREL_SIM_NO_IMU", "KAVREL_SIM_IMU_START_FAILS"}) {
        SCOPED_TRACE(fault);
        LogCapture log;
        newRun();
        std::optional<ScopedEnv> faultEnv;
        if (!fault.empty())
            faultEnv.emplace(fault.c_str(), "1");
        policy_->saving = false;
        start(15);
        ASSERT_TRUE(waitForFrameSets(5, 60000));  // sanitizer builds render a few frames a second
        if (fault.empty()) {
            ASSERT_TRUE(waitUntil([&] { return manager_->imuSamples() >= 10; }, 60000)) << "the IMU runs";
        }
        EXPECT_EQ(queues_->depthSets().size() + queues_->imu().size(), 0u) << "saving is off";
        policy_->saving = true;
        ASSERT_TRUE(waitUntil([&] { return queues_->depthSets().size() >= 10; }, 60000));
        policy_->saving = false;
        const auto samples = drain(queues_->imu());
        EXPECT_EQ(samples.empty(), !fault.empty());
        for (const ImuSample& sample : samples) {
            // Accelerometer in m/s^2: a camera at rest feels about one g.
            EXPECT_NEAR(std::hypot(sample.accel[0], sample.accel[1], sample.accel[2]), 9.8, 1.5);
        }
        EXPECT_EQ(log.contains("Failed to create/start IMU Pipeline:"), fault == "KAVREL_SIM_IMU_START_FAILS");
        manager_.reset();
    }
}

TEST_F(DepthCameraTest, PreviewFramesAreNV12OfTheConfiguredSizeShowingTheSavedPicture)
{
    policy_->saving = true;
    start(15);
    ASSERT_TRUE(waitUntil([&] { return renders_.load() > 0; }, 8000));
    PreviewFrame preview = manager_->previewMailbox().take();
    policy_->saving = false;
    manager_.reset();  // freeze the saved sets
    ASSERT_TRUE(preview);
    ASSERT_EQ(preview.width, kWidth);
    ASSERT_EQ(preview.height, kHeight);

    // The preview shows one of the frame sets that were saved.
    cv::Mat shown;
    cv::cvtColor(cv::Mat(kHeight * 3 / 2, kWidth, CV_8UC1, preview.nv12.get()), shown, cv::COLOR_YUV2BGR_NV12);
    double closest = 1e9;
    while (auto saved = queues_->depthSets().pop()) {
        const cv::Mat jpeg = cv::imdecode(
            cv::Mat(1, static_cast<int>(saved->colour.size), CV_8UC1, saved->colour.data.get()), cv::IMREAD_COLOR);
        ASSERT_EQ(jpeg.size(), shown.size());
        closest = std::min(closest, cv::norm(shown, jpeg, cv::NORM_L1) / (shown.total() * 3));
    }
    EXPECT_LT(closest, 6.0) << "the preview shows a frame that was saved";
}

TEST_F(DepthCameraTest, OtherColourFormatsAreSavedButNeverPreviewed)
{
    LogCapture log;
    ScopedEnv format("KAVREL_SIM_COLOR_FORMAT", std::string("NV12"));
    policy_->saving = true;
    start(15);
    ASSERT_TRUE(waitForFrameSets(5));
    EXPECT_GE(queues_->depthSets().size(), 4u);
    EXPECT_FALSE(manager_->previewMailbox().take());
    EXPECT_TRUE(log.contains("Unsupported color format for preview conversion: 3"));
    EXPECT_TRUE(log.contains("Preview color conversion failed, fmt=3, size=640x480"));
}

TEST_F(DepthCameraTest, WithoutAColourRequestNothingIsPreviewedOrSavedAndTriggersAreSpent)
{
    policy_->onRequest = true;
    policy_->saving = true;
    start(30, false);
    ASSERT_TRUE(waitUntil([&] { return streaming_.load(); }, 8000));
    policy_->requestSnapshot();
    // A depth-only set takes the trigger and saves nothing.
    EXPECT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> lock(manager_->frameMutex_);
        return manager_->trigger_.served() == policy_->requests();
    }, 5000));
    EXPECT_EQ(queues_->depthSets().size(), 0u);
    EXPECT_EQ(renders_.load(), 0);
}

TEST_F(DepthCameraTest, AbsentCameraIsRetriedIgnoresASecondStartAndStopsPromptly)
{
    LogCapture log;
    ScopedEnv absent("KAVREL_SIM_CAMERA_ABSENT", std::string("always"));
    start();
    ASSERT_TRUE(waitUntil([&] { return log.count("Attempting to create pipeline (attempt ") >= 3; }, 5000));
    EXPECT_TRUE(log.contains("Camera disconnected, retrying in 1000ms..."));
    EXPECT_FALSE(streaming_);
    EXPECT_FALSE(manager_->start("again", {{camera_stream::kColor, camera_format::kMJPG, kWidth, kHeight, 30}}, {},
        policy_));
    EXPECT_TRUE(log.contains("is already running, start ignored"));

    const auto before = std::chrono::steady_clock::now();
    manager_.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1500));
    EXPECT_TRUE(log.contains("Failed to create pipeline after "));
}

// Errors that pass (absent, dropped off during start) are retried; others end the thread.
TEST_F(DepthCameraTest, CreationAndStartRetryPassingErrorsOnlyAndFatalOnesEndTheThread)
{
    struct Case {
        const char* faultVariable;
        const char* errorTypeVariable;
        const char* errorType;
        const char* retryLine;    // logged once per failed attempt, when retried
        const char* attemptLine;  // the attempt after the two failures, or the fatal line
        const char* repeatedLine; // absent after a fatal error: no second attempt
    };
    const Case cases[] = {
        {"KAVREL_SIM_CAMERA_ABSENT", "KAVREL_SIM_CAMERA_ERROR_TYPE", "7", "Platform/IO error, retrying in 1000ms...",
            "Attempting to create pipeline (attempt 3)...", nullptr},
        {"KAVREL_SIM_START_FAILURES", "KAVREL_SIM_START_ERROR_TYPE", "2",
            "Camera disconnected during start, retrying...", "Starting pipeline (attempt 3/10)...", nullptr},
        {"KAVREL_SIM_CAMERA_ABSENT", "KAVREL_SIM_CAMERA_ERROR_TYPE", "4", nullptr,
            "Fatal error, cannot retry. Exiting...", "Attempting to create pipeline (attempt 2)..."},
        {"KAVREL_SIM_START_FAILURES", "KAVREL_SIM_START_ERROR_TYPE", "5", nullptr,
            "Fatal error starting pipeline. Exiting...", "Starting pipeline (attempt 2/10)..."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.faultVariable) + " type " + c.errorType);
        LogCapture log;
        obsim::resetFaults();
        streaming_ = false;
        ScopedEnv fault(c.faultVariable, c.retryLine ? "2" : "1");
        ScopedEnv errorType(c.errorTypeVariable, c.errorType);
        start();
        if (c.retryLine) {
            ASSERT_TRUE(waitForFrameSets(3, 10000)) << "the camera is opened once the error passes";
            EXPECT_EQ(log.count(c.retryLine), 2);
            EXPECT_TRUE(log.contains(c.attemptLine));
        } else {
            ASSERT_TRUE(waitUntil([&] { return log.contains(c.attemptLine); }, 3000));
        }
        manager_.reset();  // joins the thread: no later attempt can hide
        if (c.repeatedLine) {
            EXPECT_FALSE(log.contains(c.repeatedLine));
            EXPECT_FALSE(streaming_);
        }
    }
}

TEST_F(DepthCameraTest, UnpluggedCameraIsOpenedAgainAndStreamsOnItsOwn)
{
    LogCapture log;
    std::optional<ScopedEnv> unplug(std::in_place, "KAVREL_SIM_DISCONNECT_AFTER", std::string("40"));
    start();
    ASSERT_TRUE(waitUntil([&] { return stopped_.load(); }, 10000)) << "the page hears that the camera is gone";
    EXPECT_TRUE(log.contains("Camera disconnected during capture. Attempting to reconnect..."));
    streaming_ = false;
    unplug.reset();  // plugged in again
    ASSERT_TRUE(waitUntil([&] { return streaming_.load(); }, 10000)) << "the camera opens it again by itself";
    EXPECT_GE(manager_->reconnects(), 1u);
    const int renders = renders_.load();
    EXPECT_TRUE(waitUntil([&] { return renders_.load() > renders + 3; }, 5000)) << "the preview comes back";
}

TEST_F(DepthCameraTest, AFloodThatFillsTheQueuesDropsWholeFrameSetsAndCountsThem)
{
    // No save worker: the queue is one short of full.
    for (uint32_t i = 0; i + 1 < CaptureQueues::frameSetCapacity; ++i)
        ASSERT_TRUE(queues_->pushDepthSet(FrameSet{}));
    policy_->saving = true;
    start();
    ASSERT_TRUE(waitUntil([&] { return policy_->droppedFrameSets.load() >= 3; }, 8000));
    policy_->saving = false;
    manager_.reset();
    EXPECT_EQ(queues_->depthSets().size(), CaptureQueues::frameSetCapacity);
    EXPECT_EQ(policy_->depth.queued.load(), 1u) << "one set fitted, whole";
    for (const StreamCounts* counts : {&policy_->colour, &policy_->depth, &policy_->imu})
        EXPECT_EQ(counts->produced.load(), counts->queued.load() + counts->refused.load());
}

// With no SDK thread left, no callback can arrive after destruction.
TEST_F(DepthCameraTest, DestroyingARunningCameraLeavesNoThreadOrHandle)
{
    policy_->saving = true;
    start();
    ASSERT_TRUE(waitForFrameSets(5));
    ASSERT_TRUE(waitUntil([&] { return manager_->imuSamples() > 0; }, 5000));
    manager_.reset();
    EXPECT_EQ(obsim::liveThreads(), 0) << "no SDK thread outlives the camera";
    EXPECT_EQ(obsim::liveHandles(), 0) << "every SDK handle is released";

    // Replaced quickly one after another, at every stage of starting.
    for (int i = 0; i < 4; ++i) {
        start();
        kavrel::test::processEventsFor(50 * i);
        manager_.reset();
        EXPECT_EQ(obsim::liveThreads(), 0) << "round " << i;
    }
}

TEST_F(DepthCameraTest, ExceptionsOnTheSdkThreadAreContained)
{
    LogCapture log;
    start();
    ASSERT_TRUE(waitForFrameSets(2));
    // A lone colour frame where a frame set belongs: the SDK's wrong-class error.
    auto pipeline = std::make_shared<ob::Pipeline>();
    auto config = std::make_shared<ob::Config>();
    config->enableVideoStream(OB_STREAM_COLOR, kWidth, kHeight, 30, OB_FORMAT_MJPG);
    pipeline->start(config);
    std::shared_ptr<ob::FrameSet> set;
    ASSERT_TRUE(waitUntil([&] { return (set = pipeline->waitForFrameset(200)) != nullptr; }, 5000));
    auto colour = set->getFrame(OB_FRAME_COLOR);
    ASSERT_TRUE(colour);
    manager_->onAlignedFrameSet(colour);
    EXPECT_EQ(manager_->callbackFailures(), 1u);
    EXPECT_TRUE(log.contains("Aligned frame set dropped: unsupported operation, object's type is not require type"));
    pipeline->stop();
    EXPECT_TRUE(waitForFrameSets(manager_->colourFrames() + 3)) << "the camera keeps streaming";
}

TEST(CameraStart, EmptyRequestsStartNothing)
{
    LogCapture log;
    DepthCamera camera;
    EXPECT_FALSE(camera.start("Gemini_corlor", {}, {}, nullptr));
    EXPECT_TRUE(log.contains("No camera config provided!"));
}
