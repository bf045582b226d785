#include "SessionCheck.h"

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

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <turbojpeg.h>
#include <yaml-cpp/yaml.h>

#include "AtomicFile.h"
#include "CaptureMode.h"
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

// "20250612_143015", optionally with "_<n>" when two sessions shared a second.
bool looksLikeSessionTime(const std::string& name)
{
    if (name.size() < 15 || name[8] != '_')
        return false;
    for (size_t i = 0; i < 15; ++i)
        if (i != 8 && (name[i] < '0' || name[i] > '9'))
            return false;
    return name.size() == 15 || name[15] == '_';
}

bool isContinuousMode(const std::string& mode)
{
    return isContinuous(captureModeOf(mode));
}

std::string stemOf(const std::string& fileName)
{
    const auto dot = fileName.rfind('.');
    return dot == std::string::npos ? fileName : fileName.substr(0, dot);
}

bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_size > 0)
        bytes.reserve(static_cast<size_t>(info.st_size));
    uint8_t chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            error = std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (got == 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    ::close(fd);
    return true;
}

// ------------------------------------------------------------ meta.yaml

const std::vector<std::string> kMetaKeys = {"date", "city", "machine_id", "scene_label", "task_label", "part_number",
    "session_time", "capture_mode", "session_tags", "device_config", "image_info"};
const std::set<std::string> kOptionalMetaKeys = {"session_tags", "image_info"};
const std::vector<std::string> kDeviceKeys = {"capture_freq", "camera1", "camera2", "camera3"};
const std::vector<std::string> kCameraKeys = {"camera_type_str", "camera_id", "width", "height", "fps", "exposure_time"};

// Reports keys of `node` that are missing or out of the order of `expected`.
void checkKeyOrder(const YAML::Node& node, const std::vector<std::string>& expected,
    const std::set<std::string>& optional, const std::string& where, std::vector<Problem>& problems)
{
    std::set<std::string> seen;
    int lastIndex = -1;
    std::string lastKey;
    for (const auto& item : node) {
        const std::string key = item.first.Scalar();
        const auto found = std::find(expected.begin(), expected.end(), key);
        if (found == expected.end())
            continue;  // extra keys are allowed
        const int index = static_cast<int>(found - expected.begin());
        if (index < lastIndex)
            problems.push_back({ProblemKind::BadMeta, "meta.yaml",
                where + "key \"" + key + "\" comes after \"" + lastKey + "\""});
        else {
            lastIndex = index;
            lastKey = key;
        }
        seen.insert(key);
    }
    for (const auto& key : expected)
        if (!seen.count(key) && !optional.count(key))
            problems.push_back({ProblemKind::BadMeta, "meta.yaml", where + "key \"" + key + "\" is missing"});
}

struct ConfiguredSizes {
    int colourWidth = 0, colourHeight = 0;  // the depth camera's colour stream, which depth is aligned to
    bool usbCamera = false;                 // a USB camera saved colour images without depth
    int usbWidth = 0, usbHeight = 0;
};

int intAt(const YAML::Node& node, const char* key)
{
    try {
        if (node.IsMap() && node[key] && node[key].IsScalar())
            return node[key].as<int>();
    } catch (const YAML::Exception&) {
    }
    return 0;
}

std::string textAt(const YAML::Node& node, const char* key)
{
    try {
        if (node.IsMap() && node[key] && node[key].IsScalar())
            return node[key].as<std::string>();
    } catch (const YAML::Exception&) {
    }
    return {};
}

void checkMeta(const std::string& session, SessionReport& report, ConfiguredSizes& sizes)
{
    const std::string path = session + "/meta.yaml";
    if (!fs::exists(path)) {
        report.problems.push_back({ProblemKind::MissingFile, "meta.yaml", "meta.yaml is missing"});
        return;
    }
    YAML::Node meta;
    try {
        meta = YAML::LoadFile(path);
    } catch (const std::exception& error) {
        report.problems.push_back({ProblemKind::BadMeta, "meta.yaml", std::string("does not parse: ") + error.what()});
        return;
    }
    if (!meta.IsMap()) {
        report.problems.push_back({ProblemKind::BadMeta, "meta.yaml", "is not a mapping of keys"});
        return;
    }
    checkKeyOrder(meta, kMetaKeys, kOptionalMetaKeys, "", report.problems);
    report.captureMode = textAt(meta, "capture_mode");
    report.date = textAt(meta, "date");
    report.sceneLabel = textAt(meta, "scene_label");
    report.taskLabel = textAt(meta, "task_label");
    report.partNumber = textAt(meta, "part_number");
    if (const std::string time = textAt(meta, "session_time"); !time.empty())
        report.sessionTime = time;

    const YAML::Node devices = meta["device_config"];
    if (!devices)
        return;
    if (!devices.IsMap()) {
        report.problems.push_back({ProblemKind::BadMeta, "meta.yaml", "device_config is not a mapping"});
        return;
    }
    checkKeyOrder(devices, kDeviceKeys, {}, "device_config: ", report.problems);
    for (const char* camera : {"camera1", "camera2", "camera3"}) {
        const YAML::Node entry = devices[camera];
        if (entry && entry.IsMap())
            checkKeyOrder(entry, kCameraKeys, {}, std::string("device_config.") + camera + ": ", report.problems);
    }
    sizes.colourWidth = intAt(devices["camera1"], "width");
    sizes.colourHeight = intAt(devices["camera1"], "height");
    sizes.usbCamera = intAt(devices["camera3"], "camera_id") == 1;
    sizes.usbWidth = intAt(devices["camera3"], "width");
    sizes.usbHeight = intAt(devices["camera3"], "height");
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

void listImages(const fs::path& folder, std::vector<std::string>& names, std::vector<Problem>& problems,
    const std::string& relativeFolder)
{
    std::error_code error;
    fs::directory_iterator it(folder, error);
    if (error) {
        problems.push_back({ProblemKind::Unreadable, relativeFolder, "cannot list: " + error.message()});
        return;
    }
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error)
            break;
        const std::string name = it->path().filename().string();
        if (isLeftoverName(name) || !it->is_regular_file(error))
            continue;  // leftovers are reported by the walk over the whole session
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
}

Layout readLayout(const std::string& session, SessionReport& report)
{
    Layout layout;
    std::vector<fs::path> candidates = {fs::path(session)};
    std::error_code error;
    for (fs::directory_iterator it(session, error); !error && it != fs::directory_iterator(); it.increment(error))
        if (it->is_directory(error))
            candidates.push_back(it->path());
    if (error)
        report.problems.push_back({ProblemKind::Unreadable, "", "cannot list the session folder: " + error.message()});
    std::sort(candidates.begin() + 1, candidates.end());

    for (const fs::path& folder : candidates) {
        const bool hasColour = fs::is_directory(folder / "color", error);
        const bool hasDepth = fs::is_directory(folder / "depth", error);
        if (!hasColour && !hasDepth)
            continue;
        DeviceFiles device;
        device.prefix = folder == fs::path(session) ? "" : folder.filename().string() + "/";
        if (hasColour)
            listImages(folder / "color", device.colour, report.problems, device.prefix + "color");
        if (hasDepth)
            listImages(folder / "depth", device.depth, report.problems, device.prefix + "depth");
        device.hasImuFile = fs::is_regular_file(folder / "data.json", error);
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

void checkManifest(const std::string& session, const Layout& layout, std::vector<Problem>& problems)
{
    std::vector<uint8_t> bytes;
    std::string error;
    if (!fs::exists(session + "/manifest.json")) {
        problems.push_back({ProblemKind::MissingFile, "manifest.json", "manifest.json is missing (single-shot session)"});
        return;
    }
    if (!readWholeFile(session + "/manifest.json", bytes, error)) {
        problems.push_back({ProblemKind::Unreadable, "manifest.json", error});
        return;
    }
    const json manifest = json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (manifest.is_discarded() || !(manifest.is_null() || manifest.is_object())) {
        problems.push_back({ProblemKind::BadManifest, "manifest.json", "does not parse as a JSON object"});
        return;
    }
    std::set<std::string> listed;
    if (manifest.is_object()) {
        for (const auto& [key, entry] : manifest.items()) {
            const auto files = entry.is_object() ? entry.find("files") : entry.end();
            if (!entry.is_object() || files == entry.end() || !files->is_array()) {
                problems.push_back({ProblemKind::BadManifest, "manifest.json", "entry \"" + key + "\" has no file list"});
                continue;
            }
            for (const auto& file : *files) {
                if (!file.is_string()) {
                    problems.push_back({ProblemKind::BadManifest, "manifest.json", "entry \"" + key + "\" lists a non-text file"});
                    continue;
                }
                const std::string name = file.get<std::string>();
                listed.insert(name);
                if (!layout.images.count(name))
                    problems.push_back({ProblemKind::BadManifest, "manifest.json", "names a missing file: " + name});
            }
        }
    }
    for (const auto& image : layout.images)
        if (!listed.count(image))
            problems.push_back({ProblemKind::BadManifest, image, "image on disk is not in manifest.json"});
}

// ------------------------------------------------------------ data.json

constexpr size_t kReportedLinesPerKind = 5;

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
    if (stem.size() != 17 || !parseTimestampText(stem, fields, milliseconds))
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
// the images stopped for as long at the same point: images and IMU samples
// are saved only while a run is on. A gap in the IMU alone is a hole.
struct ImuGap {
    double length;
    size_t line;
};

void checkImu(const std::string& session, const std::string& prefix, const ImagePauses& imagePauses, ImuSummary& imu,
    std::vector<Problem>& problems)
{
    const std::string relative = prefix + "data.json";
    std::vector<uint8_t> bytes;
    std::string error;
    if (!readWholeFile(session + "/" + relative, bytes, error)) {
        problems.push_back({ProblemKind::Unreadable, relative, error});
        return;
    }
    imu.present = true;
    size_t badLines = 0, backwards = 0, lineNumber = 0;
    std::vector<ImuGap> gaps;
    bool haveTime = false;
    double previous = 0;
    const char* text = reinterpret_cast<const char*>(bytes.data());
    const size_t size = bytes.size();
    for (size_t start = 0; start < size;) {
        const char* newline = static_cast<const char*>(std::memchr(text + start, '\n', size - start));
        const size_t end = newline ? static_cast<size_t>(newline - text) : size;
        ++lineNumber;
        const json line = json::parse(text + start, text + end, nullptr, false);
        start = end + 1;
        if (!line.is_discarded() && line.is_object() && line.contains("version") && lineNumber == 1)
            continue;
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
            if (++badLines <= kReportedLinesPerKind)
                problems.push_back({ProblemKind::BadImuLine, relative,
                    "line " + std::to_string(lineNumber) + " is not an IMU sample"});
            continue;
        }
        const double t = time->get<double>();
        if ((*sensor)["type"] == "accelerometer") {
            if (imu.samples == 0)
                imu.firstTime = t;
            ++imu.samples;
        }
        if (haveTime && t < previous) {
            if (++backwards <= kReportedLinesPerKind)
                problems.push_back({ProblemKind::ImuTimeBackwards, relative,
                    "line " + std::to_string(lineNumber) + " goes back " + std::to_string((previous - t) * 1000.0).substr(0, 8) + " ms"});
        } else if (haveTime && t - previous > imuGapLimitSeconds) {
            gaps.push_back({t - previous, lineNumber});
        }
        if (!haveTime || t >= previous)
            previous = t;
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
        if (match < imagePauses.lengths.size()) {
            ++imu.pauses;
            imu.pausedSeconds += gap.length;
            nextPause = match + 1;
            continue;
        }
        ++imu.gaps;
        imu.longestGapSeconds = std::max(imu.longestGapSeconds, gap.length);
        if (imu.gaps <= kReportedLinesPerKind) {
            char detail[96];
            std::snprintf(detail, sizeof detail, "gap of %.0f ms before line %zu", gap.length * 1000.0, gap.line);
            problems.push_back({ProblemKind::ImuGap, relative, detail});
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

bool isJpeg(const std::vector<uint8_t>& bytes)
{
    return bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
}

// Decodes every scan of a JPEG; a warning (data cut short, corrupt data) fails it.
bool decodeJpeg(const std::vector<uint8_t>& bytes, int& width, int& height, std::string& error)
{
    thread_local TurboJpeg decoder;
    thread_local std::vector<uint8_t> pixels;
    int subsampling = 0, colourspace = 0;
    if (!decoder.handle
        || tjDecompressHeader3(decoder.handle, bytes.data(), static_cast<unsigned long>(bytes.size()), &width, &height,
               &subsampling, &colourspace) != 0) {
        error = decoder.handle ? tjGetErrorStr2(decoder.handle) : "no JPEG decoder";
        return false;
    }
    pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
    if (tjDecompress2(decoder.handle, bytes.data(), static_cast<unsigned long>(bytes.size()), pixels.data(), width, 0,
            height, TJPF_GRAY, TJFLAG_STOPONWARNING | TJFLAG_FASTDCT) != 0) {
        error = tjGetErrorStr2(decoder.handle);
        return false;
    }
    return true;
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
    Layout layout;
    size_t firstJob = 0, jobCount = 0;
    std::atomic<size_t> jobsLeft{0};
};

void checkImage(const SessionWork& work, const ImageJob& job, std::vector<Problem>& problems)
{
    const std::string& session = work.report.path;
    int colourWidth = 0, colourHeight = 0;
    if (!job.colourName.empty()) {
        const std::string relative = job.device->prefix + "color/" + job.colourName;
        std::vector<uint8_t> bytes;
        std::string error;
        if (!readWholeFile(session + "/" + relative, bytes, error)) {
            problems.push_back({ProblemKind::Unreadable, relative, error});
        } else if (bytes.empty()) {
            problems.push_back({ProblemKind::BadImage, relative, "empty file"});
        } else if (isJpeg(bytes)) {
            if (!decodeJpeg(bytes, colourWidth, colourHeight, error))
                problems.push_back({ProblemKind::BadImage, relative, "JPEG does not decode fully: " + error});
        } else {
            const cv::Mat image = cv::imdecode(bytes, cv::IMREAD_UNCHANGED);
            if (image.empty())
                problems.push_back({ProblemKind::BadImage, relative, "does not decode"});
            colourWidth = image.cols;
            colourHeight = image.rows;
        }
    }
    const ConfiguredSizes& sizes = work.sizes;
    if (!job.colourName.empty() && job.depthName.empty()) {
        // A USB camera's colour images have no depth; they have its size.
        const bool fromUsb = sizes.usbCamera && colourWidth == sizes.usbWidth && colourHeight == sizes.usbHeight
            && (colourWidth != sizes.colourWidth || colourHeight != sizes.colourHeight);
        if (!fromUsb)
            problems.push_back({ProblemKind::MissingDepth, job.device->prefix + "color/" + job.colourName,
                "no depth image " + job.device->prefix + "depth/" + job.stem + ".png"});
    }
    if (job.depthName.empty())
        return;
    const std::string relative = job.device->prefix + "depth/" + job.depthName;
    if (job.colourName.empty())
        problems.push_back({ProblemKind::MissingColour, relative, "no colour image with the same timestamp"});
    std::vector<uint8_t> bytes;
    std::string error;
    if (!readWholeFile(session + "/" + relative, bytes, error)) {
        problems.push_back({ProblemKind::Unreadable, relative, error});
        return;
    }
    const cv::Mat depth = bytes.empty() ? cv::Mat() : cv::imdecode(bytes, cv::IMREAD_UNCHANGED);
    if (depth.empty()) {
        problems.push_back({ProblemKind::BadImage, relative, bytes.empty() ? "empty file" : "PNG does not decode fully"});
        return;
    }
    if (depth.type() != CV_16UC1) {
        problems.push_back({ProblemKind::WrongDepthFormat, relative,
            std::to_string(depth.elemSize1() * 8) + "-bit with " + std::to_string(depth.channels())
                + " channels, expected 16-bit grey"});
        return;
    }
    // Depth is aligned to the colour stream: the configured colour size, or
    // the paired colour image's when meta.yaml has none.
    const int wantWidth = sizes.colourWidth > 0 ? sizes.colourWidth : colourWidth;
    const int wantHeight = sizes.colourHeight > 0 ? sizes.colourHeight : colourHeight;
    if (wantWidth > 0 && wantHeight > 0 && (depth.cols != wantWidth || depth.rows != wantHeight))
        problems.push_back({ProblemKind::WrongDepthFormat, relative,
            std::to_string(depth.cols) + "x" + std::to_string(depth.rows) + ", expected " + std::to_string(wantWidth)
                + "x" + std::to_string(wantHeight)});
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

bool isSessionFolder(const std::string& path)
{
    std::error_code error;
    return fs::is_regular_file(path + "/meta.yaml", error) || fs::is_regular_file(path + "/manifest.json", error)
        || (fs::is_directory(path, error) && looksLikeSessionTime(fs::path(path).filename().string()));
}

std::vector<std::string> findSessions(const std::vector<std::string>& paths, std::vector<std::string>* missing)
{
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
        if (isSessionFolder(path)) {
            found.insert(path);
            continue;
        }
        fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied, error), end;
        for (; !error && it != end; it.increment(error)) {
            if (!it->is_directory(error) || it->is_symlink(error))
                continue;
            if (isSessionFolder(it->path().string())) {
                found.insert(it->path().string());
                it.disable_recursion_pending();
            } else if (it.depth() >= 6) {
                it.disable_recursion_pending();  // deeper than any dataset layout
            }
        }
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
        checkMeta(work.report.path, work.report, work.sizes);
        work.layout = readLayout(work.report.path, work.report);
        const bool manifestExpected = work.report.captureMode.empty()
            ? fs::exists(work.report.path + "/manifest.json")
            : !isContinuousMode(work.report.captureMode);
        if (manifestExpected)
            checkManifest(work.report.path, work.layout, work.report.problems);
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
        if (wanted && job.imuJob)
            checkImu(work.report.path, job.device->prefix,
                isContinuousMode(work.report.captureMode) ? imagePauses(job.device->colour) : ImagePauses{}, jobImu[j],
                jobProblems[j]);
        else if (wanted)
            checkImage(work, job, jobProblems[j]);
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
            {"problems", problems}});
    }
    return out.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

} // namespace session_check
