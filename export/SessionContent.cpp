#include "SessionContent.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "ExportSupport.h"
#include "TimestampText.h"

namespace session_export {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

bool readText(const fs::path& path, std::string& text)
{
    return readBytes(path.string(), text);
}

// Image file names are the host's local wall clock at the callback,
// "YYYYMMDDhhmmssmmm"; nanoseconds since the epoch in UTC, 0 when unreadable.
int64_t hostTimeOfName(const std::string& relative)
{
    const std::string stem = fs::path(relative).stem().string();
    std::tm fields{};
    int milliseconds = 0;
    if (stem.size() != 17 || !parseTimestampText(stem, fields, milliseconds))
        return 0;
    fields.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&fields);
    if (seconds < 0)
        return 0;
    return static_cast<int64_t>(seconds) * 1000000000LL + static_cast<int64_t>(milliseconds) * 1000000LL;
}

bool isNumber(const json& object, const char* key)
{
    return object.is_object() && object.contains(key) && object[key].is_number();
}

// A number as an unsigned 64-bit integer; JSON doubles above 2^53 lose nothing we need.
bool unsignedOf(const json& object, const char* key, uint64_t& value)
{
    if (!isNumber(object, key))
        return false;
    const json& v = object[key];
    if (v.is_number_unsigned())
        value = v.get<uint64_t>();
    else if (v.is_number_integer() && v.get<int64_t>() >= 0)
        value = static_cast<uint64_t>(v.get<int64_t>());
    else if (v.is_number_float() && v.get<double>() >= 0)
        value = static_cast<uint64_t>(std::llround(v.get<double>()));
    else
        return false;
    return true;
}

template <size_t N>
bool numbersOf(const json& object, const char* key, std::array<double, N>& values)
{
    if (!object.is_object() || !object.contains(key) || !object[key].is_array() || object[key].size() != N)
        return false;
    for (size_t i = 0; i < N; ++i) {
        if (!object[key][i].is_number())
            return false;
        values[i] = object[key][i].get<double>();
    }
    return true;
}

std::optional<StreamCalibration> streamOf(const json& streams, const char* name)
{
    if (!streams.is_object() || !streams.contains(name) || !streams[name].is_object())
        return std::nullopt;
    const json& s = streams[name];
    StreamCalibration stream;
    uint64_t value = 0;
    if (unsignedOf(s, "width", value))
        stream.width = static_cast<uint32_t>(value);
    if (unsignedOf(s, "height", value))
        stream.height = static_cast<uint32_t>(value);
    if (s.contains("intrinsics") && s["intrinsics"].is_object()) {
        const json& k = s["intrinsics"];
        stream.intrinsicsKnown = isNumber(k, "fx") && isNumber(k, "fy") && isNumber(k, "cx") && isNumber(k, "cy");
        if (stream.intrinsicsKnown) {
            stream.fx = k["fx"].get<double>();
            stream.fy = k["fy"].get<double>();
            stream.cx = k["cx"].get<double>();
            stream.cy = k["cy"].get<double>();
        }
    }
    if (s.contains("distortion") && s["distortion"].is_object()) {
        const json& d = s["distortion"];
        if (d.contains("model") && d["model"].is_string())
            stream.distortionModel = d["model"].get<std::string>();
        if (d.contains("coefficients") && d["coefficients"].is_object())
            for (const auto& [key, coefficient] : d["coefficients"].items())
                if (coefficient.is_number())
                    stream.coefficients[key] = coefficient.get<double>();
    }
    return stream;
}

std::optional<Extrinsic> extrinsicOf(const json& extrinsics, const char* name)
{
    if (!extrinsics.is_object() || !extrinsics.contains(name))
        return std::nullopt;
    Extrinsic extrinsic;
    if (!numbersOf(extrinsics[name], "rotation", extrinsic.rotation)
        || !numbersOf(extrinsics[name], "translation_m", extrinsic.translationM))
        return std::nullopt;
    return extrinsic;
}

// One line of frames.csv.
struct FrameRow {
    uint64_t colourUs = 0, depthUs = 0;
    int64_t hostNs = 0;
};

const char* const kFramesHeader
    = "set,color_file,depth_file,color_device_us,depth_device_us,color_index,depth_index,host_utc_ns,snapshot_id";

bool unsignedText(const std::string& text, uint64_t& value)
{
    if (text.empty() || text.size() > 20 || !std::all_of(text.begin(), text.end(), ::isdigit))
        return false;
    try {
        value = std::stoull(text);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

// Rows by colour file (relative to the session). `bad` counts lines that are not a row.
std::map<std::string, FrameRow> readFrames(const std::string& text, const std::string& prefix, size_t& bad)
{
    std::map<std::string, FrameRow> rows;
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kFramesHeader) {
        bad = 1;
        return rows;
    }
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        std::vector<std::string> fields;
        std::string field;
        std::istringstream cells(line);
        while (std::getline(cells, field, ','))
            fields.push_back(field);
        if (line.back() == ',')
            fields.emplace_back();
        FrameRow row;
        uint64_t host = 0;
        if (fields.size() != 9 || fields[1].empty() || !unsignedText(fields[3], row.colourUs)
            || (!fields[2].empty() && !unsignedText(fields[4], row.depthUs)) || !unsignedText(fields[7], host)) {
            ++bad;
            continue;
        }
        row.hostNs = static_cast<int64_t>(host);
        rows[prefix + fields[1]] = row;
        if (!fields[2].empty())
            rows[prefix + fields[2]] = row;
    }
    return rows;
}

struct ImuLine {
    int64_t stamp;
    std::array<double, 3> accel, gyro;
};

// A device time on UTC through the run that holds it, else the nearest run.
int64_t utcNs(const std::vector<clock_fit::RunClock>& runs, uint64_t deviceUs)
{
    return clock_fit::runFor(runs, deviceUs)->toUtcNs(deviceUs);
}

// data.json: a version line, then an accelerometer and a gyroscope entry per
// sample with the same time. Stamps are the accelerometer's device µs mapped
// through the clock when there is one, else the device time as it is.
// Lines that are not that are listed in leftOut.
std::vector<ImuItem> readImu(const std::string& session, const std::string& relative, const std::vector<clock_fit::RunClock>& clock,
    std::vector<std::string>& leftOut)
{
    std::vector<ImuItem> samples;
    std::ifstream in(session + "/" + relative);
    if (!in) {
        leftOut.push_back(relative + ": cannot be read");
        return samples;
    }
    bool haveAccel = false;
    double pendingTime = 0;
    ImuItem pending{};
    size_t lineNumber = 0;
    auto leave = [&](size_t line, const char* why) {
        leftOut.push_back(relative + " line " + std::to_string(line) + ": " + why);
    };
    for (std::string text; std::getline(in, text);) {
        ++lineNumber;
        const json line = json::parse(text, nullptr, false);
        if (lineNumber == 1 && line.is_object() && line.contains("version"))
            continue;
        const json* sensor = nullptr;
        if (isNumber(line, "time") && line.contains("sensor") && line["sensor"].is_object())
            sensor = &line["sensor"];
        std::array<double, 3> values{};
        if (!sensor || !sensor->contains("type") || !numbersOf(*sensor, "values", values)) {
            leave(lineNumber, "not an IMU sample");
            continue;
        }
        const double seconds = line["time"].get<double>();
        uint64_t deviceUs = 0;
        const bool hasDeviceUs = unsignedOf(line, "device_us", deviceUs);
        if ((*sensor)["type"] == "accelerometer") {
            if (haveAccel)
                leave(lineNumber - 1, "accelerometer entry without its gyroscope entry");
            // "time" is the earlier of the two sensors' device times, on the same clock.
            if (!hasDeviceUs)
                deviceUs = seconds > 0 ? static_cast<uint64_t>(seconds * 1e6 + 0.5) : 0;
            const int64_t stamp = clock.empty() ? static_cast<int64_t>(deviceUs) * 1000LL : utcNs(clock, deviceUs);
            pending = {stamp, stamp, values, {}};
            pendingTime = seconds;
            haveAccel = true;
        } else if ((*sensor)["type"] == "gyroscope" && haveAccel && pendingTime == seconds) {
            pending.gyro = values;
            samples.push_back(pending);
            haveAccel = false;
        } else {
            leave(lineNumber, "gyroscope entry without its accelerometer entry");
        }
    }
    if (haveAccel)
        leave(lineNumber, "accelerometer entry without its gyroscope entry");
    return samples;
}

// Stamps that go backwards on a stream are raised to the one before, so
// players that expect order get it; returns how many were raised.
template <typename Item>
size_t keepStampsInOrder(std::vector<Item>& items, int64_t Item::*stamp)
{
    size_t raised = 0;
    for (size_t i = 1; i < items.size(); ++i)
        if (items[i].*stamp < items[i - 1].*stamp) {
            items[i].*stamp = items[i - 1].*stamp;
            ++raised;
        }
    return raised;
}

} // namespace

std::optional<Calibration> parseCalibration(const std::string& text, std::string& why)
{
    const json document = json::parse(text, nullptr, false);
    if (!document.is_object()) {
        why = "not a JSON object";
        return std::nullopt;
    }
    Calibration calibration;
    calibration.known = document.value("calibration_known", false) == true;
    if (isNumber(document, "depth_unit_m") && document["depth_unit_m"].get<double>() > 0) {
        calibration.depthUnitM = document["depth_unit_m"].get<double>();
        calibration.depthUnitKnown = true;
    }
    calibration.depthAlignedToColour = document.contains("depth_aligned_to") && document["depth_aligned_to"] == "color";
    if (document.contains("streams")) {
        calibration.colour = streamOf(document["streams"], "color");
        calibration.depth = streamOf(document["streams"], "depth");
    }
    if (calibration.known && document.contains("extrinsics")) {
        calibration.depthToColour = extrinsicOf(document["extrinsics"], "depth_to_color");
        calibration.imuToColour = extrinsicOf(document["extrinsics"], "imu_to_color");
    }
    return calibration;
}

std::optional<mcap_export::CameraModel> cameraModel(const StreamCalibration& stream, std::string& why)
{
    if (!stream.intrinsicsKnown) {
        why = "no intrinsics";
        return std::nullopt;
    }
    mcap_export::CameraModel model;
    model.width = stream.width;
    model.height = stream.height;
    auto coefficient = [&](const char* name) {
        const auto found = stream.coefficients.find(name);
        return found == stream.coefficients.end() ? 0.0 : found->second;
    };
    if (stream.distortionModel == "brown_conrady" || stream.distortionModel == "none" || stream.distortionModel.empty()) {
        model.d = {coefficient("k1"), coefficient("k2"), coefficient("p1"), coefficient("p2"), coefficient("k3")};
        const double k4 = coefficient("k4"), k5 = coefficient("k5"), k6 = coefficient("k6");
        model.distortionModel = k4 != 0 || k5 != 0 || k6 != 0 ? "rational_polynomial" : "plumb_bob";
        if (model.distortionModel == "rational_polynomial")
            model.d.insert(model.d.end(), {k4, k5, k6});
    } else {
        why = "distortion model \"" + stream.distortionModel + "\" has no ROS equivalent";
        return std::nullopt;
    }
    model.k = {stream.fx, 0, stream.cx, 0, stream.fy, stream.cy, 0, 0, 1};
    model.r = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    model.p = {stream.fx, 0, stream.cx, 0, 0, stream.fy, stream.cy, 0, 0, 0, 1, 0};
    return model;
}

std::array<double, 4> quaternionOf(const std::array<double, 9>& r)
{
    // The branch on the largest diagonal term keeps the division well away from zero.
    const double trace = r[0] + r[4] + r[8];
    std::array<double, 4> q{};  // x, y, z, w
    if (trace > 0) {
        const double s = 2.0 * std::sqrt(1.0 + trace);
        q = {(r[7] - r[5]) / s, (r[2] - r[6]) / s, (r[3] - r[1]) / s, s / 4};
    } else if (r[0] > r[4] && r[0] > r[8]) {
        const double s = 2.0 * std::sqrt(1.0 + r[0] - r[4] - r[8]);
        q = {s / 4, (r[1] + r[3]) / s, (r[2] + r[6]) / s, (r[7] - r[5]) / s};
    } else if (r[4] > r[8]) {
        const double s = 2.0 * std::sqrt(1.0 + r[4] - r[0] - r[8]);
        q = {(r[1] + r[3]) / s, s / 4, (r[5] + r[7]) / s, (r[2] - r[6]) / s};
    } else {
        const double s = 2.0 * std::sqrt(1.0 + r[8] - r[0] - r[4]);
        q = {(r[2] + r[6]) / s, (r[5] + r[7]) / s, s / 4, (r[3] - r[1]) / s};
    }
    const double norm = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    for (double& v : q)
        v /= norm;
    return q;
}

SessionContent readSessionContent(const session_check::SessionReport& report)
{
    SessionContent content;
    const std::string& session = report.path;

    // Images the checker found damaged or unpaired; with --force their frame sets are left out.
    std::map<std::string, std::string> damaged;
    std::set<std::string> withoutDepth;
    for (const auto& problem : report.problems) {
        if (problem.file.empty() || fs::path(problem.file).extension() != ".png")
            continue;
        if (problem.kind == session_check::ProblemKind::MissingDepth)
            withoutDepth.insert(problem.file);
        else
            damaged.emplace(problem.file, problem.detail);
    }

    // Frame sets by device folder ("" for a session without one).
    std::map<std::string, std::vector<session_check::FrameSetFiles>> setsByFolder;
    for (auto& set : session_check::listFrameSets(session)) {
        const std::string& named = set.colour.empty() ? set.depth : set.colour;
        const auto slash = named.find('/');
        const auto secondSlash = named.find('/', slash + 1);
        setsByFolder[secondSlash == std::string::npos ? std::string() : named.substr(0, slash)].push_back(std::move(set));
    }
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(session, error))
        if (entry.is_directory() && fs::is_regular_file(entry.path() / "data.json"))
            setsByFolder[entry.path().filename().string()];

    for (auto& [folder, sets] : setsByFolder) {
        DeviceContent device;
        device.name = folder.empty() ? "camera" : folder;
        device.folder = folder;
        const fs::path deviceDir = folder.empty() ? fs::path(session) : fs::path(session) / folder;
        const std::string prefix = folder.empty() ? std::string() : folder + "/";
        const std::string label = folder.empty() ? std::string() : folder + ": ";
        std::string text, why;

        if (readText(deviceDir / "calibration.json", text)) {
            device.calibration = parseCalibration(text, why);
            if (!device.calibration)
                content.notes.push_back("warning: " + prefix + "calibration.json does not parse (" + why
                    + "): no camera_info and no transforms for it");
        }
        // A USB camera says so by having no depth stream; older sessions by having no depth images the checker missed.
        const bool depthImages = std::any_of(sets.begin(), sets.end(), [](const auto& s) { return !s.depth.empty(); });
        const bool missedDepth = std::any_of(sets.begin(), sets.end(), [&](const auto& s) { return withoutDepth.count(s.colour); });
        device.usbCamera = device.calibration ? device.calibration->colour && !device.calibration->depth
                                              : !sets.empty() && !depthImages && !missedDepth;

        std::vector<clock_fit::RunClock> clock;
        if (readText(deviceDir / clock_fit::fileName, text)) {
            clock_fit::Parsed parsed = clock_fit::parse(text);
            if (parsed.error.empty() && !parsed.runs.empty())
                clock = std::move(parsed.runs);
            else
                content.notes.push_back("warning: " + prefix + "clock.json is not a clock mapping ("
                    + (parsed.error.empty() ? std::string("no runs") : parsed.error) + "): stamps are host receive times");
        }
        std::map<std::string, FrameRow> rows;
        const bool haveFrames = readText(deviceDir / "frames.csv", text);
        if (haveFrames) {
            size_t bad = 0;
            rows = readFrames(text, prefix, bad);
            if (bad > 0)
                content.notes.push_back("warning: " + prefix + "frames.csv: " + plural(bad, "line is", "lines are")
                    + " not a frame row; those images are timed by their file names");
        }

        size_t timedByName = 0;
        for (const auto& set : sets) {
            const std::string& named = set.colour.empty() ? set.depth : set.colour;
            const bool whole = !set.colour.empty() && (device.usbCamera || !set.depth.empty());
            if (!whole) {
                content.leftOut.push_back(named + ": " + (set.colour.empty() ? "no colour image" : "no depth image")
                    + " with the same timestamp");
                continue;
            }
            if (damaged.count(set.colour) || damaged.count(set.depth)) {
                const std::string& bad = damaged.count(set.colour) ? set.colour : set.depth;
                content.leftOut.push_back(bad + ": " + damaged[bad]);
                continue;
            }
            if (device.usbCamera && !set.depth.empty())
                content.leftOut.push_back(set.depth + ": a depth image in the folder of a camera without depth");
            FrameItem item;
            item.colour = set.colour;
            item.depth = device.usbCamera ? std::string() : set.depth;
            const auto row = rows.find(set.colour);
            if (row != rows.end()) {
                item.logTime = row->second.hostNs;
                item.colourStamp = clock.empty() ? row->second.hostNs : utcNs(clock, row->second.colourUs);
                item.depthStamp = clock.empty() ? row->second.hostNs : utcNs(clock, row->second.depthUs);
            } else {
                item.logTime = item.colourStamp = item.depthStamp = hostTimeOfName(set.colour);
                if (item.logTime == 0) {
                    content.leftOut.push_back(set.colour + ": the file name is not a timestamp and frames.csv has no row for it");
                    continue;
                }
                ++timedByName;
            }
            device.frames.push_back(std::move(item));
        }
        std::stable_sort(device.frames.begin(), device.frames.end(),
            [](const FrameItem& a, const FrameItem& b) { return a.logTime < b.logTime; });

        if (!device.frames.empty()) {
            if (!haveFrames)
                content.notes.push_back(label + "image times are host times: the local wall clock of the file names,"
                                                " to the millisecond (the session has no frames.csv)");
            else if (timedByName > 0)
                content.notes.push_back("warning: " + prefix + "frames.csv has no row for "
                    + plural(timedByName, "image", "images") + "; they are timed by their file names");
            if (haveFrames && clock.empty())
                content.notes.push_back(label + "image stamps are host receive times (the session has no clock mapping)");
        }

        if (fs::is_regular_file(deviceDir / "data.json")) {
            device.hasImu = true;
            device.imu = readImu(session, prefix + "data.json", clock, content.leftOut);
            std::stable_sort(device.imu.begin(), device.imu.end(),
                [](const ImuItem& a, const ImuItem& b) { return a.logTime < b.logTime; });
            if (!device.imu.empty() && clock.empty())
                content.notes.push_back(label + "IMU times are the device clock (the session has no clock mapping to"
                                                " the host's)");

        }

        const size_t raised = keepStampsInOrder(device.frames, &FrameItem::colourStamp)
            + keepStampsInOrder(device.frames, &FrameItem::depthStamp) + keepStampsInOrder(device.imu, &ImuItem::stamp);
        if (raised > 0)
            content.notes.push_back("warning: " + label + plural(raised, "stamp", "stamps")
                + " went back in time on the device clock and were raised to the one before");
        content.devices.push_back(std::move(device));
    }
    return content;
}

} // namespace session_export
