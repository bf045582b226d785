#pragma once
// Session folders made the way the terminal makes them: the real save worker
// fed with camera-shaped records; the run's end writes meta.yaml.

#include <string>

#include "SaveTestSupport.h"
#include "config_manager.h"

namespace check_test {

// A session edited by hand to stage a case (images renamed, IMU lines moved)
// made as one recorded before the index and checksum files existed.
inline void asOlderSession(const std::string& session)
{
    std::filesystem::remove(session + "/SHA256SUMS");
    for (const char* file : {"frames.csv", "clock.json", "calibration.json"})
        std::filesystem::remove(session + "/D1/" + file);
}

// meta.yaml, written by a run's end, describes the cameras as configured: a
// depth camera of 64x36 images and a USB camera.
inline void configureCameras()
{
    auto& config = config_manager::instance();
    config.machine_id_ = "EMP-TEST";
    config.camera_config_.capture_freq = 30;
    config.camera_config_.camera1 = {"Gemini_corlor", 0, 64, 36, 30, 0.0f, "MJPG"};
    config.camera_config_.camera2 = {"Gemini_depeth", 0, 64, 36, 30, 0.0f, "MJPG"};
    config.camera_config_.camera3 = {"usb_camera", 0, 1280, 720, 30, 0.0f, "MJPG"};
}

class RecordedSessions : public save_test::SaveFixture {
protected:
    static constexpr int kWidth = 64;
    static constexpr int kHeight = 36;

    // Records one session of frameSets frame sets and 40 IMU samples per frame
    // set (200 Hz), starting at timestamp index `first`; returns its folder.
    std::string recordSession(const std::string& mode, int frameSets, int first = 0)
    {
        configureCameras();
        finishSession();
        setMode(mode, "D1");
        if (!task_)
            startWorker();
        const size_t resultsBefore = results_.size();
        const uint64_t depthBefore = task_->stats().depthImagesSaved;
        const bool singleShot = mode == "single_shot";
        EXPECT_TRUE(beginRun(!singleShot));
        EXPECT_TRUE(kavrel::test::waitUntil([&] { return !sessionPath().empty(); }));
        for (int i = first; i < first + frameSets; ++i) {
            const std::string timestamp = save_test::timestampAt(i);
            if (singleShot)
                task_->setWriteImages(false);
            pushFrameSet(save_test::frameSet(timestamp, save_test::imageFromBytes(save_test::jpegBytes(kWidth, kHeight, i)),
                save_test::depthImage(kWidth, kHeight)));
            pushImu(i * 40, 40);
            if (singleShot)
                task_->confirmSnapshot({static_cast<uint64_t>(i + 1), {"shot" + std::to_string(i)}, {}});
            EXPECT_TRUE(waitForEmptySaveQueues());
            // Popped is not yet written: the next shot's tags must not reach this one.
            const uint64_t saved = depthBefore + static_cast<uint64_t>(i - first + 1);
            EXPECT_TRUE(kavrel::test::waitUntil([&] { return task_->stats().depthImagesSaved >= saved; }));
        }
        task_->endRun();
        EXPECT_TRUE(waitForResults(resultsBefore + 1));
        const std::string session = results_.empty() ? std::string() : results_.back();
        finishSession();
        return session;
    }
};

} // namespace check_test
