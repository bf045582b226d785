// A dataset consumer's check of the simulated camera, from the SDK's own
// calls only: depth back-projected with the reported intrinsics and value
// scale must show the room as documented (wall at 3.0 m, floor 0.6 m below
// the camera and square to the wall), and the IMU's mean reading, turned
// into the colour frame by the reported extrinsic, must point up from that
// floor. A wrong focal length, depth unit or extrinsic fails it.

#include <cmath>
#include <mutex>
#include <optional>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <libobsensor/ObSensor.hpp>
#include <obsdk_sim/SimControl.h>

#include "RoomGeometry.h"
#include "TestSupport.h"

namespace {

using namespace room;

struct Recording {
    OBCameraIntrinsic colour{};
    float valueScale = 0;                // mm per count
    std::vector<cv::Mat> depth;          // aligned to colour, counts
    std::vector<size_t> jpegBytes;       // the colour frames as the camera sends them
    OBExtrinsic imuToColour{};
    cv::Vec3d meanAccel;
};

// Ten aligned frame sets at 1280x720 and the accelerometer meanwhile.
Recording record()
{
    Recording r;
    auto pipeline = std::make_shared<ob::Pipeline>();
    auto imu = std::make_shared<ob::Pipeline>(pipeline->getDevice());
    auto imuConfig = std::make_shared<ob::Config>();
    imuConfig->enableAccelStream();
    std::mutex mutex;
    cv::Vec3d sum;
    int samples = 0;
    std::shared_ptr<ob::StreamProfile> accelProfile;
    imu->start(imuConfig, [&](std::shared_ptr<ob::FrameSet> set) {
        auto accel = set->getFrame(OB_FRAME_ACCEL)->as<ob::AccelFrame>();
        const OBAccelValue a = accel->getValue();
        std::lock_guard<std::mutex> lock(mutex);
        sum += cv::Vec3d(a.x, a.y, a.z);
        ++samples;
        if (!accelProfile)
            accelProfile = accel->getStreamProfile();
    });
    auto config = std::make_shared<ob::Config>();
    config->enableVideoStream(OB_STREAM_COLOR, 1280, 720, 15, OB_FORMAT_MJPG);
    config->enableVideoStream(OB_STREAM_DEPTH, 1280, 720, 15, OB_FORMAT_Y16);
    pipeline->start(config);
    ob::Align align(OB_STREAM_COLOR);
    std::shared_ptr<ob::StreamProfile> colourProfile;
    while (r.depth.size() < 10) {
        // The first frame set waits for the simulator to start (slow under the sanitizers).
        auto set = pipeline->waitForFrameset(r.depth.empty() ? 30000 : 2000);
        if (!set)
            break;
        auto aligned = align.process(set)->as<ob::FrameSet>();
        auto colour = aligned->colorFrame();
        auto depth = aligned->depthFrame();
        if (!colour || !depth)
            continue;
        colourProfile = colour->getStreamProfile();
        r.colour = colourProfile->as<ob::VideoStreamProfile>()->getIntrinsic();
        r.valueScale = depth->getValueScale();
        r.depth.push_back(cv::Mat(int(depth->getHeight()), int(depth->getWidth()), CV_16UC1, depth->getData()).clone());
        r.jpegBytes.push_back(colour->getDataSize());
    }
    pipeline->stop();
    imu->stop();
    if (accelProfile && colourProfile)
        r.imuToColour = accelProfile->getExtrinsicTo(colourProfile);
    if (samples)
        r.meanAccel = sum / samples;
    return r;
}

} // namespace

TEST(ConsumerGeometry, RoomAndGravityComeOutOfTheReportedCalibration)
{
    const struct {
        const char* scene;
        const char* scale;
    } cases[] = {{"light", "1"}, {"light", "0.1"}, {"heavy", "1"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.scene) + " scene, depth scale " + c.scale);
        kavrel::test::ScopedEnv scene("KAVREL_SIM_SCENE", std::string(c.scene));
        kavrel::test::ScopedEnv scale("KAVREL_SIM_DEPTH_SCALE", std::string(c.scale));
        const Recording r = record();
        ASSERT_GE(r.depth.size(), 3u);
        EXPECT_FLOAT_EQ(r.valueScale, std::stof(c.scale));
        for (size_t i = 0; i < r.depth.size(); i += 4) {
            SCOPED_TRACE("frame " + std::to_string(i));
            const Pinhole pinhole{r.colour.fx, r.colour.fy, r.colour.cx, r.colour.cy};
            const double metresPerCount = r.valueScale / 1000.0;
            const Plane wall = fitPlane(backProject(r.depth[i], pinhole, metresPerCount, 0), 2);
            const Plane floor = fitPlane(backProject(r.depth[i], pinhole, metresPerCount, r.colour.cy), 1);
            ASSERT_GT(wall.kept, 500u);
            ASSERT_GT(floor.kept, 300u);
            EXPECT_NEAR(wall.offset, kWallM, 0.01) << "wall distance";
            EXPECT_NEAR(wall.normal[2], 1.0, 1 - std::cos(1 * kDegree)) << "the wall faces the camera";
            EXPECT_NEAR(floor.offset, kCameraHeightM, 0.01) << "camera height";
            EXPECT_LT(floor.rms, 0.01) << "floor residual";
            EXPECT_LT(std::fabs(floor.normal.dot(wall.normal)), std::sin(1 * kDegree)) << "floor square to wall";
            // The accelerometer of a still camera feels the floor push up: along -normal.
            const cv::Vec3d a = r.meanAccel;
            const double tilt = gravityTilt(rotate(r.imuToColour.rot, a), floor);
            std::printf("%s x%s frame %zu: wall %.4f m, floor %.4f m (rms %.4f m), floor.wall %.5f, gravity %.3f deg\n",
                c.scene, c.scale, i, wall.offset, floor.offset, floor.rms, floor.normal.dot(wall.normal), tilt);
            EXPECT_NEAR(cv::norm(a), 9.81, 0.1);
            EXPECT_LT(tilt, 2.0) << "gravity along the floor normal";
        }
        if (std::string(c.scene) == "heavy") {
            // As heavy as a real camera: 16-bit PNG (default compression) and the camera's JPEG.
            for (size_t i = 0; i < r.depth.size(); ++i) {
                std::vector<uint8_t> png;
                ASSERT_TRUE(cv::imencode(".png", r.depth[i], png));
                std::printf("heavy frame %zu: depth PNG %zu KB, colour JPEG %zu KB\n", i, png.size() / 1000,
                    r.jpegBytes[i] / 1000);
                EXPECT_GE(png.size(), 700000u);
                EXPECT_LE(png.size(), 900000u);
                EXPECT_GE(r.jpegBytes[i], 150000u);
                EXPECT_LE(r.jpegBytes[i], 250000u);
            }
        }
    }
    EXPECT_EQ(obsim::liveFrames(), 0);
}

TEST(ConsumerGeometry, AWithheldCalibrationIsAnErrorNotAGuess)
{
    kavrel::test::ScopedEnv withheld("KAVREL_SIM_NO_CALIBRATION", std::string("1"));
    auto pipeline = std::make_shared<ob::Pipeline>();
    EXPECT_STRNE(pipeline->getDevice()->getDeviceInfo()->getSerialNumber(), "");
    auto config = std::make_shared<ob::Config>();
    config->enableVideoStream(OB_STREAM_COLOR, 320, 240, 30, OB_FORMAT_MJPG);
    config->enableVideoStream(OB_STREAM_DEPTH, 320, 200, 30, OB_FORMAT_Y16);
    config->enableAccelStream();
    auto profiles = config->getEnabledStreamProfileList();
    auto colour = profiles->getProfile(0)->as<ob::VideoStreamProfile>();
    auto depth = profiles->getProfile(1);
    auto accel = profiles->getProfile(2)->as<ob::AccelStreamProfile>();
    EXPECT_THROW(colour->getIntrinsic(), ob::Error);
    EXPECT_THROW(colour->getDistortion(), ob::Error);
    EXPECT_THROW(depth->getExtrinsicTo(colour), ob::Error);
    EXPECT_THROW(accel->getIntrinsic(), ob::Error);
    // The camera still streams, and depth still has its unit.
    config = std::make_shared<ob::Config>();
    config->enableVideoStream(OB_STREAM_DEPTH, 320, 200, 30, OB_FORMAT_Y16);
    pipeline->start(config);
    auto set = pipeline->waitForFrameset(2000);
    ASSERT_TRUE(set && set->depthFrame());
    EXPECT_FLOAT_EQ(set->depthFrame()->getValueScale(), 1.0f);
}
