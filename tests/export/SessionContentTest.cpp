// What an export takes from the session files: clock mapping, calibration,
// frame times, depth units, and the ordered hand-over between threads.

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "ExportSupport.h"
#include "OrderedParallel.h"
#include "SessionContent.h"

using namespace session_export;
namespace fs = std::filesystem;

namespace {

void writeText(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// Two runs: a reset device clock would make the second start low, so they are far apart here.
const char* const kClock = R"({"format_version": 1, "runs": [
  {"first_device_us": 1000000, "last_device_us": 2000000, "device_us_ref": 1000000,
   "utc_ns_ref": 1700000000000000000, "drift_ppm": 100.0, "pairs": 30},
  {"first_device_us": 9000000, "last_device_us": 9500000, "device_us_ref": 9000000,
   "utc_ns_ref": 1700000100000000000, "drift_ppm": 0.0, "pairs": 15}]})";

} // namespace

// The models of a whole session are checked through the reader (ExportTest); here, what no model fits.
TEST(Calibration, AModelOnlyForKnownIntrinsicsAndBrownDistortion)
{
    StreamCalibration stream;
    stream.width = 1280;
    stream.height = 720;
    stream.intrinsicsKnown = true;
    stream.fx = stream.fy = 640;
    stream.distortionModel = "brown_conrady";
    stream.coefficients = {{"k1", 0.1}, {"k2", -0.2}, {"k3", 0.03}, {"p1", 0.001}, {"p2", 0.002}};
    std::string why;
    EXPECT_TRUE(cameraModel(stream, why)) << why;
    stream.distortionModel = "kannala_brandt4";
    EXPECT_FALSE(cameraModel(stream, why));
    stream.distortionModel = "brown_conrady";
    stream.intrinsicsKnown = false;
    EXPECT_FALSE(cameraModel(stream, why));
}

TEST(Calibration, UnknownCalibrationGivesNoExtrinsics)
{
    std::string why;
    const auto unknown = parseCalibration(R"({"format_version":1,"calibration_known":false,"depth_unit_m":0.001,
        "streams":{"color":{"width":1280,"height":720,"intrinsics":null,"distortion":null},
                   "depth":{"width":1280,"height":720,"intrinsics":null,"distortion":null}},
        "extrinsics":null,"imu":null})", why);
    ASSERT_TRUE(unknown) << why;
    EXPECT_FALSE(unknown->known);
    ASSERT_TRUE(unknown->colour && unknown->depth);
    EXPECT_FALSE(unknown->colour->intrinsicsKnown);
    EXPECT_FALSE(unknown->depthToColour);

    const auto usb = parseCalibration(R"({"format_version":1,"calibration_known":false,"device":{"name":"HD Webcam"},
        "streams":{"color":{"width":640,"height":480,"format":"MJPG","fps":30,"payload":"jpeg","intrinsics":null}}})", why);
    ASSERT_TRUE(usb);
    EXPECT_TRUE(usb->colour && !usb->depth);
    EXPECT_FALSE(usb->depthUnitKnown);
    EXPECT_FALSE(parseCalibration("{\"format_version\":", why));
}

// The quaternion must turn vectors as the matrix does, on every branch of its computation.
TEST(Calibration, QuaternionsRotateAsTheirMatrices)
{
    const double c = std::cos(2.0), s = std::sin(2.0);
    const std::array<double, 9> rotations[] = {
        {1, 0, 0, 0, 1, 0, 0, 0, 1},
        {0, -1, 0, 1, 0, 0, 0, 0, 1},    // 90 degrees about z
        {1, 0, 0, 0, -1, 0, 0, 0, -1},   // 180 about x
        {-1, 0, 0, 0, 1, 0, 0, 0, -1},   // 180 about y
        {-1, 0, 0, 0, -1, 0, 0, 0, 1},   // 180 about z
        {0, 0, 1, 1, 0, 0, 0, 1, 0},     // 120 about (1,1,1)
        {c, 0, s, 0, 1, 0, -s, 0, c},    // 114.6 about y
    };
    for (const auto& r : rotations) {
        const auto [x, y, z, w] = quaternionOf(r);
        EXPECT_NEAR(x * x + y * y + z * z + w * w, 1.0, 1e-12);
        const double fromQuaternion[9] = {1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w),
            2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w),
            2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)};
        for (int i = 0; i < 9; ++i)
            EXPECT_NEAR(fromQuaternion[i], r[i], 1e-12) << "element " << i << " of rotation " << &r - rotations;
    }
}

TEST(DepthScale, ConvertsUnitsAndMarksWhatDoesNotFit)
{
    cv::Mat depth = (cv::Mat_<uint16_t>(1, 5) << 0, 1, 1234, 13107, 13108);
    const DepthScale toTum(0.001, 1.0 / 5000);
    EXPECT_EQ(toTum.apply(depth), 1u);
    EXPECT_EQ(depth.at<uint16_t>(0, 1), 5);
    EXPECT_EQ(depth.at<uint16_t>(0, 2), 6170);
    EXPECT_EQ(depth.at<uint16_t>(0, 3), 65535);
    EXPECT_EQ(depth.at<uint16_t>(0, 4), 0) << "beyond 16 bits is no measurement, not the largest one";

    cv::Mat fine = (cv::Mat_<uint16_t>(1, 3) << 14, 15, 65535);  // tenths of a millimetre
    EXPECT_EQ(DepthScale(0.0001, 0.001).apply(fine), 0u);
    EXPECT_EQ(fine.at<uint16_t>(0, 0), 1);
    EXPECT_EQ(fine.at<uint16_t>(0, 1), 2);
    EXPECT_EQ(fine.at<uint16_t>(0, 2), 6554);
    EXPECT_TRUE(DepthScale(0.001, 0.001).identity());
}

TEST(OrderedParallel, UsesEveryItemOnceInOrderAndStopsWhenAsked)
{
    for (unsigned threads : {1u, 2u, 5u}) {
        std::vector<size_t> used;
        const bool whole = forEachInOrder<size_t>(
            500, threads, 3, [](size_t i) { return i * 7; }, [&](size_t i, size_t& item) {
                EXPECT_EQ(item, i * 7);
                used.push_back(i);
                return true;
            });
        EXPECT_TRUE(whole);
        ASSERT_EQ(used.size(), 500u) << threads;
        for (size_t i = 0; i < used.size(); ++i)
            ASSERT_EQ(used[i], i);

        std::atomic<size_t> made{0};
        const bool stopped = forEachInOrder<int>(
            500, threads, 4, [&](size_t) { return static_cast<int>(made++); },
            [&](size_t i, int&) { return i < 10; });
        EXPECT_FALSE(stopped);
        EXPECT_LE(made.load(), 11u + 4u + threads) << "made far past the window after the stop";
    }
}

class SessionFiles : public ::testing::Test {
protected:
    QTemporaryDir dir_;
    fs::path session_ = fs::path(dir_.path().toStdString()) / "20250612_143000";

    SessionContent read()
    {
        session_check::SessionReport report;
        report.path = session_.string();
        return readSessionContent(report);
    }
    void images(const std::string& device, const std::vector<std::string>& stems, bool depth = true)
    {
        for (const auto& stem : stems) {
            writeText(session_ / device / "color" / (stem + ".png"), "jpeg");
            if (depth)
                writeText(session_ / device / "depth" / (stem + ".png"), "png");
        }
    }
};

TEST_F(SessionFiles, FrameTimesComeFromFramesCsvThroughTheClock)
{
    images("D1", {"20250612143000000", "20250612143000033", "20250612143000066"});
    writeText(session_ / "D1/clock.json", kClock);
    writeText(session_ / "D1/frames.csv",
        "set,color_file,depth_file,color_device_us,depth_device_us,color_index,depth_index,host_utc_ns,snapshot_id\n"
        "1,color/20250612143000000.png,depth/20250612143000000.png,1000000,1000100,1,1,1700000000004000000,\n"
        "2,color/20250612143000033.png,depth/20250612143000033.png,1033000,1033100,2,2,1700000000037000000,\n"
        "not,a,row\n");
    const SessionContent content = read();
    ASSERT_EQ(content.devices.size(), 1u);
    const DeviceContent& device = content.devices[0];
    EXPECT_FALSE(device.usbCamera);
    ASSERT_EQ(device.frames.size(), 3u);
    EXPECT_EQ(device.frames[0].colourStamp, 1700000000000000000);
    EXPECT_EQ(device.frames[0].depthStamp, 1700000000000100010);
    EXPECT_EQ(device.frames[0].logTime, 1700000000004000000);
    EXPECT_EQ(device.frames[1].colourStamp, 1700000000033003300);
    // The third has no row: its file name's time, the host's wall clock.
    EXPECT_EQ(device.frames[2].colour, "D1/color/20250612143000066.png");
    EXPECT_GT(device.frames[2].logTime, 1749000000000000000);
    for (size_t i = 1; i < device.frames.size(); ++i)
        EXPECT_GE(device.frames[i].colourStamp, device.frames[i - 1].colourStamp);
    const std::string notes = [&] {
        std::string all;
        for (const auto& note : content.notes)
            all += note + "\n";
        return all;
    }();
    EXPECT_NE(notes.find("1 line is not a frame row"), std::string::npos) << notes;
    EXPECT_NE(notes.find("no row for 1 image"), std::string::npos) << notes;
}

TEST_F(SessionFiles, ImuStampsAreEachSensorsDeviceTimeOnTheClock)
{
    images("D1", {"20250612143000000"});
    writeText(session_ / "D1/clock.json", kClock);
    writeText(session_ / "D1/data.json",
        "{\"version\":\"1.0.0\"}\n"
        "{\"sensor\":{\"type\":\"accelerometer\",\"values\":[1,2,3]},\"time\":1.5,\"device_us\":1500000}\n"
        "{\"sensor\":{\"type\":\"gyroscope\",\"values\":[4,5,6]},\"time\":1.5,\"device_us\":1500400}\n"
        "{\"sensor\":{\"type\":\"gyroscope\",\"values\":[4,5,6]},\"time\":1.6,\"device_us\":1600000}\n"
        "{\"sensor\":{\"type\":\"accelerometer\",\"values\":[1,2,3]},\"time\":1.505,\"device_us\":1505000}\n"
        "{\"sensor\":{\"type\":\"gyroscope\",\"values\":[7,8,9]},\"time\":1.505,\"device_us\":1505000}\n");
    const SessionContent content = read();
    const DeviceContent& device = content.devices.at(0);
    ASSERT_EQ(device.imu.size(), 2u);
    EXPECT_EQ(device.imu[0].stamp, 1700000000000000000 + 500050000);
    EXPECT_EQ(device.imu[1].stamp, 1700000000000000000 + 505050500);
    EXPECT_EQ(device.imu[1].gyro, (std::array<double, 3>{7, 8, 9}));
    ASSERT_EQ(content.leftOut.size(), 1u);
    EXPECT_EQ(content.leftOut[0], "D1/data.json line 4: gyroscope entry without its accelerometer entry");
}

TEST_F(SessionFiles, AUsbCameraIsKnownByItsCalibrationOrItsLackOfDepth)
{
    images("U1", {"20250612143000000", "20250612143000033"}, false);
    images("U2", {"20250612143000000"}, false);
    writeText(session_ / "U1/calibration.json", R"({"format_version":1,"calibration_known":false,
        "device":{"name":"HD Webcam"},"streams":{"color":{"width":64,"height":36,"payload":"jpeg","intrinsics":null}}})");
    const SessionContent content = read();
    ASSERT_EQ(content.devices.size(), 2u);
    for (const DeviceContent& device : content.devices) {
        EXPECT_TRUE(device.usbCamera) << device.name;
        for (const FrameItem& frame : device.frames)
            EXPECT_TRUE(frame.depth.empty());
    }
    EXPECT_EQ(content.devices[0].frames.size(), 2u);
    EXPECT_TRUE(content.leftOut.empty());

    // A depth image where the calibration says there is no depth stream is listed, not dropped unseen.
    writeText(session_ / "U1/depth/20250612143000033.png", "png");
    const SessionContent withDepth = read();
    EXPECT_EQ(withDepth.devices.at(0).frames.size(), 2u);
    ASSERT_EQ(withDepth.leftOut.size(), 1u);
    EXPECT_NE(withDepth.leftOut[0].find("U1/depth/20250612143000033.png"), std::string::npos);
}
