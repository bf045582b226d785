// Sessions damaged the way cards and hands damage them, and made hostile on
// purpose: each must end failed with its damage named, never with a signal,
// a hang or gigabytes of memory.

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>

#include <sys/resource.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "CheckerTestSupport.h"
#include "ClaimedImages.h"
#include "RecordedSessions.h"
#include "SessionRecords.h"

using namespace session_check;
using namespace check_test;
using kavrel::test::jpegClaiming;
using kavrel::test::pngClaiming;
using kavrel::test::readFile;
using kavrel::test::writeFile;
namespace fs = std::filesystem;

namespace {

void replaceFirst(const std::string& file, const std::string& from, const std::string& to)
{
    std::string text = readFile(file);
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    writeFile(file, text.replace(at, from.size(), to));
}

void replaceWithFifo(const std::string& file)
{
    fs::remove(file);
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0) << file;
}

long peakRssMegabytes()
{
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;  // kilobytes on Linux
}

struct Damage {
    const char* name;
    std::function<void(const std::string& session)> apply;
    ProblemKind expected;
    std::string named;  // in "<file>: <detail>"
};

} // namespace

class HostileSessions : public check_test::RecordedSessions {
protected:
    void SetUp() override
    {
        RecordedSessions::SetUp();
        good_ = recordSession("single_shot", 3);
        t0_ = save_test::timestampAt(0);
        t1_ = save_test::timestampAt(1);
        outside_ = dir_.path().toStdString() + "/board-secret";
        writeFile(outside_, "secret_access_key = do-not-send\n");
    }

    // Every damage class, each applied to its own copy of a good session.
    std::vector<Damage> damages() const
    {
        const std::string t0 = t0_, t1 = t1_, outside = outside_;
        const std::string colour1 = "D1/color/" + t1 + ".png", depth1 = "D1/depth/" + t1 + ".png";
        auto meta = [](const std::string& from, const std::string& to) {
            return [from, to](const std::string& s) { replaceFirst(s + "/meta.yaml", from, to); };
        };
        return {
            {"truncated JPEG", [=](const std::string& s) {
                 fs::resize_file(s + "/" + colour1, fs::file_size(s + "/" + colour1) / 2); },
                ProblemKind::BadImage, t1},
            {"missing depth image", [=](const std::string& s) { fs::remove(s + "/D1/depth/" + t0 + ".png"); },
                ProblemKind::MissingDepth, t0},
            {"binary data.json line", [](const std::string& s) {
                 const std::string binary("\x01\xff\xfe garbage\0\x7f", 14);
                 std::ofstream(s + "/D1/data.json", std::ios::app) << binary << "\n"; },
                ProblemKind::BadImuLine, "data.json"},
            {"manifest naming a missing file", [](const std::string& s) {
                 auto manifest = nlohmann::json::parse(readFile(s + "/manifest.json"));
                 manifest["20990101000000000"]
                     = {{"files", {"D1/color/20990101000000000.png"}}, {"tags", nlohmann::json::array()}};
                 writeFile(s + "/manifest.json", manifest.dump(2)); },
                ProblemKind::BadManifest, "20990101000000000"},
            {"leftover temporary file", [=](const std::string& s) {
                 writeFile(s + "/D1/color/" + t0 + ".png.part", "half"); },
                ProblemKind::LeftoverFile, ".part"},
            {"depth PNG of the wrong size", [=](const std::string& s) {
                 cv::imwrite(s + "/" + depth1, cv::Mat(18, 32, CV_16UC1, cv::Scalar(900))); },
                ProblemKind::WrongDepthFormat, "32x18"},
            {"8-bit depth PNG", [=](const std::string& s) {
                 cv::imwrite(s + "/" + depth1, cv::Mat(kHeight, kWidth, CV_8UC1, cv::Scalar(9))); },
                ProblemKind::WrongDepthFormat, "expected 16-bit grey"},
            {"unparseable meta.yaml", [](const std::string& s) {
                 writeFile(s + "/meta.yaml", "date: [unclosed\n  : :"); },
                ProblemKind::BadMeta, "meta.yaml"},
            {"meta.yaml keys out of order", [](const std::string& s) {
                 const std::string text = readFile(s + "/meta.yaml");
                 const size_t line = text.find("machine_id");
                 const std::string rest = text.substr(0, line) + text.substr(text.find('\n', line) + 1);
                 writeFile(s + "/meta.yaml", "machine_id: X\n" + rest); },
                ProblemKind::BadMeta, "machine_id"},
            {"missing meta.yaml", [](const std::string& s) { fs::remove(s + "/meta.yaml"); }, ProblemKind::MissingFile,
                "meta.yaml"},
            {"missing manifest", [](const std::string& s) { fs::remove(s + "/manifest.json"); },
                ProblemKind::MissingFile,
                "manifest.json"},
            {"depth PNG claiming 100000x100000", [=](const std::string& s) {
                 writeFile(s + "/" + depth1, pngClaiming(100000, 100000, 16, 0)); },
                ProblemKind::WrongDepthFormat, "100000x100000"},
            {"colour JPEG claiming 60000x60000", [=](const std::string& s) {
                 writeFile(s + "/" + colour1, jpegClaiming(60000, 60000)); },
                ProblemKind::WrongImageFormat, "60000x60000"},
            {"depth PNG claiming 20000x20000", [=](const std::string& s) {
                 writeFile(s + "/" + depth1, pngClaiming(20000, 20000, 16, 0) + std::string(760 << 10, 'z')); },
                ProblemKind::WrongDepthFormat, "20000x20000"},
            {"16-bit grey PNG in color/", [=](const std::string& s) {
                 cv::imwrite(s + "/" + colour1, cv::Mat(kHeight, kWidth, CV_16UC1, cv::Scalar(700))); },
                ProblemKind::WrongImageFormat, "expected 8-bit"},
            {"image that is neither PNG nor JPEG", [=](const std::string& s) { writeFile(s + "/" + colour1, "GIF89a"); },
                ProblemKind::BadImage, "neither PNG nor JPEG"},
            {"40 MB data.json line", [](const std::string& s) {
                 std::ofstream(s + "/D1/data.json", std::ios::app) << std::string(40u << 20, '7') << "\n"; },
                ProblemKind::BadImuLine, "longer than 65536 bytes"},
            {"empty data.json", [](const std::string& s) { fs::resize_file(s + "/D1/data.json", 0); },
                ProblemKind::BadImuLine, "data.json: is empty"},
            {"missing data.json", [](const std::string& s) { fs::remove(s + "/D1/data.json"); },
                ProblemKind::MissingFile, "D1/data.json"},
            {"data.json without its version line", [](const std::string& s) {
                 const std::string text = readFile(s + "/D1/data.json");
                 writeFile(s + "/D1/data.json", text.substr(text.find('\n') + 1)); },
                ProblemKind::BadImuLine, "line 1 is not the version line"},
            {"IMU time jumping back 1000000 s", [](const std::string& s) {
                 const std::string text = readFile(s + "/D1/data.json");
                 const size_t lastLine = text.rfind('\n', text.size() - 2) + 1;
                 auto sample = nlohmann::json::parse(text.substr(lastLine));
                 sample["time"] = sample["time"].get<double>() - 1000000.0;
                 std::ofstream(s + "/D1/data.json", std::ios::app) << sample.dump() << "\n"; },
                ProblemKind::ImuTimeBackwards, "goes back 1000000000.0 ms"},
            {"manifest.json linked to /dev/zero", [](const std::string& s) {
                 fs::remove(s + "/manifest.json");
                 fs::create_symlink("/dev/zero", s + "/manifest.json"); },
                ProblemKind::RefusedFile, "outside the session"},
            {"manifest.json a FIFO", [](const std::string& s) { replaceWithFifo(s + "/manifest.json"); },
                ProblemKind::RefusedFile, "is a FIFO"},
            {"meta.yaml a FIFO", [](const std::string& s) { replaceWithFifo(s + "/meta.yaml"); },
                ProblemKind::RefusedFile, "meta.yaml: is a FIFO"},
            {"10 MB meta.yaml", [](const std::string& s) {
                 std::ofstream(s + "/meta.yaml", std::ios::app) << "padding: \"" << std::string(10u << 20, 'm') << "\"\n"; },
                ProblemKind::RefusedFile, "more than the 1048576 allowed"},
            {"manifest listing a million files", [](const std::string& s) {
                 std::ofstream out(s + "/manifest.json");
                 out << R"({"20250612143000000":{"files":[)";
                 for (int i = 0; i < 1000000; ++i)
                     out << (i ? "," : "") << "\"D1/color/" << i << ".png\"";
                 out << "]}}"; },
                ProblemKind::RefusedFile, "manifest.json: is"},
            {"manifest listing a file twice", [=](const std::string& s) {
                 auto manifest = nlohmann::json::parse(readFile(s + "/manifest.json"));
                 manifest[t0]["files"].push_back("D1/color/" + t0 + ".png");
                 writeFile(s + "/manifest.json", manifest.dump(2)); },
                ProblemKind::BadManifest, "lists D1/color/" + t0 + ".png twice"},
            {"manifest key not matching its files", [=](const std::string& s) {
                 auto manifest = nlohmann::json::parse(readFile(s + "/manifest.json"));
                 manifest["20250612143000999"] = manifest[t0];
                 manifest.erase(t0);
                 writeFile(s + "/manifest.json", manifest.dump(2)); },
                ProblemKind::BadManifest, "taken at another time"},
            {"image entry a FIFO", [=](const std::string& s) { replaceWithFifo(s + "/" + colour1); },
                ProblemKind::RefusedFile, colour1 + ": is a FIFO"},
            {"image entry a folder", [=](const std::string& s) {
                 fs::remove(s + "/" + depth1);
                 fs::create_directory(s + "/" + depth1); },
                ProblemKind::RefusedFile, depth1 + ": is a folder"},
            {"image entry linked to a device", [=](const std::string& s) {
                 fs::remove(s + "/" + colour1);
                 fs::create_symlink("/dev/urandom", s + "/" + colour1); },
                ProblemKind::RefusedFile, colour1 + ": is a link to /dev/urandom"},
            {"device folder linked out of the session", [](const std::string& s) {
                 fs::create_directory_symlink("/etc", s + "/D2"); },
                ProblemKind::RefusedFile, "D2: is a link to /etc"},
            {"notes.txt linked to a secret", [=](const std::string& s) {
                 fs::create_symlink(outside, s + "/notes.txt"); },
                ProblemKind::RefusedFile, "notes.txt: is a link to " + outside},
            {"capture_mode a list", meta("capture_mode: single_shot", "capture_mode: [1, 2, 3]"), ProblemKind::BadMeta,
                "meta.yaml: capture_mode is a list, want single_shot, continue_shot or continue_record"},
            {"unknown capture_mode", meta("capture_mode: single_shot", "capture_mode: burst"), ProblemKind::BadMeta,
                "capture_mode is \"burst\", want"},
            {"width abc", meta("width: 64", "width: abc"), ProblemKind::BadMeta,
                "meta.yaml: camera1.width is \"abc\", want a positive integer"},
            {"width -1", meta("width: 64", "width: -1"), ProblemKind::BadMeta, "camera1.width is \"-1\", want a positive integer up to 8192"},
            {"width 0", meta("width: 64", "width: 0"), ProblemKind::BadMeta, "camera1.width is \"0\""},
            {"width 1280.5", meta("width: 64", "width: 1280.5"), ProblemKind::BadMeta, "camera1.width is \"1280.5\""},
            {"width 2^32+1280", meta("width: 64", "width: 4294968576"), ProblemKind::BadMeta,
                "camera1.width is \"4294968576\""},
            {"fps a mapping", meta("fps: 30", "fps: {a: 1}"), ProblemKind::BadMeta, "camera1.fps is a mapping"},
            {"empty camera3", [](const std::string& s) {
                 std::string text = readFile(s + "/meta.yaml");
                 const size_t at = text.find("  camera3:\n") + 11;
                 size_t end = at;
                 while (text.compare(end, 4, "    ") == 0)
                     end = text.find('\n', end) + 1;
                 writeFile(s + "/meta.yaml", text.erase(at, end - at)); },
                ProblemKind::BadMeta, "camera3 is empty"},
            {"duplicate key", [](const std::string& s) {
                 std::ofstream(s + "/meta.yaml", std::ios::app) << "date: 20990101\n"; },
                ProblemKind::BadMeta, "date appears twice"},
            {"two YAML documents", [](const std::string& s) {
                 std::ofstream(s + "/meta.yaml", std::ios::app) << "---\ndate: 20990101\n"; },
                ProblemKind::BadMeta, "holds more than one YAML document"},
            {"invalid UTF-8", [](const std::string& s) {
                 std::ofstream(s + "/meta.yaml", std::ios::app) << "note: \"\xC0\xAF\"\n"; },
                ProblemKind::BadMeta, "not valid UTF-8"},
            {"lone comma (endless for a loader of every document)", [](const std::string& s) { writeFile(s + "/meta.yaml", ","); },
                ProblemKind::BadMeta, "meta.yaml: holds more than one YAML document"},
            {"alias bomb", [](const std::string& s) {
                 std::ofstream out(s + "/meta.yaml", std::ios::app);
                 out << "bomb0: &b0 [x, x, x, x, x, x, x, x, x, x]\n";
                 for (int i = 1; i < 9; ++i)
                     out << "bomb" << i << ": &b" << i << " [*b" << i - 1 << ", *b" << i - 1 << ", *b" << i - 1
                         << ", *b" << i - 1 << ", *b" << i - 1 << ", *b" << i - 1 << ", *b" << i - 1 << "]\n"; },
                ProblemKind::BadMeta, "holds more than"},
        };
    }

    std::string copyFor(std::string name) const
    {
        std::replace(name.begin(), name.end(), '/', '_');
        return copySession(good_, root_ + "/hostile/" + name + "/" + fs::path(good_).filename().string());
    }

    std::string good_, t0_, t1_, outside_;
};

TEST_F(HostileSessions, EveryDamageFailsTheSessionByNameWithinBoundedMemory)
{
    const SessionReport goodReport = checkSession(good_, 2);
    ASSERT_TRUE(goodReport.passed()) << describe(goodReport);
    EXPECT_EQ(goodReport.imu.samples, 120u);
    for (const Damage& damage : damages()) {
        SCOPED_TRACE(damage.name);
        const std::string copy = copyFor(damage.name);
        damage.apply(copy);
        const SessionReport report = checkSession(copy, 2);
        EXPECT_FALSE(report.passed());
        EXPECT_TRUE(hasProblem(report, damage.expected, damage.named)) << describe(report);
    }
    const long peak = peakRssMegabytes();
    std::printf("peak RSS after %zu hostile sessions: %ld MB\n", damages().size(), peak);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer's shadow memory, not the readers, sets the peak in such a build.
#else
    EXPECT_LT(peak, 300);
#endif
}

// Soil is photographed on request without IMU samples: its depth images stand
// without a data.json, which every other task's session must have.
TEST_F(HostileSessions, OnlySoilCollectionMayLackItsImuFile)
{
    const std::string soil = copyFor("soil without data.json");
    std::string meta = readFile(soil + "/meta.yaml");
    const size_t at = meta.find("task_label: ") + 12;
    writeFile(soil + "/meta.yaml", meta.replace(at, meta.find('\n', at) - at, "soil_collection"));
    fs::remove(soil + "/D1/data.json");
    check_test::asOlderSession(soil);
    EXPECT_TRUE(checkSession(soil, 2).passed()) << describe(checkSession(soil, 2));
}

// One run over a dataset of hostile sessions and a good one: the program
// ends by itself (no signal), every session has its line and the good passes;
// its exit status is 0 when every session passes, 2 when it finds none.
TEST_F(HostileSessions, ProgramPrintsEverySessionWhateverTheOthersDid)
{
    KAVREL_SKIP_CHILD_PROCESSES_UNDER_EMULATION();
    const std::vector<Damage> all = damages();
    std::vector<std::string> copies;
    for (const Damage& damage : all) {
        copies.push_back(copyFor(damage.name));
        damage.apply(copies.back());
    }
    const std::string goodCopy = copyFor("zz good");
    const auto run = kavrel::test::runProgram(
        QStringLiteral(KAVREL_CHECK_PROGRAM), {"--jobs", "2", QString::fromStdString(root_ + "/hostile")});
    EXPECT_EQ(run.exitCode, 1) << "-1: kavrel-check hung or ended by a signal";
    const std::string& out = run.out;
    for (const std::string& copy : copies)
        EXPECT_NE(out.find("FAIL " + copy + "  "), std::string::npos) << copy << "\n" << out;
    EXPECT_NE(out.find("OK   " + goodCopy + "  "), std::string::npos) << out;
    EXPECT_NE(out.find("bad_image  D1/color/" + t1_), std::string::npos) << out;
    EXPECT_NE(out.find(std::to_string(copies.size() + 1) + " sessions checked, 1 passed"), std::string::npos) << out;

    const QString checker = QStringLiteral(KAVREL_CHECK_PROGRAM);
    const auto good = kavrel::test::runProgram(checker, {"--json", QString::fromStdString(goodCopy)});
    EXPECT_EQ(good.exitCode, 0) << good.out;
    const auto reports = nlohmann::json::parse(good.out, nullptr, false);
    ASSERT_TRUE(reports.is_array() && reports.size() == 1) << good.out;
    EXPECT_EQ(reports[0]["passed"], true);
    EXPECT_EQ(reports[0]["frame_sets"], 3);
    const auto nothing = kavrel::test::runProgram(checker, {QString::fromStdString(root_ + "/nothing-here")});
    EXPECT_EQ(nothing.exitCode, 2);
}

// The records page's reading side (its thumbnails: DecoderLimitTest): a depth
// image claiming a huge size is not coloured, and a task that throws does not
// end the thread.
TEST_F(HostileSessions, RecordsPageRefusesAHugeDepthImageAndKeepsRunning)
{
    const std::string copy = copyFor("huge depth image");
    const std::string depth = copy + "/" + listFrameSets(copy).front().depth;
    writeFile(depth, pngClaiming(100000, 100000, 16, 0));
    EXPECT_TRUE(colourisedDepth(depth).isNull());

    std::atomic<bool> ranAfter{false};
    {
        TaskThread thread;
        thread.post([] { throw std::runtime_error("damaged card"); });
        thread.post([&] { ranAfter = true; });
        EXPECT_TRUE(kavrel::test::waitUntil([&] { return ranAfter.load(); }));
    }
}
