#include <fstream>
#include <functional>

#include <QProcess>
#include <nlohmann/json.hpp>

#include "RecordedSessions.h"
#include "SessionCheck.h"

using namespace session_check;
using kavrel::test::readFile;
using kavrel::test::writeFile;
namespace fs = std::filesystem;

namespace {

bool hasProblem(const SessionReport& report, ProblemKind kind, const std::string& fileOrDetail = {})
{
    for (const auto& problem : report.problems)
        if (problem.kind == kind
            && (problem.file.find(fileOrDetail) != std::string::npos
                || problem.detail.find(fileOrDetail) != std::string::npos))
            return true;
    return false;
}

std::string describe(const SessionReport& report)
{
    std::string text = summaryLine(report);
    for (const auto& line : detailLines(report))
        text += "\n" + line;
    return text;
}

// Rewrites a text file line by line through edit.
void editLines(const std::string& file, const std::function<void(std::vector<std::string>&)>& edit)
{
    auto lines = save_test::lines(readFile(file));
    edit(lines);
    std::string text;
    for (const auto& line : lines)
        text += line + "\n";
    writeFile(file, text);
}

struct CheckerRun {
    int exitCode = -1;
    std::string out;
};

CheckerRun runChecker(const QStringList& arguments)
{
    QProcess process;
#ifdef KAVREL_TSAN_SUPPRESSIONS
    // The program is not a test: under ThreadSanitizer it needs the same
    // suppressions for the libraries it uses.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TSAN_OPTIONS",
        environment.value("TSAN_OPTIONS") + QStringLiteral(" suppressions=" KAVREL_TSAN_SUPPRESSIONS));
    process.setProcessEnvironment(environment);
#endif
    process.start(QStringLiteral(KAVREL_CHECK_PROGRAM), arguments);
    process.waitForFinished(60000);
    return {process.exitCode(), process.readAllStandardOutput().toStdString()};
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
        {"IMU hole", [&](const std::string& s) {
             // 20 samples out: 105 ms between two samples.
             editLines(s + "/D1/data.json", [](auto& data) { data.erase(data.begin() + 21, data.begin() + 61); });
         }, ProblemKind::ImuGap, "data.json"},
        {"IMU time going back", [&](const std::string& s) {
             editLines(s + "/D1/data.json", [](auto& data) { std::swap(data[3], data[61]); });
         }, ProblemKind::ImuTimeBackwards, "data.json"},
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
        const std::string copy = root_ + "/copies/" + c.name + "/" + fs::path(good).filename().string();
        fs::create_directories(copy);
        fs::copy(good, copy, fs::copy_options::recursive);
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

    CheckerRun run = runChecker({"--json", dataset});
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

// A continuous session recorded in two runs: images every 200 ms, IMU at
// 200 Hz, both stopped for the same pause between the runs. The pause is no
// hole; an IMU gap the images do not share is one.
TEST_F(SessionChecker, PauseBetweenRunsIsNoImuHoleButAGapTheImagesLackIs)
{
    const std::string recorded = recordSession("continue_record", 4);
    struct Case {
        const char* name;
        int secondRunImagesAtMs;  // the first image of the second run
        bool holeInFirstRun;
        size_t gaps, pauses;
    };
    const Case cases[] = {
        {"pause in both streams", 3000, false, 0, 1},
        {"pause and a hole", 3000, true, 1, 1},
        {"images never stopped", 800, false, 1, 0},
        {"images stopped for less", 1400, false, 1, 0},
        {"images stopped for far longer", 9000, false, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string copy = dir_.path().toStdString() + "/copy/20250612_150000";
        fs::remove_all(copy);
        fs::create_directories(fs::path(copy).parent_path());
        fs::copy(recorded, copy, fs::copy_options::recursive);
        for (const char* kind : {"color", "depth"}) {
            const std::string folder = copy + "/D1/" + kind + "/";
            for (int k = 3; k >= 0; --k) {
                const std::string name = folder + save_test::timestampAt(k) + ".png";
                fs::copy_file(name, folder + save_test::timestampAt(c.secondRunImagesAtMs + 200 * k) + ".png");
                fs::rename(name, folder + save_test::timestampAt(200 * k) + ".png");
            }
        }
        // The second run's IMU samples: the first run's, 3 s later.
        editLines(copy + "/D1/data.json", [&](std::vector<std::string>& data) {
            const size_t samples = data.size();
            for (size_t i = 1; i < samples; ++i) {
                auto line = nlohmann::json::parse(data[i]);
                line["time"] = line["time"].get<double>() + 3.0;
                data.push_back(line.dump());
            }
            if (c.holeInFirstRun)
                data.erase(data.begin() + 21, data.begin() + 61);
        });
        check_test::asOlderSession(copy);
        const SessionReport report = checkSession(copy, 2);
        EXPECT_EQ(report.imu.gaps, c.gaps) << describe(report);
        EXPECT_EQ(report.imu.pauses, c.pauses) << describe(report);
        EXPECT_EQ(report.passed(), c.gaps == 0) << describe(report);
        if (c.gaps == 0) {
            EXPECT_NEAR(report.imu.rateHz, 200.0, 1.0) << "the pause is left out of the rate";
        }
    }
}
