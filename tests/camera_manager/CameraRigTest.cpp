// The capture page's cameras: which ones the configuration builds, the state
// the operator sees, and reports of a camera already released (a lost camera
// is the capture page's test and each camera's own). The cameras here are scripted; DepthCamera and UsbCamera
// have tests of their own.

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

// Whether a scripted camera's "device" is plugged in, set by the test.
struct Line {
    std::atomic<bool> plugged{true};
};

// Streams a tiny preview frame every few milliseconds while its line is
// plugged, and reports each change of the line as a camera would.
class ScriptedCamera : public Camera {
public:
    explicit ScriptedCamera(Line& line)
        : Camera(-1, "scripted", [this] { stream(); })
        , line_(line)
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
            if (line_.plugged != streaming) {
                streaming = line_.plugged;
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

    Line& line_;
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
        : rig_([this](Slot slot) { return std::make_unique<ScriptedCamera>(lines_[slot]); })
    {
        QObject::connect(&rig_, &CameraRig::stateChanged, [this](Slot slot, State state) { states_[slot].push_back(state); });
        QObject::connect(&rig_, &CameraRig::previewReady, [this](Slot slot) {
            if (rig_.takePreview(slot))
                ++previews_[slot];
        });
        QObject::connect(&rig_, &CameraRig::cameraLost, [this](Slot slot) { ++lost_[slot]; });
    }

    bool waitForState(Slot slot, State state)
    {
        return waitUntil([&] { return rig_.state(slot) == state; }, 5000);
    }

    std::map<Slot, Line> lines_;
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
        bool depthStreams;
        int usbId;
        bool depthBuilt;
        bool usbBuilt;
    };
    const Case cases[] = {
        {"both", true, 1, true, true},
        {"no USB camera", true, 0, true, false},
        {"no depth streams", false, 1, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kavrel::log::LogCapture log;
        camera_config config = bothCameras();
        if (!c.depthStreams)
            config.camera1.camera_type_str = config.camera2.camera_type_str = "none";
        config.camera3.camera_id = c.usbId;
        rig_.open(config, policy_);
        EXPECT_EQ(rig_.camera(Slot::Depth) != nullptr, c.depthBuilt);
        EXPECT_EQ(rig_.camera(Slot::Usb) != nullptr, c.usbBuilt);
        EXPECT_EQ(CameraRig::listsUsbCamera(config), c.usbBuilt);
        EXPECT_EQ(rig_.state(Slot::Depth), c.depthBuilt ? State::Connecting : State::Off);
        EXPECT_EQ(rig_.state(Slot::Usb), c.usbBuilt ? State::Connecting : State::Off);
        EXPECT_EQ(log.contains("No depth camera streams configured (camera1, camera2); depth camera not started"),
            !c.depthStreams);
        if (c.usbBuilt) {
            EXPECT_EQ(rig_.camera(Slot::Usb)->name(), "HD Web Camera") << "the name it finds its device by";
        }
        rig_.release();
    }
}

// Reports a camera posted before it was released or replaced must not touch
// the slot afterwards: no frame, no state, no lost camera.
TEST_F(CameraRigTest, ReportsOfAReleasedOrReplacedCameraAreIgnored)
{
    const auto pileUpReports = [] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); };
    rig_.open(bothCameras(), policy_);
    ASSERT_TRUE(waitForState(Slot::Depth, State::Live));
    pileUpReports();  // the cameras post on; nothing is handled meanwhile
    rig_.release();
    states_.clear();
    previews_.clear();
    kavrel::test::processEventsFor(100);
    EXPECT_TRUE(states_.empty());
    EXPECT_TRUE(previews_.empty());
    EXPECT_EQ(rig_.state(Slot::Depth), State::Off);

    rig_.open(bothCameras(), policy_);
    ASSERT_TRUE(waitForState(Slot::Depth, State::Live));
    lines_[Slot::Depth].plugged = false;  // the old cameras report themselves lost; the new ones stay silent
    lines_[Slot::Usb].plugged = false;
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
