#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <QCryptographicHash>
#include <nlohmann/json.hpp>

#include "McapWriter.h"
#include "RecordedSessions.h"
#include "RosMessages.h"

using kavrel::test::ProgramRun;
using kavrel::test::readFile;
using kavrel::test::runProgram;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

ProgramRun exportSessions(QStringList arguments)
{
    return runProgram(QStringLiteral(KAVREL_EXPORT_PROGRAM), arguments);
}

// The reader's description of the file; empty with the reason in `why` when it refuses it.
json readMcap(const std::string& file, std::string& why)
{
    const ProgramRun reader = runProgram(QStringLiteral("node"), {QStringLiteral(KAVREL_MCAP_READER), QString::fromStdString(file)});
    if (reader.exitCode != 0) {
        why = "reader exit " + std::to_string(reader.exitCode) + ": " + reader.err;
        return {};
    }
    return json::parse(reader.out, nullptr, false);
}

std::string sha256(const void* data, size_t size)
{
    return QCryptographicHash::hash(QByteArray::fromRawData(static_cast<const char*>(data), static_cast<int>(size)),
        QCryptographicHash::Sha256).toHex().toStdString();
}

std::vector<std::string> sortedFiles(const std::string& folder)
{
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(folder))
        files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

#define SKIP_WITHOUT_READER()                                                                       \
    KAVREL_SKIP_CHILD_PROCESSES_UNDER_EMULATION();                                                  \
    ASSERT_TRUE(fs::exists(fs::path(KAVREL_MCAP_READER).parent_path() / "node_modules"))           \
        << "the MCAP reader is not installed: run scripts/install-deps.sh"

} // namespace

class SessionExport : public check_test::RecordedSessions {
protected:
    std::string out() const { return root_ + "/exported"; }

    // The files a calibrated camera adds to a recorded session: calibration.json,
    // clock.json (one run, no drift), frames.csv with each image's device times,
    // and device_us on every data.json line. Depth gets values up to 13 m.
    static constexpr int64_t kUtcRef = 1750000000000000000;
    static constexpr uint64_t kDeviceRef = 1718201415000000;  // the recorded IMU's first device µs
    static constexpr int64_t kFrameNs = 33333000;
    static constexpr int64_t kDepthAfterColourNs = 50000;
    static constexpr int64_t kHostLatencyNs = 8000000;

    std::string recordCalibratedSession(int frameSets)
    {
        const std::string session = recordSession("continue_record", frameSets);
        const auto calibration = kavrel::test::readTestInput("export/calibration.json");
        if (!calibration)
            return {};
        kavrel::test::writeFile(session + "/D1/calibration.json", *calibration);
        kavrel::test::writeFile(session + "/D1/clock.json",
            "{\"format_version\":1,\"runs\":[{\"first_device_us\":" + std::to_string(kDeviceRef)
                + ",\"last_device_us\":" + std::to_string(kDeviceRef + 10000000) + ",\"device_us_ref\":"
                + std::to_string(kDeviceRef) + ",\"utc_ns_ref\":" + std::to_string(kUtcRef)
                + ",\"drift_ppm\":0.0,\"pairs\":4}]}");
        std::string frames
            = "set,color_file,depth_file,color_device_us,depth_device_us,color_index,depth_index,host_utc_ns,snapshot_id\n";
        const auto depths = sortedFiles(session + "/D1/depth");
        for (int i = 0; i < frameSets; ++i) {
            const std::string stem = save_test::timestampAt(i);
            const uint64_t colourUs = kDeviceRef + static_cast<uint64_t>(kFrameNs / 1000 * i);
            frames += std::to_string(i + 1) + ",color/" + stem + ".png,depth/" + stem + ".png," + std::to_string(colourUs)
                + "," + std::to_string(colourUs + kDepthAfterColourNs / 1000) + "," + std::to_string(i + 1) + ","
                + std::to_string(i + 1) + "," + std::to_string(kUtcRef + kFrameNs * i + kHostLatencyNs) + ",\n";
            cv::Mat depth(kHeight, kWidth, CV_16UC1);
            for (int p = 0; p < static_cast<int>(depth.total()); ++p)
                depth.at<uint16_t>(p) = static_cast<uint16_t>((p * 977 + i * 131) % 13100);
            cv::imwrite(session + "/D1/depth/" + stem + ".png", depth);
        }
        kavrel::test::writeFile(session + "/D1/frames.csv", frames);
        std::ifstream in(session + "/D1/data.json");
        std::string lines;
        for (std::string line; std::getline(in, line);) {
            json entry = json::parse(line);
            if (entry.contains("time"))
                entry["device_us"] = std::llround(entry["time"].get<double>() * 1e6);
            lines += entry.dump() + "\n";
        }
        kavrel::test::writeFile(session + "/D1/data.json", lines);
        // The files above are written by hand, not hashed by the writer.
        fs::remove(session + "/SHA256SUMS");
        return session;
    }
};

#define SKIP_WITHOUT_CALIBRATION_INPUT(session) \
    if ((session).empty())                      \
    GTEST_SKIP() << "test input missing: tests/data/export/calibration.json"


TEST_F(SessionExport, EveryFileReachesTheReaderUnchanged)
{
    SKIP_WITHOUT_READER();
    const std::string session = recordSession("continue_record", 4);
    // As recorded before frames.csv and the checksums existed: images timed by their names.
    check_test::asOlderSession(session);
    const ProgramRun exported = exportSessions({"--out", QString::fromStdString(out()), QString::fromStdString(session)});
    ASSERT_EQ(exported.exitCode, 0) << exported.out << exported.err;
    EXPECT_NE(exported.out.find("host times"), std::string::npos) << exported.out;
    EXPECT_NE(exported.out.find("no calibration"), std::string::npos) << exported.out;
    EXPECT_NE(exported.out.find("4 /D1/color/image/compressed, 4 /D1/depth/image, 160 /D1/imu"), std::string::npos)
        << exported.out;

    const std::string file = out() + "/" + fs::path(session).filename().string() + ".mcap";
    std::string why;
    const json mcap = readMcap(file, why);
    ASSERT_TRUE(mcap.is_object()) << why;
    const json& topics = mcap["topics"];
    ASSERT_EQ(topics.size(), 3u) << topics.dump();

    const auto colours = sortedFiles(session + "/D1/color");
    const auto depths = sortedFiles(session + "/D1/depth");
    const json& colourMessages = topics["/D1/color/image/compressed"]["messages"];
    const json& depthMessages = topics["/D1/depth/image"]["messages"];
    ASSERT_EQ(colourMessages.size(), colours.size());
    ASSERT_EQ(depthMessages.size(), depths.size());
    for (size_t i = 0; i < colours.size(); ++i) {
        const std::string bytes = readFile(colours[i]);
        EXPECT_EQ(colourMessages[i]["sha256"], sha256(bytes.data(), bytes.size())) << colours[i];
        EXPECT_EQ(colourMessages[i]["format"], "jpeg");
        const cv::Mat depth = cv::imread(depths[i], cv::IMREAD_UNCHANGED);
        EXPECT_EQ(depthMessages[i]["sha256"], sha256(depth.data, depth.total() * 2)) << depths[i];
        EXPECT_EQ(depthMessages[i]["encoding"], "16UC1");
        EXPECT_EQ(depthMessages[i]["width"], kWidth);
        EXPECT_EQ(depthMessages[i]["step"], kWidth * 2);
        EXPECT_EQ(depthMessages[i]["stamp"], colourMessages[i]["stamp"]);
    }
    // Consecutive images are 1 ms apart in their names, and so in their stamps.
    EXPECT_EQ(std::stoull(colourMessages[1]["stamp"].get<std::string>())
            - std::stoull(colourMessages[0]["stamp"].get<std::string>()), 1000000u);

    // IMU: the saved values in SI units, at the device's microsecond times.
    const json& imu = topics["/D1/imu"]["messages"];
    ASSERT_EQ(imu.size(), 160u);
    for (int i : {0, 1, 159}) {
        EXPECT_DOUBLE_EQ(imu[i]["accel"][2].get<double>(), i + 0.5) << i;
        EXPECT_DOUBLE_EQ(imu[i]["accel"][1].get<double>(), -9.79);
        EXPECT_DOUBLE_EQ(imu[i]["gyro"][1].get<double>(), 0.002);
        EXPECT_EQ(imu[i]["stamp"], std::to_string((1718201415000000ULL + 5000ULL * i) * 1000ULL));
    }

    const std::string meta = readFile(session + "/meta.yaml");
    ASSERT_EQ(mcap["attachments"].size(), 1u);
    EXPECT_EQ(mcap["attachments"][0]["name"], "meta.yaml");
    EXPECT_EQ(mcap["attachments"][0]["sha256"], sha256(meta.data(), meta.size()));
    EXPECT_EQ(mcap["metadata"]["session"]["machine_id"], "EMP-TEST");
    EXPECT_EQ(mcap["metadata"]["session"]["capture_mode"], "continue_record");
}

TEST_F(SessionExport, ADamagedSessionIsRefusedUnlessForcedThenTheRestIsListed)
{
    SKIP_WITHOUT_READER();
    const std::string session = recordSession("continue_record", 3);
    const std::string lost = session + "/D1/depth/" + save_test::timestampAt(1) + ".png";
    ASSERT_TRUE(fs::remove(lost));
    const std::string file = out() + "/" + fs::path(session).filename().string() + ".mcap";

    const ProgramRun refused = exportSessions({"--out", QString::fromStdString(out()), QString::fromStdString(session)});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.out.find("refused"), std::string::npos) << refused.out;
    EXPECT_FALSE(fs::exists(file));

    const ProgramRun forced
        = exportSessions({"--force", "--out", QString::fromStdString(out()), QString::fromStdString(session)});
    EXPECT_EQ(forced.exitCode, 1) << "an incomplete export is not a clean success";
    EXPECT_NE(forced.out.find("left out (1)"), std::string::npos) << forced.out;
    EXPECT_NE(forced.out.find(save_test::timestampAt(1) + ".png: no depth image"), std::string::npos) << forced.out;
    std::string why;
    const json mcap = readMcap(file, why);
    ASSERT_TRUE(mcap.is_object()) << why;
    EXPECT_EQ(mcap["topics"]["/D1/color/image/compressed"]["count"], 2);
    EXPECT_EQ(mcap["topics"]["/D1/depth/image"]["count"], 2);
}

// Sessions here fit one chunk: small chunks give the reader several chunks and their indexes to walk.
TEST(McapWriter, MessagesInSeveralChunksDecodeWithTheirStoredDefinition)
{
    SKIP_WITHOUT_READER();
    QTemporaryDir dir;
    const std::string file = dir.path().toStdString() + "/calibration.mcap";
    mcap_export::McapWriter writer(64);
    ASSERT_TRUE(writer.open(file, "ros2", "test"));
    const uint16_t info = writer.addChannel(writer.addSchema(mcap_export::kCameraInfoSchema.name, "ros2msg",
        mcap_export::kCameraInfoSchema.definition), "/D1/color/camera_info", "cdr");
    mcap_export::CameraModel model;
    model.width = 640;
    model.height = 480;
    model.distortionModel = "plumb_bob";
    model.d = {0.1, -0.2, 0.001, 0.002, 0.03};
    model.k = {600, 0, 320.5, 0, 601, 240.25, 0, 0, 1};
    for (uint64_t t = 10; t < 14; ++t)
        ASSERT_TRUE(writer.addMessage(info, t, t, mcap_export::cameraInfo(mcap_export::stampOf(t * 1000000001ULL), "D1", model)));
    // The reader compares each camera_info with its attached calibration.
    ASSERT_TRUE(writer.addAttachment("D1/calibration.json", "application/json", 5,
        R"({"streams":{"color":{"intrinsics":{"fx":600,"fy":601,"cx":320.5,"cy":240.25}}}})"));
    ASSERT_TRUE(writer.close());

    std::string why;
    const json mcap = readMcap(file, why);
    ASSERT_TRUE(mcap.is_object()) << why;
    const json& infos = mcap["topics"]["/D1/color/camera_info"]["messages"];
    ASSERT_EQ(infos.size(), 4u);
    EXPECT_EQ(infos[3]["k"], json(model.k));
    EXPECT_EQ(infos[3]["d"], json(model.d));
    EXPECT_EQ(infos[3]["stamp"], std::to_string(13 * 1000000001ULL));
}

TEST_F(SessionExport, CalibratedSessionGetsCameraInfoTransformsAndClockTimes)
{
    SKIP_WITHOUT_READER();
    const std::string session = recordCalibratedSession(4);
    SKIP_WITHOUT_CALIBRATION_INPUT(session);
    const ProgramRun exported = exportSessions({"--out", QString::fromStdString(out()), QString::fromStdString(session)});
    ASSERT_EQ(exported.exitCode, 0) << exported.out << exported.err;
    EXPECT_EQ(exported.out.find("host times"), std::string::npos) << exported.out;
    EXPECT_EQ(exported.out.find("calibration"), std::string::npos) << exported.out;

    std::string why;
    const json mcap = readMcap(out() + "/" + fs::path(session).filename().string() + ".mcap", why);
    ASSERT_TRUE(mcap.is_object()) << why;
    const json& topics = mcap["topics"];
    // The reader has compared every k with the attached calibration.json and each stamp with its image's.
    const json& colourInfo = topics["/D1/color/camera_info"]["messages"];
    const json& depthInfo = topics["/D1/depth/camera_info"]["messages"];
    ASSERT_EQ(colourInfo.size(), 4u);
    ASSERT_EQ(depthInfo.size(), 4u);
    EXPECT_EQ(colourInfo[0]["model"], "plumb_bob");
    EXPECT_EQ(colourInfo[0]["d"], json({0.08, -0.11, 0.0007, -0.0003, 0.04}));
    EXPECT_EQ(depthInfo[0]["model"], "rational_polynomial");
    EXPECT_EQ(depthInfo[0]["d"], json({0.08, -0.11, 0.0007, -0.0003, 0.04, 0.01, 0.002, 0}));
    EXPECT_EQ(colourInfo[0]["width"], kWidth);

    const json& colour = topics["/D1/color/image/compressed"]["messages"];
    const json& depth = topics["/D1/depth/image"]["messages"];
    ASSERT_EQ(colour.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(colour[i]["stamp"], std::to_string(kUtcRef + kFrameNs * i)) << i;
        EXPECT_EQ(depth[i]["stamp"], std::to_string(kUtcRef + kFrameNs * i + kDepthAfterColourNs)) << i;
        EXPECT_EQ(colour[i]["logTime"], std::to_string(kUtcRef + kFrameNs * i + kHostLatencyNs)) << i;
        EXPECT_EQ(depth[i]["frame"], colour[i]["frame"]) << "depth aligned to colour lies in the colour frame";
    }
    const json& imu = topics["/D1/imu"]["messages"];
    ASSERT_EQ(imu.size(), 160u);
    EXPECT_EQ(imu[0]["stamp"], std::to_string(kUtcRef));
    EXPECT_EQ(imu[159]["stamp"], std::to_string(kUtcRef + 5000000LL * 159));

    // Extrinsics: colour is the parent; 90 degrees about z for depth, 180 about x for the IMU.
    ASSERT_EQ(topics["/tf_static"]["count"], 1);
    const json& transforms = topics["/tf_static"]["messages"][0]["transforms"];
    ASSERT_EQ(transforms.size(), 2u);
    EXPECT_EQ(transforms[0]["parent"], "D1_color_optical_frame");
    EXPECT_EQ(transforms[0]["child"], "D1_depth_optical_frame");
    EXPECT_EQ(transforms[0]["translation"], json({-0.0147, 0.0001, 0.0005}));
    const double h = std::sqrt(0.5);
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(transforms[0]["rotation"][i].get<double>(), (std::array<double, 4>{0, 0, h, h})[i], 1e-12);
        EXPECT_NEAR(transforms[1]["rotation"][i].get<double>(), (std::array<double, 4>{1, 0, 0, 0})[i], 1e-12);
    }
    EXPECT_EQ(transforms[1]["child"], "D1_imu_frame");

    std::set<std::string> attachments;
    for (const json& attachment : mcap["attachments"])
        attachments.insert(attachment["name"].get<std::string>());
    EXPECT_EQ(attachments, (std::set<std::string>{"meta.yaml", "D1/calibration.json"}));
}

TEST_F(SessionExport, TumLayoutPairsEveryImageAndKeepsDepth)
{
    KAVREL_SKIP_CHILD_PROCESSES_UNDER_EMULATION();
    const std::string session = recordCalibratedSession(5);
    SKIP_WITHOUT_CALIBRATION_INPUT(session);
    const ProgramRun exported = exportSessions(
        {"--format", "tum", "--jobs", "3", "--out", QString::fromStdString(out()), QString::fromStdString(session)});
    ASSERT_EQ(exported.exitCode, 0) << exported.out << exported.err;
    EXPECT_NE(exported.out.find("5 D1/depth, 5 D1/rgb"), std::string::npos) << exported.out;
    const std::string folder = out() + "/" + fs::path(session).filename().string() + "/D1";

    // Every image listed, every listed file there, and every pair in associations.txt once.
    auto entries = [&](const std::string& list) {
        std::vector<std::pair<std::string, std::string>> lines;
        std::istringstream in(readFile(folder + "/" + list));
        for (std::string line; std::getline(in, line);)
            if (!line.empty() && line[0] != '#') {
                std::istringstream fields(line);
                std::string time, file;
                fields >> time >> file;
                lines.emplace_back(time, file);
            }
        return lines;
    };
    const auto rgb = entries("rgb.txt");
    const auto depth = entries("depth.txt");
    ASSERT_EQ(rgb.size(), 5u);
    ASSERT_EQ(depth.size(), 5u);
    std::istringstream associations(readFile(folder + "/associations.txt"));
    std::vector<std::string> pairs;
    for (std::string line; std::getline(associations, line);)
        pairs.push_back(line);
    ASSERT_EQ(pairs.size(), 5u);
    const auto originals = sortedFiles(session + "/D1/depth");
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(pairs[i], rgb[i].first + " " + rgb[i].second + " " + depth[i].first + " " + depth[i].second);
        EXPECT_EQ(rgb[i].second, "rgb/" + rgb[i].first + ".jpg");
        char expected[32];
        std::snprintf(expected, sizeof expected, "%.6f", (kUtcRef + kFrameNs * static_cast<int64_t>(i)) / 1e9);
        EXPECT_EQ(rgb[i].first, expected);
        EXPECT_EQ(readFile(folder + "/" + rgb[i].second),
            readFile(session + "/D1/color/" + fs::path(originals[i]).filename().string()));
        const cv::Mat tum = cv::imread(folder + "/" + depth[i].second, cv::IMREAD_UNCHANGED);
        const cv::Mat millimetres = cv::imread(originals[i], cv::IMREAD_UNCHANGED);
        ASSERT_EQ(tum.type(), CV_16UC1) << depth[i].second;
        ASSERT_EQ(tum.size(), millimetres.size());
        int worst = 0;
        for (int p = 0; p < static_cast<int>(tum.total()); ++p)
            worst = std::max(worst, std::abs(tum.at<uint16_t>(p) - 5 * millimetres.at<uint16_t>(p)));
        EXPECT_LE(worst, 1) << depth[i].second;
    }

    const json intrinsic = json::parse(readFile(folder + "/camera_intrinsic.json"));
    EXPECT_EQ(intrinsic["width"], kWidth);
    EXPECT_EQ(intrinsic["intrinsic_matrix"], json({52.5, 0, 0, 0, 52.25, 0, 31.75, 17.5, 1}));
    const auto accelerometer = entries("accelerometer.txt");
    ASSERT_EQ(accelerometer.size(), 5u * 40);
    EXPECT_EQ(accelerometer[1].first, "1750000000.005000");

    // A second export replaces the first whole, and leaves no temporary folder.
    fs::remove(session + "/D1/frames.csv");
    ASSERT_EQ(exportSessions({"--format", "tum", "--out", QString::fromStdString(out()), QString::fromStdString(session)})
                  .exitCode, 0);
    EXPECT_NE(entries("rgb.txt")[0].first, rgb[0].first) << "timed by file names now";
    EXPECT_EQ(sortedFiles(folder + "/rgb").size(), 5u);
    EXPECT_EQ(sortedFiles(out()).size(), 1u);
}

TEST_F(SessionExport, UsbCameraImagesBecomeOneImageTopic)
{
    SKIP_WITHOUT_READER();
    const std::string session = root_ + "/20250612-c1-s1/t1/p1/20250612_143000";
    fs::create_directories(session + "/U1/color");
    // The depth camera configured at 1280x720 took nothing; the USB camera took 64x36 pictures.
    kavrel::test::writeFile(session + "/meta.yaml",
        "date: 20250612\ncity: c1\nmachine_id: EMP-TEST\nscene_label: s1\ntask_label: t1\npart_number: p1\n"
        "session_time: 20250612_143000\ncapture_mode: continue_record\ndevice_config:\n  capture_freq: 30\n"
        "  camera1:\n    camera_type_str: Gemini_corlor\n    camera_id: 0\n    width: 1280\n    height: 720\n"
        "    fps: 30\n    exposure_time: 0.0\n"
        "  camera2:\n    camera_type_str: Gemini_depeth\n    camera_id: 0\n    width: 1280\n    height: 720\n"
        "    fps: 30\n    exposure_time: 0.0\n"
        "  camera3:\n    camera_type_str: usb_camera\n    camera_id: 1\n    width: 64\n    height: 36\n"
        "    fps: 30\n    exposure_time: 0.0\n");
    kavrel::test::writeFile(session + "/U1/calibration.json",
        R"({"format_version":1,"calibration_known":false,"device":{"name":"HD Webcam"},)"
        R"("streams":{"color":{"width":64,"height":36,"format":"MJPG","fps":30,"payload":"jpeg","intrinsics":null}}})");
    std::vector<std::string> hashes;
    for (int i = 0; i < 3; ++i) {
        const auto jpeg = save_test::jpegBytes(kWidth, kHeight, i);
        kavrel::test::writeFile(session + "/U1/color/" + save_test::timestampAt(i) + ".png", std::string(jpeg.begin(), jpeg.end()));
        hashes.push_back(sha256(jpeg.data(), jpeg.size()));
    }
    const ProgramRun exported = exportSessions({"--out", QString::fromStdString(out()), QString::fromStdString(session)});
    ASSERT_EQ(exported.exitCode, 0) << exported.out << exported.err;
    std::string why;
    const json mcap = readMcap(out() + "/20250612_143000.mcap", why);
    ASSERT_TRUE(mcap.is_object()) << why;
    ASSERT_EQ(mcap["topics"].size(), 1u) << mcap["topics"].dump();
    const json& images = mcap["topics"]["/U1/image/compressed"]["messages"];
    ASSERT_EQ(images.size(), 3u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(images[i]["sha256"], hashes[i]);
}

// An output that cannot be made, or a file system that refuses the bytes
// (a file size limit stands in for a full card), leaves nothing under the final name.
TEST_F(SessionExport, FailedWritesLeaveNoOutputInEitherFormat)
{
    KAVREL_SKIP_CHILD_PROCESSES_UNDER_EMULATION();
    const std::string session = recordSession("single_shot", 2);
    const std::string notAFolder = root_ + "/not-a-folder";
    kavrel::test::writeFile(notAFolder, "x");
    for (const char* format : {"mcap", "tum"}) {
        const ProgramRun unwritable = exportSessions(
            {"--format", format, "--out", QString::fromStdString(notAFolder), QString::fromStdString(session)});
        EXPECT_EQ(unwritable.exitCode, 1) << format;
        EXPECT_NE(unwritable.out.find("cannot create " + notAFolder), std::string::npos) << unwritable.out;
        EXPECT_EQ(readFile(notAFolder), "x");

        // sh: ignore the signal so the write fails with its error; one 512-byte block per file.
        const ProgramRun full = runProgram(QStringLiteral("sh"),
            {"-c", "trap '' XFSZ; ulimit -f 1; exec \"$0\" \"$@\"", QStringLiteral(KAVREL_EXPORT_PROGRAM), "--format",
                format, "--out", QString::fromStdString(out()), QString::fromStdString(session)});
        EXPECT_EQ(full.exitCode, 1) << format << full.out << full.err;
        EXPECT_NE(full.out.find("File too large"), std::string::npos) << full.out;
        EXPECT_TRUE(!fs::exists(out()) || fs::is_empty(out())) << format << ": " << sortedFiles(out()).front();
    }
}

// Two sessions at once, each with its share of the threads (under ThreadSanitizer in the tsan preset).
TEST_F(SessionExport, SessionsExportSideBySide)
{
    SKIP_WITHOUT_READER();
    const std::string first = recordCalibratedSession(3);
    SKIP_WITHOUT_CALIBRATION_INPUT(first);
    const std::string second = fs::path(first).parent_path().string() + "/20250612_150000";
    fs::copy(first, second, fs::copy_options::recursive);
    fs::remove(second + "/D1/calibration.json");
    const ProgramRun exported = exportSessions({"--jobs", "4", "--out", QString::fromStdString(out()),
        QString::fromStdString(first), QString::fromStdString(second)});
    ASSERT_EQ(exported.exitCode, 0) << exported.out << exported.err;
    EXPECT_NE(exported.out.find("2 sessions, 2 exported whole"), std::string::npos) << exported.out;
    for (const std::string& session : {first, second}) {
        std::string why;
        const json mcap = readMcap(out() + "/" + fs::path(session).filename().string() + ".mcap", why);
        ASSERT_TRUE(mcap.is_object()) << why;
        EXPECT_EQ(mcap["topics"]["/D1/color/image/compressed"]["count"], 3) << session;
        EXPECT_EQ(mcap["topics"].contains("/D1/color/camera_info"), session == first) << session;
    }
}
