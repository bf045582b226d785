#include <filesystem>

#include <QCryptographicHash>
#include <QProcess>
#include <nlohmann/json.hpp>

#include "McapWriter.h"
#include "RecordedSessions.h"
#include "RosMessages.h"

using kavrel::test::readFile;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

struct ProgramRun {
    int exitCode = -1;
    std::string out, err;
};

ProgramRun run(const QString& program, const QStringList& arguments)
{
    QProcess process;
#ifdef KAVREL_TSAN_SUPPRESSIONS
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TSAN_OPTIONS",
        environment.value("TSAN_OPTIONS") + QStringLiteral(" suppressions=" KAVREL_TSAN_SUPPRESSIONS));
    process.setProcessEnvironment(environment);
#endif
    process.start(program, arguments);
    process.waitForFinished(120000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
        process.readAllStandardOutput().toStdString(), process.readAllStandardError().toStdString()};
}

ProgramRun exportSessions(QStringList arguments)
{
    return run(QStringLiteral(KAVREL_EXPORT_PROGRAM), arguments);
}

// The reader's description of the file; empty with the reason in `why` when it refuses it.
json readMcap(const std::string& file, std::string& why)
{
    const ProgramRun reader = run(QStringLiteral("node"), {QStringLiteral(KAVREL_MCAP_READER), QString::fromStdString(file)});
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
};

TEST_F(SessionExport, EveryFileReachesTheReaderUnchanged)
{
    SKIP_WITHOUT_READER();
    const std::string session = recordSession("continue_record", 4);
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

TEST_F(SessionExport, AnUnwritableOutputLeavesNoFile)
{
    KAVREL_SKIP_CHILD_PROCESSES_UNDER_EMULATION();
    const std::string session = recordSession("single_shot", 2);
    // A file where the output folder should be: nothing can be created in it, even as root.
    const std::string notAFolder = root_ + "/not-a-folder";
    kavrel::test::writeFile(notAFolder, "x");
    const ProgramRun failed = exportSessions({"--out", QString::fromStdString(notAFolder), QString::fromStdString(session)});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_NE(failed.out.find("cannot create " + notAFolder), std::string::npos) << failed.out;
    EXPECT_EQ(readFile(notAFolder), "x");
}

// The calibration messages, written by the library directly until sessions carry calibration.
TEST(McapWriter, CalibrationMessagesDecodeWithTheirStoredDefinitions)
{
    SKIP_WITHOUT_READER();
    QTemporaryDir dir;
    const std::string file = dir.path().toStdString() + "/calibration.mcap";
    mcap_export::McapWriter writer(64);  // small chunks: several chunks and indexes
    ASSERT_TRUE(writer.open(file, "ros2", "test"));
    const uint16_t infoSchema = writer.addSchema(mcap_export::kCameraInfoSchema.name, "ros2msg",
        mcap_export::kCameraInfoSchema.definition);
    const uint16_t tfSchema = writer.addSchema(mcap_export::kTfMessageSchema.name, "ros2msg",
        mcap_export::kTfMessageSchema.definition);
    const uint16_t info = writer.addChannel(infoSchema, "/D1/color/camera_info", "cdr");
    const uint16_t tf = writer.addChannel(tfSchema, "/tf_static", "cdr");
    mcap_export::CameraModel model;
    model.width = 640;
    model.height = 480;
    model.distortionModel = "plumb_bob";
    model.d = {0.1, -0.2, 0.001, 0.002, 0.03};
    model.k = {600, 0, 320.5, 0, 601, 240.25, 0, 0, 1};
    model.p = {600, 0, 320.5, 0, 0, 601, 240.25, 0, 0, 0, 1, 0};
    mcap_export::Transform transform{"D1_color_optical_frame", "D1_imu_frame", {0.01, -0.02, 0.003}, {0, 0, 0.7071, 0.7071}};
    ASSERT_TRUE(writer.addMessage(tf, 5, 5, mcap_export::tfMessage(mcap_export::stampOf(5), {transform})));
    for (uint64_t t = 10; t < 14; ++t)
        ASSERT_TRUE(writer.addMessage(info, t, t, mcap_export::cameraInfo(mcap_export::stampOf(t * 1000000001ULL), "D1", model)));
    ASSERT_TRUE(writer.close());

    std::string why;
    const json mcap = readMcap(file, why);
    ASSERT_TRUE(mcap.is_object()) << why;
    const json& infos = mcap["topics"]["/D1/color/camera_info"]["messages"];
    ASSERT_EQ(infos.size(), 4u);
    EXPECT_EQ(infos[3]["k"], json(model.k));
    EXPECT_EQ(infos[3]["d"], json(model.d));
    EXPECT_EQ(infos[3]["p"], json(model.p));
    EXPECT_EQ(infos[3]["width"], 640);
    EXPECT_EQ(infos[3]["stamp"], std::to_string(13 * 1000000001ULL));
    const json& transforms = mcap["topics"]["/tf_static"]["messages"][0]["transforms"];
    ASSERT_EQ(transforms.size(), 1u);
    EXPECT_EQ(transforms[0]["child"], "D1_imu_frame");
    EXPECT_EQ(transforms[0]["translation"], json(transform.translation));
    EXPECT_EQ(transforms[0]["rotation"], json(transform.rotation));
}
