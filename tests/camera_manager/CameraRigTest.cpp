// The capture page's cameras, scripted: which ones are built, and reports of a replaced camera.

#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CameraRig.h"
#include "Log.h"
#include "TestSupport.h"
#include "config_manager.h"

using kavrel::test::waitUntil;
using Slot = CameraRig::Slot;
using State = CameraRig::State;

namespace {

// Streams a tiny preview frame every few milliseconds until the test unplugs it.
class ScriptedCamera : public Camera {
public:
    explicit ScriptedCamera(std::atomic<bool>& unplugged)
        : Camera(-1, "scripted", [this] { stream(); })
        , unplugged_(unplugged)
    {
    }
    ~ScriptedCamera() override
    {
        stopRunning();
        joinCaptureThread();
    }
    uint64_t framesDelivered() const override { return frames_.load(); }

private:
    void stream()
    {
        bool streaming = false;
        while (running()) {
            if (unplugged_ == streaming) {
                streaming = !unplugged_;
                reportStatus(streaming);
            }
            if (streaming) {
                PreviewFrame frame;
                frame.nv12 = std::make_unique<uint8_t[]>(6);
                frame.width = 2;
                frame.height = 2;
                previewMailbox().post(std::move(frame));
                ++frames_;
                reportFrameReady();
            }
            sleepWhileRunning(4);
        }
    }

    std::atomic<bool>& unplugged_;
    std::atomic<uint64_t> frames_{0};
};

camera_config bothCameras()
{
    camera_config config;
    config.camera1 = {"Gemini_corlor", 0, 640, 480, 30, 0.0f, "MJPG"};
    config.camera2 = {"Gemini_depeth", 0, 640, 480, 30, 0.0f, "MJPG"};
    config.camera3 = {"HD Web Camera", 1, 320, 240, 30, 0.0f, "MJPG"};
    return config;
}

class CameraRigTest : public ::testing::Test {
protected:
    CameraRigTest()
        : rig_([this](Slot slot) { return std::make_unique<ScriptedCamera>(unplugged_[slot]); })
    {
        QObject::connect(
            &rig_, &CameraRig::stateChanged, [this](Slot slot, State state) { states_[slot].push_back(state); });
        QObject::connect(&rig_, &CameraRig::previewReady, [this](Slot slot) {
            if (rig_.takePreview(slot))
                ++previews_[slot];
        });
        QObject::connect(&rig_, &CameraRig::cameraLost, [this](Slot slot) { ++lost_[slot]; });
    }

    std::map<Slot, std::atomic<bool>> unplugged_;
    std::map<Slot, std::vector<State>> states_;
    std::map<Slot, int> previews_;
    std::map<Slot, int> lost_;
    std::shared_ptr<CapturePolicy> policy_ = std::make_shared<CapturePolicy>();
    CameraRig rig_;
};

} // namespace

TEST_F(CameraRigTest, TheConfigurationDecidesWhichCamerasAreBuilt)
{
    struct Case {
        const char* name;
        bool depthBuilt;  // camera1 and camera2 are the depth camera's streams
        bool usbBuilt;    // camera3 has an id
    };
    const Case cases[] = {
        {"both", true, true},
        {"no USB camera", true, false},
        {"no depth streams", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kavrel::log::LogCapture log;
        camera_config config = bothCameras();
        if (!c.depthBuilt)
            config.camera1.camera_type_str = config.camera2.camera_type_str = "none";
        config.camera3.camera_id = c.usbBuilt ? 1 : 0;
        rig_.open(config, policy_);
        EXPECT_EQ(rig_.camera(Slot::Depth) != nullptr, c.depthBuilt);
        EXPECT_EQ(rig_.camera(Slot::Usb) != nullptr, c.usbBuilt);
        EXPECT_EQ(rig_.state(Slot::Depth), c.depthBuilt ? State::Connecting : State::Off);
        EXPECT_EQ(rig_.state(Slot::Usb), c.usbBuilt ? State::Connecting : State::Off);
        EXPECT_EQ(log.contains("No depth camera streams configured (camera1, camera2); depth camera not started"),
            !c.depthBuilt);
        if (c.usbBuilt) {
            EXPECT_EQ(rig_.camera(Slot::Usb)->name(), "HD Web Camera") << "the name it finds its device by";
        }
        rig_.release();
    }
}

// Reports an old camera posted before its replacement touch the slot no more.
TEST_F(CameraRigTest, ReportsOfAReplacedCameraAreIgnored)
{
    const auto pileUpReports = [] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); };
    rig_.open(bothCameras(), policy_);
    ASSERT_TRUE(waitUntil([&] { return rig_.state(Slot::Depth) == State::Live; }, 5000));
    pileUpReports();  // the cameras post frames on; nothing is handled meanwhile
    unplugged_[Slot::Depth] = true;  // then the old cameras report themselves lost; the new ones stay silent
    unplugged_[Slot::Usb] = true;
    pileUpReports();
    rig_.open(bothCameras(), policy_);
    states_.clear();
    previews_.clear();
    kavrel::test::processEventsFor(100);
    EXPECT_TRUE(states_.empty());
    EXPECT_TRUE(previews_.empty());
    EXPECT_EQ(lost_[Slot::Depth] + lost_[Slot::Usb], 0);
    EXPECT_EQ(rig_.state(Slot::Depth), State::Connecting);
}
