#include <fstream>

#include <nlohmann/json.hpp>

#include "CheckerTestSupport.h"
#include "RecordedSessions.h"

using namespace session_check;
using namespace check_test;
using kavrel::test::readFile;
using kavrel::test::writeFile;
namespace fs = std::filesystem;

namespace {

kavrel::test::ProgramRun runChecker(const QStringList& arguments)
{
    return kavrel::test::runProgram(QStringLiteral(KAVREL_CHECK_PROGRAM), arguments, 60000);
}

} // namespace

class SessionChecker : public check_test::RecordedSessions { };

TEST_F(SessionChecker, ReportsEachDamageOnACopy)
{
    const std::string good = recordSession("single_shot", 3);
    const SessionReport goodReport = checkSession(good, 2);
    EXPECT_TRUE(goodReport.passed()) << describe(goodReport);
    EXPECT_EQ(goodReport.imu.samples, 120u);
    EXPECT_EQ(goodReport.imu.gaps, 0u);
    const std::string t0 = save_test::timestampAt(0);
    const std::string t1 = save_test::timestampAt(1);
    struct Case {
        const char* name;
        std::function<void(const std::string&)> damage;
        ProblemKind expected;
        std::string where;
    };
    const std::vector<Case> cases = {
        {"truncated JPEG", [&](const std::string& s) {
             const std::string file = s + "/D1/color/" + t1 + ".png";
             fs::resize_file(file, fs::file_size(file) / 2);
         }, ProblemKind::BadImage, t1},
        {"missing depth image", [&](const std::string& s) { fs::remove(s + "/D1/depth/" + t0 + ".png"); },
            ProblemKind::MissingDepth, t0},
        {"bad data.json line", [&](const std::string& s) {
             std::ofstream(s + "/D1/data.json", std::ios::app) << std::string("\x01\xff\xfe garbage\0\x7f", 14) << "\n";
         }, ProblemKind::BadImuLine, "data.json"},
        {"manifest naming a missing file", [&](const std::string& s) {
             auto manifest = nlohmann::json::parse(readFile(s + "/manifest.json"));
             manifest["20990101000000000"] = {{"files", {"D1/color/20990101000000000.png"}}, {"tags", nlohmann::json::array()}};
             writeFile(s + "/manifest.json", manifest.dump(2));
         }, ProblemKind::BadManifest, "20990101000000000"},
        {"leftover temporary file", [&](const std::string& s) { writeFile(s + "/D1/color/" + t0 + ".png.part", "half"); },
            ProblemKind::LeftoverFile, ".part"},
        {"depth PNG of the wrong size", [&](const std::string& s) {
             cv::imwrite(s + "/D1/depth/" + t1 + ".png", cv::Mat(18, 32, CV_16UC1, cv::Scalar(900)));
         }, ProblemKind::WrongDepthFormat, "32x18"},
        {"8-bit depth PNG", [&](const std::string& s) {
             cv::imwrite(s + "/D1/depth/" + t1 + ".png", cv::Mat(kHeight, kWidth, CV_8UC1, cv::Scalar(9)));
         }, ProblemKind::WrongDepthFormat, "expected 16-bit grey"},
        {"unparseable meta.yaml", [&](const std::string& s) { writeFile(s + "/meta.yaml", "date: [unclosed\n  : :"); },
            ProblemKind::BadMeta, "meta.yaml"},
        {"meta.yaml keys out of order", [&](const std::string& s) {
             const std::string meta = readFile(s + "/meta.yaml");
             writeFile(s + "/meta.yaml", "machine_id: X\n" + meta.substr(0, meta.find("machine_id")) +
                 meta.substr(meta.find('\n', meta.find("machine_id")) + 1));
         }, ProblemKind::BadMeta, "machine_id"},
        {"missing meta.yaml", [&](const std::string& s) { fs::remove(s + "/meta.yaml"); }, ProblemKind::MissingFile,
            "meta.yaml"},
        {"missing manifest", [&](const std::string& s) { fs::remove(s + "/manifest.json"); }, ProblemKind::MissingFile,
            "manifest.json"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string copy = copySession(good, root_ + "/copies/" + c.name + "/" + fs::path(good).filename().string());
        c.damage(copy);
        const SessionReport report = checkSession(copy, 2);
        EXPECT_FALSE(report.passed());
        EXPECT_TRUE(hasProblem(report, c.expected, c.where)) << describe(report);
    }
}

TEST_F(SessionChecker, ProgramFindsSessionsBelowADatasetAndSetsItsExitStatus)
{
    KAVREL_SKIP_CHILD_PROCESSES_UNDER_EMULATION();
    const std::string first = recordSession("continue_record", 2);
    const std::string second = recordSession("single_shot", 2, 10);
    const QString dataset = QString::fromStdString(root_ + "/20250612-c1-s1");

    kavrel::test::ProgramRun run = runChecker({"--json", dataset});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    const auto reports = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_TRUE(reports.is_array()) << run.out;
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0]["passed"], true);
    EXPECT_EQ(reports[1]["frame_sets"], 2);

    fs::resize_file(second + "/D1/color/" + save_test::timestampAt(11) + ".png", 100);
    run = runChecker({dataset});
    EXPECT_EQ(run.exitCode, 1) << run.out;
    EXPECT_NE(run.out.find("OK   " + first), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("FAIL " + second), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("bad_image  D1/color/" + save_test::timestampAt(11)), std::string::npos) << run.out;

    EXPECT_EQ(runChecker({QString::fromStdString(root_ + "/nothing-here")}).exitCode, 2);
}
