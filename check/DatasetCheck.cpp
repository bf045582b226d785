#include "DatasetCheck.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "AtomicFile.h"
#include "Checksums.h"
#include "ClockFit.h"
#include "FramesIndex.h"
#include "SessionFile.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace session_check {
namespace {

// Index files grow by about 150 bytes a frame set: 64 MiB is days of recording.
constexpr uint64_t kIndexMaxBytes = 64u << 20;
constexpr uint64_t kCalibrationMaxBytes = 1u << 20;
constexpr size_t kReported = 10;

// Reads a small file of the session; false with a note when absent, a problem when refused.
bool readIndexFile(const std::string& session, const std::string& relative, uint64_t maxBytes, std::string& bytes,
    std::vector<Problem>& problems, std::vector<std::string>& notes)
{
    const session_file::Outcome read = session_file::readWhole(session, relative, maxBytes, bytes);
    if (read.refusal == session_file::Refusal::Missing) {
        notes.push_back(relative + " absent");
        return false;
    }
    if (!read.ok()) {
        const ProblemKind kind
            = read.refusal == session_file::Refusal::Unreadable ? ProblemKind::Unreadable : ProblemKind::RefusedFile;
        problems.push_back({kind, relative, read.detail});
        return false;
    }
    return true;
}

void checkCalibration(const std::string& session, const DeviceImages& device, std::vector<Problem>& problems,
    std::vector<std::string>& notes)
{
    const std::string relative = device.prefix + "calibration.json";
    std::string bytes;
    if (!readIndexFile(session, relative, kCalibrationMaxBytes, bytes, problems, notes))
        return;
    const json c = json::parse(bytes, nullptr, false);
    const auto bad = [&](const std::string& why) { problems.push_back({ProblemKind::BadCalibration, relative, why}); };
    if (c.is_discarded() || !c.is_object() || !c.contains("format_version") || !c.contains("calibration_known")
        || !c.contains("streams") || !c["streams"].is_object()) {
        bad("is not a calibration file");
        return;
    }
    if (c["calibration_known"] == false)
        notes.push_back(relative + ": the camera gave no calibration");
    // The stream sizes must be those of the images on the card (the first of each stream).
    const std::pair<const char*, const std::vector<std::string>*> streams[] = {{"color", &device.colour}, {"depth", &device.depth}};
    for (const auto& [name, files] : streams) {
        if (files->empty())
            continue;
        const auto stream = c["streams"].find(name);
        if (stream == c["streams"].end() || !stream->is_object()) {
            bad(std::string("has no ") + name + " stream, but " + name + " images are on the card");
            continue;
        }
        const std::string image = device.prefix + (std::string(name) == "color" ? "color/" : "depth/") + files->front();
        std::string head;
        session_file::Outcome outcome;
        session_file::File file = session_file::File::open(session, image, outcome);
        image_header::Header header;
        std::string why;
        if (!outcome.ok() || !file.read(image_header::kHeaderBytes, head, outcome) || !image_header::parse(head, header, why))
            continue;  // the image check reports an unreadable image
        const json width = stream->value("width", json());
        const json height = stream->value("height", json());
        if (!width.is_number_integer() || !height.is_number_integer() || width.get<int64_t>() != header.width
            || height.get<int64_t>() != header.height)
            bad(std::string(name) + " stream is " + width.dump() + "x" + height.dump() + ", but " + image + " is "
                + std::to_string(header.width) + "x" + std::to_string(header.height));
        if (c["calibration_known"] == true && !(*stream)["intrinsics"].is_object())
            bad(std::string(name) + " stream has no intrinsics, though the calibration is known");
    }
}

// [first, last] device time of a data.json, from its device_us keys; false when none has one.
bool imuDeviceSpan(const std::string& session, const std::string& relative, uint64_t& first, uint64_t& last)
{
    session_file::Outcome outcome;
    session_file::File file = session_file::File::open(session, relative, outcome);
    if (!outcome.ok())
        return false;
    session_file::LineReader reader(std::move(file), session_file::kImuLineMaxBytes);
    bool any = false;
    for (;;) {
        std::string_view text;
        const auto next = reader.next(text, outcome);
        if (next == session_file::LineReader::Next::End || next == session_file::LineReader::Next::Error)
            break;
        if (next != session_file::LineReader::Next::Line)
            continue;
        const json line = json::parse(text.begin(), text.end(), nullptr, false);
        if (line.is_discarded() || !line.is_object() || !line.contains("device_us") || !line["device_us"].is_number_unsigned())
            continue;  // a bad line is the IMU check's to report
        const uint64_t us = line["device_us"].get<uint64_t>();
        first = any ? std::min(first, us) : us;
        last = any ? std::max(last, us) : us;
        any = true;
    }
    return any;
}

void checkFramesAndClock(const std::string& session, const DeviceImages& device, std::vector<Problem>& problems,
    std::vector<std::string>& notes)
{
    const std::string relative = device.prefix + frames_index::fileName;
    std::string bytes;
    if (!readIndexFile(session, relative, kIndexMaxBytes, bytes, problems, notes))
        return;
    const frames_index::Parsed parsed = frames_index::parse(bytes);
    for (size_t i = 0; i < parsed.errors.size() && i < kReported; ++i)
        problems.push_back({ProblemKind::BadFramesIndex, relative, parsed.errors[i]});

    // Exactly the pairs on disk, each once.
    std::set<std::string> onDisk;
    for (const auto& name : device.colour)
        onDisk.insert("color/" + name);
    for (const auto& name : device.depth)
        onDisk.insert("depth/" + name);
    std::set<std::string> listed;
    size_t reported = 0;
    const auto problem = [&](ProblemKind kind, const std::string& why) {
        if (++reported <= kReported)
            problems.push_back({kind, relative, why});
    };
    uint64_t previousSet = 0;
    for (const auto& row : parsed.rows) {
        for (const std::string* file : {&row.colourFile, &row.depthFile}) {
            if (file->empty())
                continue;
            if (!listed.insert(*file).second)
                problem(ProblemKind::BadFramesIndex, "lists " + *file + " twice");
            else if (!onDisk.count(*file))
                problem(ProblemKind::BadFramesIndex, "names a missing file: " + *file);
        }
        if (row.set <= previousSet)
            problem(ProblemKind::BadFramesIndex, "set " + std::to_string(row.set) + " follows set " + std::to_string(previousSet));
        previousSet = row.set;
    }
    for (const auto& file : onDisk)
        if (!listed.count(file))
            problem(ProblemKind::BadFramesIndex, device.prefix + file + " is on disk but not in " + frames_index::fileName);

    // The clock: device times go forward within a run, and the IMU's timeline meets the images'.
    std::string clockBytes;
    if (!readIndexFile(session, device.prefix + clock_fit::fileName, kIndexMaxBytes, clockBytes, problems, notes))
        return;
    const clock_fit::Parsed clock = clock_fit::parse(clockBytes);
    if (!clock.error.empty() || clock.runs.empty()) {
        problems.push_back({ProblemKind::BadFramesIndex, device.prefix + clock_fit::fileName,
            clock.error.empty() ? "lists no run" : clock.error});
        return;
    }
    const clock_fit::RunClock* previousRun = nullptr;
    uint64_t previousUs = 0;
    int64_t framesFirstNs = 0, framesLastNs = 0;
    bool anyFrame = false;
    for (const auto& row : parsed.rows) {
        const uint64_t us = row.colourFile.empty() ? row.depthDeviceUs : row.colourDeviceUs;
        if (us == 0)
            continue;  // a camera without a device clock (USB)
        const clock_fit::RunClock* run = clock_fit::runFor(clock.runs, us);
        // A reconnected camera may start its clock again: a new run, not a step back.
        if (anyFrame && run == previousRun && us < previousUs)
            problem(ProblemKind::DeviceTimeBackwards,
                "set " + std::to_string(row.set) + " goes back " + std::to_string(previousUs - us) + " us");
        const int64_t ns = run->toUtcNs(us);
        framesFirstNs = anyFrame ? std::min(framesFirstNs, ns) : ns;
        framesLastNs = anyFrame ? std::max(framesLastNs, ns) : ns;
        anyFrame = true;
        previousRun = run;
        previousUs = us;
    }
    uint64_t imuFirst = 0, imuLast = 0;
    if (!anyFrame || !imuDeviceSpan(session, device.prefix + "data.json", imuFirst, imuLast))
        return;
    const int64_t imuFirstNs = clock_fit::runFor(clock.runs, imuFirst)->toUtcNs(imuFirst);
    const int64_t imuLastNs = clock_fit::runFor(clock.runs, imuLast)->toUtcNs(imuLast);
    // A second of slack: one run may save images a moment after its IMU stopped, or before it started.
    constexpr int64_t slackNs = 1000000000;
    if (imuLastNs + slackNs < framesFirstNs || framesLastNs + slackNs < imuFirstNs)
        problems.push_back({ProblemKind::TimelinesApart, device.prefix + "data.json",
            "the IMU's samples and the images do not overlap on the common clock"});
}

} // namespace

void checkDeviceDataset(const std::string& session, const DeviceImages& device, std::vector<Problem>& problems,
    std::vector<std::string>& notes)
{
    if (device.colour.empty() && device.depth.empty())
        return;
    checkCalibration(session, device, problems, notes);
    checkFramesAndClock(session, device, problems, notes);
}

void checkChecksums(const std::string& session, std::vector<Problem>& problems, std::vector<std::string>& notes)
{
    std::string bytes;
    if (!readIndexFile(session, checksums::fileName, kIndexMaxBytes, bytes, problems, notes))
        return;
    const checksums::Parsed parsed = checksums::parse(bytes);
    size_t reported = 0;
    const auto problem = [&](const std::string& file, const std::string& why) {
        if (++reported <= kReported)
            problems.push_back({ProblemKind::BadChecksums, file, why});
    };
    if (!parsed.error.empty())
        problem(checksums::fileName, "not a checksum line: " + parsed.error);
    for (const auto& [relative, expected] : parsed.sums) {
        session_file::Outcome outcome;
        session_file::File file = session_file::File::open(session, relative, outcome);
        if (!outcome.ok()) {
            problem(relative, "listed in SHA256SUMS but " + outcome.detail);
            continue;
        }
        checksums::Sha256 hash;
        std::string chunk;
        bool readable = true;
        while (readable) {
            chunk.clear();
            readable = file.read(1u << 20, chunk, outcome);
            if (chunk.empty())
                break;
            hash.add(chunk);
        }
        if (!readable)
            problem(relative, "cannot be read: " + outcome.detail);
        else if (hash.hexDigest() != expected)
            problem(relative, "does not match its SHA-256 in SHA256SUMS");
    }
    // Every file of the session is listed (SHA256SUMS itself and leftovers aside).
    std::error_code error;
    for (fs::recursive_directory_iterator it(session, error), end; !error && it != end; it.increment(error)) {
        if (!it->is_regular_file(error))
            continue;
        const std::string relative = fs::relative(it->path(), session, error).generic_string();
        const std::string name = it->path().filename().string();
        const std::string_view suffix = atomic_file::kTemporarySuffix;
        const bool temporary = name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
        if (relative == checksums::fileName || temporary)
            continue;  // a leftover is reported as one
        if (!parsed.sums.count(relative))
            problem(relative, "is not in SHA256SUMS");
    }
}

} // namespace session_check
