#include "SessionCheck.h"
#include "DatasetCheck.h"

#include <algorithm>
#include <cmath>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>


#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <turbojpeg.h>

#include "AtomicFile.h"
#include "CaptureMode.h"
#include "ClockFit.h"
#include "MetaSchema.h"
#include "SessionFile.h"
#include "SessionFolder.h"
#include "TimestampText.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace session_check {

const char* problemKindName(ProblemKind kind)
{
    switch (kind) {
    case ProblemKind::MissingFile: return "missing_file";
    case ProblemKind::BadMeta: return "bad_meta";
    case ProblemKind::BadImage: return "bad_image";
    case ProblemKind::MissingDepth: return "missing_depth";
    case ProblemKind::MissingColour: return "missing_colour";
    case ProblemKind::WrongDepthFormat: return "wrong_depth_format";
    case ProblemKind::BadManifest: return "bad_manifest";
    case ProblemKind::BadImuLine: return "bad_imu_line";
    case ProblemKind::ImuTimeBackwards: return "imu_time_backwards";
    case ProblemKind::ImuGap: return "imu_gap";
    case ProblemKind::LeftoverFile: return "leftover_file";
    case ProblemKind::Unreadable: return "unreadable";
    case ProblemKind::RefusedFile: return "refused_file";
    case ProblemKind::WrongImageFormat: return "wrong_image_format";
    case ProblemKind::CheckerError: return "checker_error";
    case ProblemKind::BadCalibration: return "bad_calibration";
    case ProblemKind::BadFramesIndex: return "bad_frames_index";
    case ProblemKind::DeviceTimeBackwards: return "device_time_backwards";
    case ProblemKind::TimelinesApart: return "timelines_apart";
    case ProblemKind::BadChecksums: return "bad_checksums";
    }
    return "unknown";
}

namespace {

// Names a file has before it is complete: the atomic writer's temporary
// file, and the ".tmp" names older writers used.
bool isLeftoverName(const std::string& name)
{
    auto endsWith = [&](std::string_view suffix) {
        return name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    return endsWith(atomic_file::kTemporarySuffix) || endsWith(".tmp") || name.find(".tmp.") != std::string::npos;
}

std::string stemOf(const std::string& fileName)
{
    const auto dot = fileName.rfind('.');
    return dot == std::string::npos ? fileName : fileName.substr(0, dot);
}

// One problem for a file the hardened reader refused or could not read.
Problem refusedProblem(const std::string& relative, const session_file::Outcome& outcome)
{
    using session_file::Refusal;
    const ProblemKind kind = outcome.refusal == Refusal::Missing ? ProblemKind::MissingFile
        : outcome.refusal == Refusal::Unreadable                ? ProblemKind::Unreadable
                                                                : ProblemKind::RefusedFile;
    return {kind, relative, outcome.detail};
}

// "%.<decimals>f" of any double, never cut short.
std::string fixed(double value, int decimals)
{
    char text[512];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// ------------------------------------------------------------ meta.yaml

struct ConfiguredSizes {
    int colourWidth = 0, colourHeight = 0;  // the depth camera's colour stream, which depth is aligned to
    bool usbCamera = false;                 // a USB camera saved colour images without depth
    int usbWidth = 0, usbHeight = 0;
};

void checkMeta(const std::string& session, SessionReport& report, ConfiguredSizes& sizes,
    std::optional<CaptureMode>& mode)
{
    std::string text;
    const session_file::Outcome read = session_file::readWhole(session, "meta.yaml", session_file::kMetaMaxBytes, text);
    if (!read.ok()) {
        report.problems.push_back(refusedProblem("meta.yaml", read));
        return;
    }
    const meta_schema::Reading reading = meta_schema::read(text);
    for (const std::string& problem : reading.problems)
        report.problems.push_back({ProblemKind::BadMeta, "meta.yaml", problem});
    const meta_schema::Meta& meta = reading.meta;
    report.captureMode = meta.captureModeText;
    mode = meta.captureMode;
    report.date = meta.date;
    report.sceneLabel = meta.sceneLabel;
    report.taskLabel = meta.taskLabel;
    report.partNumber = meta.partNumber;
    if (!meta.sessionTime.empty())
        report.sessionTime = meta.sessionTime;
    sizes.colourWidth = meta.cameras[0].width;
    sizes.colourHeight = meta.cameras[0].height;
    sizes.usbCamera = meta.cameras[2].present && meta.cameras[2].id == 1;
    sizes.usbWidth = meta.cameras[2].width;
    sizes.usbHeight = meta.cameras[2].height;
}

// ------------------------------------------------------------ layout

struct DeviceFiles {
    std::string prefix;  // "D1/" ("" when the images lie in the session folder itself)
    std::vector<std::string> colour;  // file names, sorted
    std::vector<std::string> depth;
    bool hasImuFile = false;
};

struct Layout {
    std::vector<DeviceFiles> devices;
    std::set<std::string> images;  // relative paths of every image on disk
};

// The images of <session>/<folder>: regular files (or links to them inside the
// session); anything else where an image belongs is a problem.
void listImages(const std::string& session, const std::string& folder, std::vector<std::string>& names,
    std::vector<Problem>& problems)
{
    std::error_code error;
    fs::directory_iterator it(session + "/" + folder, error);
    if (error) {
        problems.push_back({ProblemKind::Unreadable, folder, "cannot list: " + error.message()});
        return;
    }
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error)
            break;
        const std::string name = it->path().filename().string();
        if (isLeftoverName(name))
            continue;  // leftovers are reported by the walk over the whole session
        const session_file::Entry entry = session_file::inspect(session, folder + "/" + name);
        if (!entry.outcome.ok())
            problems.push_back(refusedProblem(folder + "/" + name, entry.outcome));
        else if (entry.folder)
            problems.push_back({ProblemKind::RefusedFile, folder + "/" + name, "is a folder where an image belongs"});
        else
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
}

Layout readLayout(const std::string& session, SessionReport& report)
{
    Layout layout;
    std::vector<std::string> candidates = {""};  // relative to the session; "" is the session itself
    std::error_code error;
    for (fs::directory_iterator it(session, error); !error && it != fs::directory_iterator(); it.increment(error)) {
        const std::string name = it->path().filename().string();
        const session_file::Entry entry = session_file::inspect(session, name);
        if (entry.outcome.ok() && entry.folder)
            candidates.push_back(name);
        else if (!entry.outcome.ok() && name != "meta.yaml" && name != "manifest.json")  // those report their own
            report.problems.push_back(refusedProblem(name, entry.outcome));
    }
    if (error)
        report.problems.push_back({ProblemKind::Unreadable, "", "cannot list the session folder: " + error.message()});
    std::sort(candidates.begin() + 1, candidates.end());

    for (const std::string& folder : candidates) {
        const std::string prefix = folder.empty() ? "" : folder + "/";
        auto isFolder = [&](const std::string& name) {
            const session_file::Entry entry = session_file::inspect(session, prefix + name);
            if (!entry.outcome.ok() && entry.outcome.refusal != session_file::Refusal::Missing)
                report.problems.push_back(refusedProblem(prefix + name, entry.outcome));
            return entry.outcome.ok() && entry.folder;
        };
        const bool hasColour = isFolder("color");
        const bool hasDepth = isFolder("depth");
        if (!hasColour && !hasDepth)
            continue;
        DeviceFiles device;
        device.prefix = prefix;
        if (hasColour)
            listImages(session, prefix + "color", device.colour, report.problems);
        if (hasDepth)
            listImages(session, prefix + "depth", device.depth, report.problems);
        // The depth camera's IMU is saved next to its images.
        const session_file::Entry imu = session_file::inspect(session, prefix + "data.json");
        device.hasImuFile = imu.outcome.ok() && !imu.folder;
        if (!imu.outcome.ok() && imu.outcome.refusal != session_file::Refusal::Missing)
            report.problems.push_back(refusedProblem(prefix + "data.json", imu.outcome));
        else if (!device.hasImuFile && !device.depth.empty() && !isSoilCollection(report.taskLabel))
            report.problems.push_back({ProblemKind::MissingFile, prefix + "data.json",
                imu.folder ? "is a folder, not the IMU file" : "data.json is missing (the depth camera saves its IMU)"});
        for (const auto& name : device.colour)
            layout.images.insert(device.prefix + "color/" + name);
        for (const auto& name : device.depth)
            layout.images.insert(device.prefix + "depth/" + name);
        layout.devices.push_back(std::move(device));
    }
    if (layout.devices.empty())
        report.problems.push_back({ProblemKind::MissingFile, "", "no device folder with color/ or depth/"});

    // Anything half-written anywhere in the session.
    for (fs::recursive_directory_iterator it(session, error), end; !error && it != end; it.increment(error)) {
        if (it->is_regular_file(error) && isLeftoverName(it->path().filename().string()))
            report.problems.push_back({ProblemKind::LeftoverFile,
                fs::relative(it->path(), session, error).string(), "temporary or partial file left behind"});
    }
    return layout;
}

// ------------------------------------------------------------ manifest.json

std::optional<double> imageSeconds(const std::string& stem);
constexpr size_t kReportedManifestProblems = 20;

void checkManifest(const std::string& session, const Layout& layout, std::vector<Problem>& problems)
{
    std::string bytes;
    const session_file::Outcome read
        = session_file::readWhole(session, "manifest.json", session_file::kManifestMaxBytes, bytes);
    if (read.refusal == session_file::Refusal::Missing) {
        problems.push_back({ProblemKind::MissingFile, "manifest.json", "manifest.json is missing (single-shot session)"});
        return;
    }
    if (!read.ok()) {
        problems.push_back(refusedProblem("manifest.json", read));
        return;
    }
    const json manifest = json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (manifest.is_discarded() || !(manifest.is_null() || manifest.is_object())) {
        problems.push_back({ProblemKind::BadManifest, "manifest.json", "does not parse as a JSON object"});
        return;
    }
    std::set<std::string> listed;
    size_t reported = 0;
    auto problem = [&](const std::string& detail) {
        if (++reported <= kReportedManifestProblems)
            problems.push_back({ProblemKind::BadManifest, "manifest.json", detail});
    };
    if (manifest.is_object()) {
        for (const auto& [key, entry] : manifest.items()) {
            const auto files = entry.is_object() ? entry.find("files") : entry.end();
            if (!entry.is_object() || files == entry.end() || !files->is_array()) {
                problem("entry \"" + key + "\" has no file list");
                continue;
            }
            // A key is the frame set's timestamp unless a capture token named it.
            const bool timestampKey = imageSeconds(key).has_value();
            for (const auto& file : *files) {
                if (!file.is_string()) {
                    problem("entry \"" + key + "\" lists a non-text file");
                    continue;
                }
                const std::string name = file.get<std::string>();
                if (!listed.insert(name).second)
                    problem("lists " + name + " twice");
                if (!layout.images.count(name))
                    problem("names a missing file: " + name);
                if (timestampKey && stemOf(fs::path(name).filename().string()) != key)
                    problem("entry \"" + key + "\" lists " + name + ", taken at another time");
            }
        }
    }
    if (reported > kReportedManifestProblems)
        problems.push_back({ProblemKind::BadManifest, "manifest.json",
            std::to_string(reported - kReportedManifestProblems) + " more problems"});
    for (const auto& image : layout.images)
        if (!listed.count(image))
            problems.push_back({ProblemKind::BadManifest, image, "image on disk is not in manifest.json"});
}

// ------------------------------------------------------------ data.json

constexpr size_t kReportedLinesPerKind = 5;
constexpr size_t kMaxGapsMatched = 100000;

bool numbers3(const json& values)
{
    return values.is_array() && values.size() == 3
        && std::all_of(values.begin(), values.end(), [](const json& v) { return v.is_number(); });
}

// Seconds of a 17-digit image timestamp, read as if it were UTC: only the
// differences between images of one session are used.
std::optional<double> imageSeconds(const std::string& stem)
{
    std::tm fields{};
    int milliseconds = 0;
    // "<17 digits>_<n>": a stamp repeated after the clock went back, named apart.
    const std::string digits = stem.size() > 18 && stem[17] == '_' ? stem.substr(0, 17) : stem;
    if (digits.size() != 17 || !parseTimestampText(digits, fields, milliseconds))
        return std::nullopt;
    return static_cast<double>(timegm(&fields)) + milliseconds / 1000.0;
}

// The intervals between consecutive colour images that are far longer than
// the usual one, in time order, and the usual (median) interval.
struct ImagePauses {
    std::vector<double> lengths;
    double usualInterval = 0;
};

ImagePauses imagePauses(const std::vector<std::string>& colourNames)
{
    std::vector<double> times;
    for (const std::string& name : colourNames)
        if (auto seconds = imageSeconds(stemOf(name)))
            times.push_back(*seconds);
    ImagePauses pauses;
    if (times.size() < 3)
        return pauses;
    std::vector<double> intervals;
    for (size_t i = 1; i < times.size(); ++i)
        intervals.push_back(times[i] - times[i - 1]);
    std::vector<double> sorted = intervals;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    pauses.usualInterval = sorted[sorted.size() / 2];
    for (double interval : intervals)
        if (interval > 1.5 * pauses.usualInterval + 0.05)
            pauses.lengths.push_back(interval);
    return pauses;
}

// An IMU gap is a pause between two runs into the same session folder when
// its two samples belong to two runs of clock.json, or (sessions without the
// device clock) when the images stopped for as long at the same point: images
// and IMU samples are saved only while a run is on. A gap in the IMU alone is
// a hole.
struct ImuGap {
    double length;
    size_t line;
    bool betweenRuns;
};

// The runs of the device's clock.json; none when it is absent or damaged
// (the dataset check reports that).
std::vector<clock_fit::RunClock> deviceRuns(const std::string& session, const std::string& prefix)
{
    constexpr uint64_t kClockMaxBytes = 1u << 20;
    std::string text;
    if (!session_file::readWhole(session, prefix + clock_fit::fileName, kClockMaxBytes, text).ok())
        return {};
    clock_fit::Parsed parsed = clock_fit::parse(text);
    return parsed.error.empty() ? std::move(parsed.runs) : std::vector<clock_fit::RunClock>{};
}

void checkImu(const std::string& session, const std::string& prefix, const ImagePauses& imagePauses, ImuSummary& imu,
    std::vector<Problem>& problems)
{
    const std::string relative = prefix + "data.json";
    session_file::Outcome outcome;
    session_file::File file = session_file::File::open(session, relative, outcome);
    if (!outcome.ok()) {
        problems.push_back(refusedProblem(relative, outcome));
        return;
    }
    imu.present = true;
    if (file.size() == 0) {
        problems.push_back({ProblemKind::BadImuLine, relative, "is empty"});
        return;
    }
    session_file::LineReader reader(std::move(file), session_file::kImuLineMaxBytes);
    size_t badLines = 0, backwards = 0, lineNumber = 0;
    std::vector<ImuGap> gaps;
    bool haveTime = false;
    double previous = 0;
    const std::vector<clock_fit::RunClock> runs = deviceRuns(session, prefix);
    const clock_fit::RunClock* previousRun = nullptr;
    auto badLine = [&](const std::string& why) {
        if (++badLines <= kReportedLinesPerKind)
            problems.push_back({ProblemKind::BadImuLine, relative, "line " + std::to_string(lineNumber) + " " + why});
    };
    for (;;) {
        std::string_view text;
        const auto next = reader.next(text, outcome);
        if (next == session_file::LineReader::Next::End)
            break;
        if (next == session_file::LineReader::Next::Error) {
            problems.push_back(refusedProblem(relative, outcome));
            break;
        }
        lineNumber = reader.lineNumber();
        if (next == session_file::LineReader::Next::TooLong) {
            badLine("is longer than " + std::to_string(session_file::kImuLineMaxBytes) + " bytes");
            continue;
        }
        const json line = json::parse(text.begin(), text.end(), nullptr, false);
        if (lineNumber == 1) {
            if (!line.is_discarded() && line.is_object() && line.contains("version"))
                continue;
            problems.push_back({ProblemKind::BadImuLine, relative, "line 1 is not the version line"});
        }
        const json* sensor = nullptr;
        const json* time = nullptr;
        if (!line.is_discarded() && line.is_object()) {
            auto s = line.find("sensor");
            auto t = line.find("time");
            if (s != line.end() && s->is_object() && t != line.end() && t->is_number())
                sensor = &*s, time = &*t;
        }
        const bool valid = sensor && sensor->contains("type") && (*sensor)["type"].is_string() && sensor->contains("values")
            && numbers3((*sensor)["values"]);
        if (!valid) {
            badLine("is not an IMU sample");
            continue;
        }
        const double t = time->get<double>();
        const clock_fit::RunClock* run = nullptr;
        if (const auto deviceUs = line.find("device_us"); deviceUs != line.end() && deviceUs->is_number_unsigned())
            run = clock_fit::runFor(runs, deviceUs->get<uint64_t>());
        if ((*sensor)["type"] == "accelerometer") {
            if (imu.samples == 0)
                imu.firstTime = t;
            ++imu.samples;
        }
        if (haveTime && t < previous) {
            if (++backwards <= kReportedLinesPerKind)
                problems.push_back({ProblemKind::ImuTimeBackwards, relative,
                    "line " + std::to_string(lineNumber) + " goes back " + fixed((previous - t) * 1000.0, 1) + " ms"});
        } else if (haveTime && t - previous > imuGapLimitSeconds && gaps.size() < kMaxGapsMatched) {
            gaps.push_back({t - previous, lineNumber, run && previousRun && run != previousRun});
        } else if (haveTime && t - previous > imuGapLimitSeconds) {
            // Beyond any real session: counted as holes, not held for matching with pauses.
            ++imu.gaps;
            imu.longestGapSeconds = std::max(imu.longestGapSeconds, t - previous);
        }
        if (!haveTime || t >= previous)
            previous = t;
        previousRun = run;
        haveTime = true;
        imu.lastTime = std::max(imu.lastTime, t);
    }
    // Pauses and IMU gaps come in the same order; each pause explains one gap.
    size_t nextPause = 0;
    for (const ImuGap& gap : gaps) {
        size_t match = nextPause;
        while (match < imagePauses.lengths.size()
            && !(imagePauses.lengths[match] >= gap.length - 0.1
                && imagePauses.lengths[match] <= gap.length + 2 * imagePauses.usualInterval + 0.25))
            ++match;
        if (gap.betweenRuns || match < imagePauses.lengths.size()) {
            ++imu.pauses;
            imu.pausedSeconds += gap.length;
            if (match < imagePauses.lengths.size())
                nextPause = match + 1;
            continue;
        }
        ++imu.gaps;
        imu.longestGapSeconds = std::max(imu.longestGapSeconds, gap.length);
        if (imu.gaps <= kReportedLinesPerKind) {
            problems.push_back({ProblemKind::ImuGap, relative,
                "gap of " + fixed(gap.length * 1000.0, 0) + " ms before line " + std::to_string(gap.line)});
        }
    }
    auto more = [&](size_t count, ProblemKind kind, const char* what) {
        if (count > kReportedLinesPerKind)
            problems.push_back({kind, relative, std::to_string(count - kReportedLinesPerKind) + " more " + what});
    };
    more(badLines, ProblemKind::BadImuLine, "bad lines");
    more(backwards, ProblemKind::ImuTimeBackwards, "lines going back in time");
    more(imu.gaps, ProblemKind::ImuGap, "gaps");
    const double recordedSeconds = imu.lastTime - imu.firstTime - imu.pausedSeconds;
    if (imu.samples > 1 && recordedSeconds > 0)
        imu.rateHz = static_cast<double>(imu.samples - 1) / recordedSeconds;
}

// ------------------------------------------------------------ images

struct TurboJpeg {
    tjhandle handle = tjInitDecompress();
    ~TurboJpeg() { if (handle) tjDestroy(handle); }
};

// Decodes every scan of a JPEG; a warning (data cut short, corrupt data) fails it.
bool decodeJpeg(const std::string& bytes, const image_header::Header& header, std::string& error)
{
    thread_local TurboJpeg decoder;
    thread_local std::vector<uint8_t> pixels;
    if (!decoder.handle) {
        error = "no JPEG decoder";
        return false;
    }
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    pixels.resize(static_cast<size_t>(header.width) * static_cast<size_t>(header.height));
    if (tjDecompress2(decoder.handle, data, static_cast<unsigned long>(bytes.size()), pixels.data(), header.width, 0,
            header.height, TJPF_GRAY, TJFLAG_STOPONWARNING | TJFLAG_FASTDCT) != 0) {
        error = tjGetErrorStr2(decoder.handle);
        return false;
    }
    return true;
}

// Loads and decodes an image; any failure is a problem, nothing escapes.
bool checkOneImage(const std::string& session, const std::string& relative, const image_header::Expectation& expected,
    image_header::Header& header, std::vector<Problem>& problems)
{
    std::string bytes;
    if (auto problem = loadImage(session, relative, expected, header, bytes)) {
        problems.push_back(std::move(*problem));
        return false;
    }
    std::string why;
    try {
        if (header.format == image_header::Format::Jpeg) {
            if (!decodeJpeg(bytes, header, why)) {
                problems.push_back({ProblemKind::BadImage, relative, "JPEG does not decode fully: " + why});
                return false;
            }
            return true;
        }
        const cv::Mat image = cv::imdecode(cv::Mat(1, static_cast<int>(bytes.size()), CV_8UC1, bytes.data()),
            cv::IMREAD_UNCHANGED);
        if (image.empty() || image.cols != header.width || image.rows != header.height) {
            problems.push_back({ProblemKind::BadImage, relative, "PNG does not decode fully"});
            return false;
        }
        return true;
    } catch (const std::exception& error) {  // cv::Exception, std::bad_alloc
        problems.push_back({ProblemKind::BadImage, relative, std::string("does not decode: ") + error.what()});
        return false;
    }
}

struct ImageJob {
    size_t session = 0;
    const DeviceFiles* device = nullptr;
    std::string stem;
    std::string colourName;  // empty: no colour image with this stem
    std::string depthName;
    bool imuJob = false;     // instead: check this device's data.json
};

struct SessionWork {
    SessionReport report;
    ConfiguredSizes sizes;
    std::optional<CaptureMode> mode;  // nothing when meta.yaml names none
    Layout layout;
    size_t firstJob = 0, jobCount = 0;
    std::atomic<size_t> jobsLeft{0};
};

void checkImage(const SessionWork& work, const ImageJob& job, std::vector<Problem>& problems)
{
    const std::string& session = work.report.path;
    const ConfiguredSizes& sizes = work.sizes;
    image_header::Header colour;
    bool colourRead = false;
    if (!job.colourName.empty()) {
        image_header::Expectation expected;
        expected.width = sizes.colourWidth;
        expected.height = sizes.colourHeight;
        if (sizes.usbCamera) {
            expected.altWidth = sizes.usbWidth;
            expected.altHeight = sizes.usbHeight;
        }
        colourRead = checkOneImage(session, job.device->prefix + "color/" + job.colourName, expected, colour, problems);
    }
    if (!job.colourName.empty() && job.depthName.empty()) {
        // A USB camera's colour images have no depth; they have its size.
        const bool fromUsb = sizes.usbCamera && colourRead && colour.width == sizes.usbWidth
            && colour.height == sizes.usbHeight
            && (colour.width != sizes.colourWidth || colour.height != sizes.colourHeight);
        if (!fromUsb)
            problems.push_back({ProblemKind::MissingDepth, job.device->prefix + "color/" + job.colourName,
                "no depth image " + job.device->prefix + "depth/" + job.stem + ".png"});
    }
    if (job.depthName.empty())
        return;
    const std::string relative = job.device->prefix + "depth/" + job.depthName;
    if (job.colourName.empty())
        problems.push_back({ProblemKind::MissingColour, relative, "no colour image with the same timestamp"});
    // Depth is aligned to the colour stream: the configured colour size, or
    // the paired colour image's when meta.yaml has none.
    image_header::Expectation expected;
    expected.depth = true;
    expected.width = sizes.colourWidth > 0 ? sizes.colourWidth : (colourRead ? colour.width : 0);
    expected.height = sizes.colourHeight > 0 ? sizes.colourHeight : (colourRead ? colour.height : 0);
    image_header::Header depth;
    checkOneImage(session, relative, expected, depth, problems);
}

std::map<std::string, std::pair<std::string, std::string>> namesByStem(const DeviceFiles& device)
{
    std::map<std::string, std::pair<std::string, std::string>> byStem;
    for (const auto& name : device.colour)
        byStem[stemOf(name)].first = name;
    for (const auto& name : device.depth)
        byStem[stemOf(name)].second = name;
    return byStem;
}

// Frame sets of one device: colour and depth names matched by stem.
void addImageJobs(size_t session, const DeviceFiles& device, std::vector<ImageJob>& jobs, SessionReport& report)
{
    const auto byStem = namesByStem(device);
    for (const auto& [stem, names] : byStem) {
        ImageJob job;
        job.session = session;
        job.device = &device;
        job.stem = stem;
        job.colourName = names.first;
        job.depthName = names.second;
        jobs.push_back(std::move(job));
    }
    report.frameSets += byStem.size();
    report.colourImages += device.colour.size();
    report.depthImages += device.depth.size();
    if (report.firstColourImage.empty() && !device.colour.empty())
        report.firstColourImage = device.prefix + "color/" + device.colour.front();
}

template <typename Body>
void parallelFor(size_t count, unsigned threads, Body body)
{
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t i = next++; i < count; i = next++)
            body(i);
    };
    const unsigned extra = static_cast<unsigned>(std::min<size_t>(threads, count)) - (count > 0 ? 1 : 0);
    std::vector<std::thread> pool;
    for (unsigned i = 0; i < extra; ++i)
        pool.emplace_back(worker);
    worker();
    for (auto& thread : pool)
        thread.join();
}

} // namespace

std::optional<Problem> loadImage(const std::string& session, const std::string& relative,
    const image_header::Expectation& expected, image_header::Header& header, std::string& bytes)
{
    bytes.clear();
    session_file::Outcome outcome;
    session_file::File file = session_file::File::open(session, relative, outcome);
    if (outcome.ok())
        file.read(image_header::kHeaderBytes, bytes, outcome);
    if (!outcome.ok())
        return refusedProblem(relative, outcome);
    std::string why;
    if (!image_header::parse(bytes, header, why))
        return Problem{ProblemKind::BadImage, relative, why};
    if (!image_header::fits(header, expected, why))
        return Problem{expected.depth ? ProblemKind::WrongDepthFormat : ProblemKind::WrongImageFormat, relative, why};
    if (const uint64_t bound = image_header::maxFileBytes(header); file.size() > bound)
        return Problem{ProblemKind::RefusedFile, relative,
            "is " + std::to_string(file.size()) + " bytes, more than the " + std::to_string(bound) + " its header allows"};
    if (bytes.size() == image_header::kHeaderBytes && !file.read(static_cast<size_t>(file.size()), bytes, outcome))
        return refusedProblem(relative, outcome);
    return std::nullopt;
}

std::optional<unsigned> parseJobCount(const char* text)
{
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 1 || value > 256)
        return std::nullopt;
    return static_cast<unsigned>(value);
}

std::vector<std::string> findSessions(const std::vector<std::string>& paths, std::vector<std::string>* missing)
{
    // Deeper than any dataset layout below whatever folder the user names.
    constexpr int kDeepestSession = 6;
    std::set<std::string> found;
    for (const std::string& given : paths) {
        std::string path = given;
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        std::error_code error;
        if (!fs::is_directory(path, error)) {
            if (missing)
                missing->push_back(given);
            continue;
        }
        for (std::string& session : session_folder::findBelow(path, kDeepestSession))
            found.insert(std::move(session));
    }
    return {found.begin(), found.end()};
}

std::vector<FrameSetFiles> listFrameSets(const std::string& session)
{
    SessionReport ignored;
    const Layout layout = readLayout(session, ignored);
    std::vector<std::pair<std::string, FrameSetFiles>> sets;
    for (const DeviceFiles& device : layout.devices) {
        for (const auto& [stem, names] : namesByStem(device)) {
            FrameSetFiles files;
            files.colour = names.first.empty() ? "" : device.prefix + "color/" + names.first;
            files.depth = names.second.empty() ? "" : device.prefix + "depth/" + names.second;
            sets.emplace_back(stem, std::move(files));
        }
    }
    std::stable_sort(sets.begin(), sets.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<FrameSetFiles> result;
    for (auto& set : sets)
        result.push_back(std::move(set.second));
    return result;
}

std::vector<SessionReport> checkSessions(const std::vector<std::string>& sessions, unsigned threads,
    const std::function<void(const SessionReport&)>& onDone, const std::function<bool()>& cancelled)
{
    if (threads == 0)
        threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::unique_ptr<SessionWork>> works;
    for (const auto& path : sessions) {
        works.push_back(std::make_unique<SessionWork>());
        works.back()->report.path = path;
        works.back()->report.sessionTime = fs::path(path).filename().string();
    }

    // Per session: layout, meta.yaml and manifest.json (cheap, file names only).
    parallelFor(works.size(), threads, [&](size_t i) {
        SessionWork& work = *works[i];
        try {
            checkMeta(work.report.path, work.report, work.sizes, work.mode);
            work.layout = readLayout(work.report.path, work.report);
            // Without a known mode (meta.yaml names that) a manifest present is still checked.
            std::error_code error;
            const bool manifestExpected = work.mode
                ? !isContinuous(*work.mode)
                : fs::symlink_status(work.report.path + "/manifest.json", error).type() != fs::file_type::not_found;
            if (manifestExpected)
                checkManifest(work.report.path, work.layout, work.report.problems);
            for (const DeviceFiles& device : work.layout.devices)
                checkDeviceDataset(work.report.path, {device.prefix, device.colour, device.depth}, work.report.problems,
                    work.report.notes);
            checkChecksums(work.report.path, work.report.problems, work.report.notes);
        } catch (const std::exception& error) {  // one session's failure never ends the run
            work.report.problems.push_back({ProblemKind::CheckerError, "", error.what()});
        }
    });

    // Every frame set and every data.json of every session, on all threads.
    std::vector<ImageJob> jobs;
    for (size_t i = 0; i < works.size(); ++i) {
        SessionWork& work = *works[i];
        work.firstJob = jobs.size();
        for (const DeviceFiles& device : work.layout.devices) {
            addImageJobs(i, device, jobs, work.report);
            if (device.hasImuFile) {
                ImageJob imu;
                imu.session = i;
                imu.device = &device;
                imu.imuJob = true;
                jobs.push_back(std::move(imu));
            }
        }
        work.jobCount = jobs.size() - work.firstJob;
        work.jobsLeft = work.jobCount;
    }
    std::vector<std::vector<Problem>> jobProblems(jobs.size());
    std::vector<ImuSummary> jobImu(jobs.size());
    std::mutex doneMutex;
    auto finishSession = [&](SessionWork& work) {
        for (size_t j = work.firstJob; j < work.firstJob + work.jobCount; ++j) {
            for (auto& problem : jobProblems[j])
                work.report.problems.push_back(std::move(problem));
            // The IMU file of the device that has the most samples speaks for the session.
            if (jobImu[j].present && (!work.report.imu.present || jobImu[j].samples > work.report.imu.samples))
                work.report.imu = jobImu[j];
        }
        if (onDone) {
            std::lock_guard lock(doneMutex);
            onDone(work.report);
        }
    };
    for (auto& work : works)
        if (work->jobCount == 0)
            finishSession(*work);
    parallelFor(jobs.size(), threads, [&](size_t j) {
        const ImageJob& job = jobs[j];
        SessionWork& work = *works[job.session];
        const bool wanted = !cancelled || !cancelled();
        try {
            if (wanted && job.imuJob)
                checkImu(work.report.path, job.device->prefix,
                    work.mode && isContinuous(*work.mode) ? imagePauses(job.device->colour) : ImagePauses{}, jobImu[j],
                    jobProblems[j]);
            else if (wanted)
                checkImage(work, job, jobProblems[j]);
        } catch (const std::exception& error) {
            jobProblems[j].push_back({ProblemKind::CheckerError, job.imuJob ? job.device->prefix + "data.json"
                : job.device->prefix + job.stem, error.what()});
        }
        if (work.jobsLeft.fetch_sub(1) == 1)
            finishSession(work);
    });

    std::vector<SessionReport> reports;
    for (auto& work : works)
        reports.push_back(std::move(work->report));
    return reports;
}

// ------------------------------------------------------------ output

std::string summaryLine(const SessionReport& report)
{
    char imu[64] = "no IMU data";
    if (report.imu.present)
        std::snprintf(imu, sizeof imu, "IMU %.1f Hz, %zu gaps, %zu pauses", report.imu.rateHz, report.imu.gaps,
            report.imu.pauses);
    std::string line = (report.passed() ? "OK   " : "FAIL ") + report.path + "  "
        + (report.captureMode.empty() ? "?" : report.captureMode) + ", " + std::to_string(report.frameSets)
        + " frame sets, " + imu;
    if (!report.passed())
        line += ", " + std::to_string(report.problems.size()) + (report.problems.size() == 1 ? " problem" : " problems");
    return line;
}

std::vector<std::string> detailLines(const SessionReport& report)
{
    constexpr size_t kPerKind = 10;
    std::map<ProblemKind, size_t> shown;
    std::vector<std::string> lines;
    for (const Problem& problem : report.problems) {
        if (++shown[problem.kind] > kPerKind)
            continue;
        lines.push_back("     " + std::string(problemKindName(problem.kind)) + "  "
            + (problem.file.empty() ? "" : problem.file + ": ") + problem.detail);
    }
    for (const auto& [kind, count] : shown)
        if (count > kPerKind)
            lines.push_back("     " + std::string(problemKindName(kind)) + "  ... and " + std::to_string(count - kPerKind)
                + " more");
    for (const std::string& note : report.notes)
        lines.push_back("     note  " + note);
    return lines;
}

std::string toJson(const std::vector<SessionReport>& reports)
{
    json out = json::array();
    for (const SessionReport& report : reports) {
        json problems = json::array();
        for (const Problem& problem : report.problems)
            problems.push_back({{"kind", problemKindName(problem.kind)}, {"file", problem.file}, {"detail", problem.detail}});
        auto tenths = [](double value) { return std::round(value * 10.0) / 10.0; };
        json imu = {{"present", report.imu.present}, {"samples", report.imu.samples},
            {"rate_hz", tenths(report.imu.rateHz)}, {"gaps", report.imu.gaps}, {"pauses", report.imu.pauses},
            {"longest_gap_ms", tenths(report.imu.longestGapSeconds * 1000.0)}};
        out.push_back({{"path", report.path}, {"passed", report.passed()}, {"capture_mode", report.captureMode},
            {"session_time", report.sessionTime}, {"frame_sets", report.frameSets},
            {"colour_images", report.colourImages}, {"depth_images", report.depthImages}, {"imu", imu},
            {"problems", problems}, {"notes", report.notes}});
    }
    return out.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

} // namespace session_check
