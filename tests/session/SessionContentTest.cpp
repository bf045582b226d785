// The files a session gains for people who use it without the device, as the
// save worker writes them: no file replaced when the wall clock steps back,
// frames.csv listing exactly the pairs on the card, SHA256SUMS that coreutils
// verifies, and the checker finding each kind of damage to them.

#include <QProcess>
#include <nlohmann/json.hpp>

#include "CheckerTestSupport.h"
#include "RecordedSessions.h"
#include "Checksums.h"

namespace {

using namespace save_test;
using check_test::describe;
using check_test::editLines;
using check_test::hasProblem;
using kavrel::test::readFile;
using kavrel::test::writeFile;
using session_check::ProblemKind;
using json = nlohmann::json;

constexpr uint64_t kDeviceStartUs = 9000000000ULL;
constexpr int64_t kHostStartUs = 1765000000000000LL;

std::shared_ptr<const StreamCalibration> calibration640()
{
    auto c = std::make_shared<StreamCalibration>();
    c->name = "sim";
    c->depthUnitM = 0.001;
    StreamCalibration::Stream stream;
    stream.width = 64;
    stream.height = 36;
    stream.format = "MJPG";
    stream.payload = "jpeg";
    stream.intrinsics = StreamCalibration::Pinhole{50, 50, 32, 18};
    c->colour = stream;
    stream.format = "Y16";
    stream.payload = "png16";
    c->depth = stream;
    return c;
}

// A set of the depth camera, device time `n` frames after the start, named by `stamp`.
FrameSet deviceSet(const std::string& stamp, int n)
{
    FrameSet set = frameSet(stamp, imageFromBytes(jpegBytes(64, 36, n)), depthImage(64, 36));
    set.colour.deviceUs = set.depth.deviceUs = kDeviceStartUs + 33333ULL * n;
    set.colour.frameIndex = set.depth.frameIndex = static_cast<uint64_t>(n);
    set.hostUtcUs = kHostStartUs + 33333LL * n + 2000;
    set.calibration = calibration640();
    return set;
}

std::vector<std::vector<std::string>> csvRows(const std::string& file)
{
    std::vector<std::vector<std::string>> rows;
    for (const auto& line : lines(readFile(file))) {
        std::vector<std::string> fields;
        std::stringstream in(line);
        for (std::string field; std::getline(in, field, ',');)
            fields.push_back(field);
        rows.push_back(fields);
    }
    return rows;
}

class SessionContent : public SaveFixture {
protected:
    void SetUp() override
    {
        SaveFixture::SetUp();
        check_test::configureCameras();
    }

    // One run of the given stamps (frame n gets stamps[n]), IMU alongside.
    std::string run(const std::vector<std::string>& stamps, int firstFrame)
    {
        const size_t before = results_.size();
        EXPECT_TRUE(beginRun(true));
        for (size_t i = 0; i < stamps.size(); ++i) {
            const int n = firstFrame + static_cast<int>(i);
            pushFrameSet(deviceSet(stamps[i], n));
            for (int k = 0; k < 7; ++k) {
                ImuSample sample = imuSample(n * 7 + k);
                sample.accelUs = sample.gyroUs = kDeviceStartUs + 33333ULL * n + 4761ULL * k;
                sample.hostUtcUs = kHostStartUs + 33333LL * n + 4761LL * k + 1000;
                EXPECT_TRUE(queues_->pushImu(std::move(sample)));
            }
        }
        task_->endRun();
        EXPECT_TRUE(waitForResults(before + 1));
        return results_.empty() ? std::string() : results_.back();
    }
};

TEST_F(SessionContent, AClockSetBackLosesNoFrameSetAndTheIndexAndChecksumsHoldEveryFile)
{
    startWorker();
    // The wall clock steps back twice: stamps repeat within the run and across runs.
    const std::vector<std::string> first = {timestampAt(0), timestampAt(1), timestampAt(2), timestampAt(1), timestampAt(1), timestampAt(0)};
    const std::vector<std::string> second = {timestampAt(2), timestampAt(3)};
    const std::string session = run(first, 0);
    ASSERT_EQ(run(second, 6), session) << "both runs go to one session";

    const auto colour = filesUnder(session + "/D1/color");
    const auto depth = filesUnder(session + "/D1/depth");
    EXPECT_EQ(colour.size(), 8u) << "every frame set is on the card";
    EXPECT_EQ(depth, colour) << "colour and depth pair by name";

    // frames.csv: exactly the pairs on disk, sets counted across the session, device times as given.
    const auto rows = csvRows(session + "/D1/frames.csv");
    ASSERT_EQ(rows.size(), 9u);
    std::vector<std::string> listed;
    for (size_t i = 1; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), 8u) << "an empty snapshot id ends the row";
        EXPECT_EQ(rows[i][0], std::to_string(i));
        EXPECT_EQ(rows[i][1].substr(6), rows[i][2].substr(6)) << "one stem per set";
        listed.push_back(rows[i][1].substr(6));
        const int n = int(i) - 1;
        EXPECT_EQ(rows[i][3], std::to_string(kDeviceStartUs + 33333ULL * n));
        EXPECT_EQ(rows[i][7], std::to_string((kHostStartUs + 33333LL * n + 2000) * 1000));
    }
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, colour);

    // data.json lines carry each sensor's own device time.
    const json line = json::parse(lines(readFile(session + "/D1/data.json"))[1]);
    EXPECT_EQ(line["device_us"].get<uint64_t>(), kDeviceStartUs);

    // SHA256SUMS: every file but itself, each with the hash of its bytes on the card.
    const auto sums = checksums::parse(readFile(session + "/SHA256SUMS"));
    EXPECT_TRUE(sums.error.empty());
    std::vector<std::string> hashed;
    for (const auto& [relative, hex] : sums.sums) {
        hashed.push_back(relative);
        EXPECT_EQ(hex, checksums::sha256Hex(readFile(session + "/" + relative))) << relative;
    }
    auto everything = filesUnder(session);
    everything.erase(std::remove(everything.begin(), everything.end(), "SHA256SUMS"), everything.end());
    EXPECT_EQ(hashed, everything);

    const auto report = session_check::checkSession(session);
    EXPECT_TRUE(report.passed()) << describe(report);
    EXPECT_TRUE(report.notes.empty()) << describe(report);
    // The records page pairs the renamed sets as it pairs the others.
    const auto sets = session_check::listFrameSets(session);
    EXPECT_EQ(sets.size(), 8u);
    for (const auto& set : sets)
        EXPECT_EQ(fs::path(set.colour).filename(), fs::path(set.depth).filename()) << set.colour;

#ifndef KAVREL_UNDER_EMULATION
    QProcess sha256sum;
    sha256sum.setWorkingDirectory(QString::fromStdString(session));
    sha256sum.start("sha256sum", {"--check", "--strict", "--quiet", "SHA256SUMS"});
    ASSERT_TRUE(sha256sum.waitForFinished(30000));
    EXPECT_EQ(sha256sum.exitCode(), 0) << sha256sum.readAll().toStdString();
#endif
}

// Soil collection: the USB camera's colour-only sets, without a device clock,
// share the folder with the depth camera's.
TEST_F(SessionContent, UsbSetsBesideTheDepthCameraAreIndexedWithoutADeviceTime)
{
    startWorker();
    EXPECT_TRUE(beginRun(true));
    auto usbCalibration = std::make_shared<StreamCalibration>();
    usbCalibration->usbCamera = true;
    usbCalibration->name = "USB Camera: HD Webcam";
    for (int n = 0; n < 3; ++n) {
        pushFrameSet(deviceSet(timestampAt(2 * n), n));
        FrameSet usb = frameSet(timestampAt(2 * n + 1), imageFromBytes(jpegBytes(64, 36, n)), std::nullopt);
        usb.colour.frameIndex = static_cast<uint64_t>(n + 1);
        usb.hostUtcUs = kHostStartUs + 33333LL * n + 9000;
        usb.calibration = usbCalibration;
        EXPECT_TRUE(queues_->pushUsbFrame(std::move(usb)));
        pushImu(n * 7, 7);
    }
    task_->endRun();
    ASSERT_TRUE(waitForResults(1));
    const std::string session = results_.back();
    size_t usbRows = 0;
    for (const auto& row : csvRows(session + "/D1/frames.csv")) {
        if (row.size() > 2 && row[0] != "set" && row[2].empty()) {
            ++usbRows;
            EXPECT_EQ(row[3], "0") << "a camera without a clock gives no device time";
        }
    }
    EXPECT_EQ(usbRows, 3u);
    const json calibration = json::parse(readFile(session + "/D1/calibration.json"));
    EXPECT_EQ(calibration["streams"]["depth"]["width"], 64) << "the depth camera's calibration is the folder's";
    const auto report = session_check::checkSession(session);
    EXPECT_FALSE(hasProblem(report, ProblemKind::DeviceTimeBackwards)) << describe(report);
    EXPECT_FALSE(hasProblem(report, ProblemKind::BadFramesIndex)) << describe(report);
}

TEST_F(SessionContent, TheCheckerReportsEachDamageAndOnlyNotesFilesOfOlderSessions)
{
    startWorker();
    const std::string good = run({timestampAt(0), timestampAt(1), timestampAt(2), timestampAt(3)}, 0);
    const auto firstStem = timestampAt(0);
    struct Case {
        const char* what;
        std::function<void(const std::string&)> damage;
        ProblemKind expected;
    };
    const Case cases[] = {
        {"an image changed on the card", [&](const std::string& s) {
             std::string bytes = readFile(s + "/D1/color/" + firstStem + ".png");
             bytes[bytes.size() / 2] ^= 1;
             writeFile(s + "/D1/color/" + firstStem + ".png", bytes);
         }, ProblemKind::BadChecksums},
        {"a SHA256SUMS line cut short", [&](const std::string& s) {
             editLines(s + "/SHA256SUMS", [](auto& l) { l[1] = l[1].substr(0, 40); });
         }, ProblemKind::BadChecksums},
        {"a file missing from SHA256SUMS", [&](const std::string& s) {
             editLines(s + "/SHA256SUMS", [](auto& l) { l.erase(l.begin()); });
         }, ProblemKind::BadChecksums},
        {"a frames.csv row lost", [&](const std::string& s) {
             editLines(s + "/D1/frames.csv", [](auto& l) { l.erase(l.begin() + 2); });
         }, ProblemKind::BadFramesIndex},
        {"a frames.csv row naming a missing pair", [&](const std::string& s) {
             fs::remove(s + "/D1/color/" + firstStem + ".png");
             fs::remove(s + "/D1/depth/" + firstStem + ".png");
         }, ProblemKind::BadFramesIndex},
        {"a frames.csv row cut short", [&](const std::string& s) {
             editLines(s + "/D1/frames.csv", [](auto& l) { l[3] = l[3].substr(0, 20); });
         }, ProblemKind::BadFramesIndex},
        {"device times going backwards", [&](const std::string& s) {
             editLines(s + "/D1/frames.csv", [](auto& l) { std::swap(l[1], l[3]); });
         }, ProblemKind::DeviceTimeBackwards},
        {"a calibration of another stream size", [&](const std::string& s) {
             json c = json::parse(readFile(s + "/D1/calibration.json"));
             c["streams"]["depth"]["width"] = 1280;
             writeFile(s + "/D1/calibration.json", c.dump());
         }, ProblemKind::BadCalibration},
        {"a calibration that is not one", [&](const std::string& s) {
             writeFile(s + "/D1/calibration.json", "{\"format_version\":");
         }, ProblemKind::BadCalibration},
        {"an IMU an hour away from the images", [&](const std::string& s) {
             editLines(s + "/D1/data.json", [](auto& l) {
                 for (size_t i = 1; i < l.size(); ++i) {
                     json entry = json::parse(l[i]);
                     entry["device_us"] = entry["device_us"].get<uint64_t>() + 3600000000ULL;
                     l[i] = entry.dump();
                 }
             });
             // The clock runs as written, so only the IMU moved.
         }, ProblemKind::TimelinesApart},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string copy = check_test::copySession(good, root_ + "/damaged" + std::to_string(n++) + "/20250612_143015");
        c.damage(copy);
        const auto report = session_check::checkSession(copy);
        EXPECT_TRUE(hasProblem(report, c.expected)) << describe(report);
    }

    // A session from before these files: passes, saying what is absent.
    const std::string older = check_test::copySession(good, root_ + "/older/20250612_143015");
    for (const char* file : {"SHA256SUMS", "D1/frames.csv", "D1/clock.json", "D1/calibration.json"})
        fs::remove(older + "/" + file);
    const auto report = session_check::checkSession(older);
    EXPECT_TRUE(report.passed()) << describe(report);
    EXPECT_EQ(report.notes.size(), 3u) << describe(report);  // clock.json is looked for only beside frames.csv
    for (const auto& note : report.notes)
        EXPECT_NE(note.find("absent"), std::string::npos) << note;
}

} // namespace
