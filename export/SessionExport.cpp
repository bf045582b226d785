#include "SessionExport.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <yaml-cpp/yaml.h>

#include "AtomicFile.h"
#include "McapWriter.h"
#include "RosMessages.h"
#include "TimestampText.h"

namespace session_export {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace mcap_export;

namespace {

bool readBytes(const std::string& path, std::string& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Image file names are the host's local wall clock at the callback,
// "YYYYMMDDhhmmssmmm"; nanoseconds since the epoch in UTC, 0 when unreadable.
uint64_t hostTimeOfName(const std::string& relative)
{
    const std::string stem = fs::path(relative).stem().string();
    std::tm fields{};
    int milliseconds = 0;
    if (stem.size() != 17 || !parseTimestampText(stem, fields, milliseconds))
        return 0;
    const std::time_t seconds = std::mktime(&fields);
    if (seconds < 0)
        return 0;
    return static_cast<uint64_t>(seconds) * 1000000000ULL + static_cast<uint64_t>(milliseconds) * 1000000ULL;
}

std::string deviceOf(const std::string& relative)
{
    return relative.substr(0, relative.find('/'));
}

struct ImuSample {
    uint64_t time;  // ns of the device clock
    std::array<double, 3> accel, gyro;
};

// data.json: a version line, then an accelerometer and a gyroscope entry per
// sample with the same time. Lines that are not that are listed in leftOut.
std::vector<ImuSample> readImu(const std::string& session, const std::string& relative, std::vector<std::string>& leftOut)
{
    std::vector<ImuSample> samples;
    std::ifstream in(session + "/" + relative);
    if (!in) {
        leftOut.push_back(relative + ": cannot be read");
        return samples;
    }
    bool haveAccel = false;
    ImuSample pending{};
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
        if (line.is_object() && line.contains("sensor") && line["sensor"].is_object() && line.contains("time")
            && line["time"].is_number())
            sensor = &line["sensor"];
        const bool valid = sensor && sensor->contains("type") && sensor->contains("values")
            && (*sensor)["values"].is_array() && (*sensor)["values"].size() == 3
            && std::all_of((*sensor)["values"].begin(), (*sensor)["values"].end(), [](const json& v) { return v.is_number(); });
        if (!valid) {
            leave(lineNumber, "not an IMU sample");
            continue;
        }
        const double seconds = line["time"].get<double>();
        const uint64_t time = seconds > 0 ? static_cast<uint64_t>(seconds * 1e6 + 0.5) * 1000ULL : 0;
        std::array<double, 3> values;
        for (int i = 0; i < 3; ++i)
            values[i] = (*sensor)["values"][i].get<double>();
        if ((*sensor)["type"] == "accelerometer") {
            if (haveAccel)
                leave(lineNumber - 1, "accelerometer entry without its gyroscope entry");
            pending = {time, values, {}};
            haveAccel = true;
        } else if ((*sensor)["type"] == "gyroscope" && haveAccel && pending.time == time) {
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

std::string yamlText(const YAML::Node& meta, const char* key)
{
    try {
        const YAML::Node value = meta[key];
        if (value && value.IsScalar())
            return value.as<std::string>();
        if (value && value.IsSequence()) {
            std::string joined;
            for (const auto& item : value)
                if (item.IsScalar())
                    joined += (joined.empty() ? "" : ",") + item.as<std::string>();
            return joined;
        }
    } catch (const YAML::Exception&) {
    }
    return {};
}

// One message to write, in log-time order.
struct Pending {
    uint64_t time;
    int kind;      // 0 colour, 1 depth, 2 IMU
    size_t index;  // into the frame sets or the device's IMU samples
    std::string device;
};

} // namespace

std::string outputPath(const std::string& session, const std::string& outDir)
{
    std::string name = fs::path(session).lexically_normal().filename().string();
    if (name.empty())
        name = fs::path(session).lexically_normal().parent_path().filename().string();
    return (fs::path(outDir.empty() ? "." : outDir) / (name + ".mcap")).string();
}

std::string countsLine(const std::map<std::string, size_t>& counts)
{
    std::string line;
    for (const auto& [topic, count] : counts)
        line += (line.empty() ? "" : ", ") + std::to_string(count) + " " + topic;
    return line.empty() ? "nothing" : line;
}

Result exportMcap(const session_check::SessionReport& report, const Options& options)
{
    Result result;
    result.session = report.path;
    const std::string& session = report.path;
    if (!report.passed() && !options.force) {
        const size_t problems = report.problems.size();
        result.error = "refused: the session fails its checks (" + std::to_string(problems)
            + (problems == 1 ? " problem" : " problems") + ", listed below); --force exports what is whole";
        return result;
    }

    // Images the checker found damaged; with --force their frame sets are left out.
    std::map<std::string, std::string> damaged;
    for (const auto& problem : report.problems)
        if (!problem.file.empty() && fs::path(problem.file).extension() == ".png")
            damaged.emplace(problem.file, problem.detail);

    std::vector<session_check::FrameSetFiles> frameSets;
    for (const auto& set : session_check::listFrameSets(session)) {
        const std::string& named = set.colour.empty() ? set.depth : set.colour;
        if (set.colour.empty() || set.depth.empty()) {
            result.leftOut.push_back(named + ": " + (set.colour.empty() ? "no colour image" : "no depth image")
                + " with the same timestamp");
        } else if (damaged.count(set.colour) || damaged.count(set.depth)) {
            const std::string& bad = damaged.count(set.colour) ? set.colour : set.depth;
            result.leftOut.push_back(bad + ": " + damaged[bad]);
        } else if (hostTimeOfName(set.colour) == 0) {
            result.leftOut.push_back(set.colour + ": the file name is not a timestamp");
        } else {
            frameSets.push_back(set);
        }
    }

    std::vector<Pending> order;
    std::set<std::string> devices;
    for (size_t i = 0; i < frameSets.size(); ++i) {
        const std::string device = deviceOf(frameSets[i].colour);
        devices.insert(device);
        const uint64_t time = hostTimeOfName(frameSets[i].colour);
        order.push_back({time, 0, i, device});
        order.push_back({time, 1, i, device});
    }
    std::map<std::string, std::vector<ImuSample>> imu;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(session, error)) {
        if (!entry.is_directory() || !fs::is_regular_file(entry.path() / "data.json"))
            continue;
        const std::string device = entry.path().filename().string();
        devices.insert(device);
        imu[device] = readImu(session, device + "/data.json", result.leftOut);
        for (size_t i = 0; i < imu[device].size(); ++i)
            order.push_back({imu[device][i].time, 2, i, device});
    }
    std::stable_sort(order.begin(), order.end(), [](const Pending& a, const Pending& b) { return a.time < b.time; });

    result.notes.push_back("image times are host times: the local wall clock of the file names, to the millisecond"
                           " (the session has no frames.csv)");
    if (!imu.empty())
        result.notes.push_back("IMU times are the device clock (the session has no clock mapping to the host's)");
    bool calibrated = false;
    for (const std::string& device : devices)
        calibrated = calibrated || fs::is_regular_file(fs::path(session) / device / "calibration.json");
    if (!calibrated)
        result.notes.push_back("warning: the session has no calibration: no camera_info topics and no /tf_static");
    else
        result.notes.push_back("warning: calibration.json is attached, but camera_info and /tf_static are not written yet");

    const std::string finalPath = outputPath(session, options.outDir);
    const std::string temporary = finalPath + std::string(atomic_file::kTemporarySuffix);
    McapWriter writer;
    auto fail = [&](const std::string& what, int code) {
        result.error = what + ": " + atomic_file::errorText(code);
        result.counts.clear();
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return result;
    };
    if (!writer.open(temporary, "ros2", "kavrel-export"))
        return fail("cannot create " + temporary, writer.error());

    const uint16_t compressedSchema = writer.addSchema(kCompressedImageSchema.name, "ros2msg", kCompressedImageSchema.definition);
    const uint16_t imageSchema = writer.addSchema(kImageSchema.name, "ros2msg", kImageSchema.definition);
    const uint16_t imuSchema = imu.empty() ? 0 : writer.addSchema(kImuSchema.name, "ros2msg", kImuSchema.definition);
    struct Channels { uint16_t colour = 0, depth = 0, imu = 0; };
    std::map<std::string, Channels> channels;
    for (const std::string& device : devices) {
        Channels& c = channels[device];
        c.colour = writer.addChannel(compressedSchema, "/" + device + "/color/image/compressed", "cdr");
        c.depth = writer.addChannel(imageSchema, "/" + device + "/depth/image", "cdr");
        if (imu.count(device))
            c.imu = writer.addChannel(imuSchema, "/" + device + "/imu", "cdr");
    }

    // One message from its file or sample; `problem` says why there is none.
    struct Built {
        std::vector<uint8_t> message;
        std::string topic, problem;
        uint16_t channel = 0;
    };
    auto build = [&](const Pending& item) {
        Built built;
        if (item.kind == 0) {
            const std::string& file = frameSets[item.index].colour;
            std::string jpeg;
            if (!readBytes(session + "/" + file, jpeg)) {
                built.problem = file + ": cannot be read";
                return built;
            }
            built.message = compressedImage(stampOf(item.time), item.device + "_color_optical_frame", "jpeg",
                reinterpret_cast<const uint8_t*>(jpeg.data()), jpeg.size());
            built.topic = "/" + item.device + "/color/image/compressed";
            built.channel = channels.at(item.device).colour;
        } else if (item.kind == 1) {
            const std::string& file = frameSets[item.index].depth;
            const cv::Mat depth = cv::imread(session + "/" + file, cv::IMREAD_UNCHANGED);
            if (depth.empty() || depth.type() != CV_16UC1 || !depth.isContinuous()) {
                built.problem = file + ": not a 16-bit grey PNG";
                return built;
            }
            built.message = image(stampOf(item.time), item.device + "_depth_optical_frame", depth.cols, depth.rows,
                "16UC1", static_cast<uint32_t>(depth.cols * 2), depth.data, depth.total() * 2);
            built.topic = "/" + item.device + "/depth/image";
            built.channel = channels.at(item.device).depth;
        } else {
            const ImuSample& sample = imu.at(item.device)[item.index];
            built.message = mcap_export::imu(stampOf(item.time), item.device + "_imu_frame", sample.gyro, sample.accel);
            built.topic = "/" + item.device + "/imu";
            built.channel = channels.at(item.device).imu;
        }
        return built;
    };
    // Files are read and decoded on all threads a batch at a time; the
    // messages are written in order by this one.
    const unsigned threads = std::max(1u, options.threads);
    const size_t batchSize = 16 * threads;
    for (size_t from = 0; from < order.size(); from += batchSize) {
        const size_t to = std::min(order.size(), from + batchSize);
        std::vector<Built> batch(to - from);
        std::atomic<size_t> next{from};
        auto work = [&] {
            for (size_t i; (i = next++) < to;)
                batch[i - from] = build(order[i]);
        };
        std::vector<std::thread> helpers;
        for (unsigned t = 1; t < threads; ++t)
            helpers.emplace_back(work);
        work();
        for (auto& helper : helpers)
            helper.join();
        for (size_t i = from; i < to; ++i) {
            Built& built = batch[i - from];
            if (!built.problem.empty()) {
                result.leftOut.push_back(std::move(built.problem));
                continue;
            }
            if (!writer.addMessage(built.channel, order[i].time, order[i].time, built.message))
                return fail("cannot write " + temporary, writer.error());
            ++result.counts[built.topic];
        }
    }

    std::string bytes;
    const uint64_t firstTime = order.empty() ? 0 : order.front().time;
    if (readBytes(session + "/meta.yaml", bytes)) {
        writer.addAttachment("meta.yaml", "application/yaml", firstTime, bytes);
        YAML::Node meta;
        try {
            meta = YAML::Load(bytes);
        } catch (const YAML::Exception& e) {
            result.notes.push_back(std::string("warning: meta.yaml does not parse, no metadata record: ") + e.what());
        }
        if (meta.IsMap())
            writer.addMetadata("session", {{"scene", yamlText(meta, "scene_label")}, {"task", yamlText(meta, "task_label")},
                {"part", yamlText(meta, "part_number")}, {"tags", yamlText(meta, "session_tags")},
                {"machine_id", yamlText(meta, "machine_id")}, {"date", yamlText(meta, "date")},
                {"session_time", yamlText(meta, "session_time")}, {"capture_mode", yamlText(meta, "capture_mode")}});
    } else {
        result.notes.push_back("warning: no meta.yaml: no attachment and no metadata record");
    }
    for (const std::string& device : devices)
        if (readBytes(session + "/" + device + "/calibration.json", bytes))
            writer.addAttachment(device + "/calibration.json", "application/json", firstTime, bytes);

    if (!writer.close())
        return fail("cannot write " + temporary, writer.error());
    if (std::rename(temporary.c_str(), finalPath.c_str()) != 0)
        return fail("cannot rename " + temporary, errno);
    atomic_file::syncDirectory(fs::path(finalPath).parent_path().string());
    result.output = finalPath;
    return result;
}

} // namespace session_export
