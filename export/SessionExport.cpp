#include "SessionExport.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>
#include <yaml-cpp/yaml.h>

#include "AtomicFile.h"
#include "DepthPng.h"
#include "ExportSupport.h"
#include "McapWriter.h"
#include "OrderedParallel.h"
#include "RosMessages.h"
#include "SessionContent.h"

namespace session_export {

namespace fs = std::filesystem;
using namespace mcap_export;

std::optional<Export> beginExport(const session_check::SessionReport& report, const Options& options, Format format,
    Result& result)
{
    result.session = report.path;
    if (!report.passed() && !options.force) {
        result.error = "refused: the session fails its checks (" + plural(report.problems.size(), "problem", "problems")
            + ", listed below); --force exports what is whole";
        return std::nullopt;
    }
    Export begun{readSessionContent(report), outputPath(report.path, options.outDir, format), {}};
    begun.temporary = begun.finalPath + std::string(atomic_file::kTemporarySuffix);
    result.notes = std::move(begun.content.notes);
    result.leftOut = std::move(begun.content.leftOut);
    return begun;
}

Result failed(Result& result, const std::string& temporary, const std::string& what, int code)
{
    std::error_code ignored;
    fs::remove_all(temporary, ignored);
    result.error = what + ": " + atomic_file::errorText(code);
    result.counts.clear();
    return result;
}

bool readBytes(const std::string& path, std::string& bytes)
{
    // One read of the known size: images are most of what an export reads.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info {};
    constexpr off_t kLargest = off_t(256) << 20;
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kLargest;
    bytes.clear();
    if (ok)
        bytes.resize(static_cast<size_t>(info.st_size));
    size_t done = 0;
    while (ok && done < bytes.size()) {
        const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR)
            continue;
        ok = got > 0;
        done += ok ? static_cast<size_t>(got) : 0;
    }
    ::close(fd);
    return ok;
}

int writeWholeFile(const std::string& path, const void* data, size_t size)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    int error = atomic_file::writeAll(fd, static_cast<const char*>(data), size);
    if (::close(fd) != 0 && error == 0)
        error = errno;
    return error;
}

DepthScale::DepthScale(double fromUnitM, double toUnitM)
{
    const double factor = fromUnitM / toUnitM;
    identity_ = std::fabs(factor - 1.0) < 1e-9;
    if (identity_)
        return;
    table_.resize(65536);
    for (size_t v = 0; v < table_.size(); ++v) {
        const double scaled = std::round(static_cast<double>(v) * factor);
        table_[v] = scaled > 65535.0 ? 0 : static_cast<uint16_t>(scaled);
    }
}

size_t DepthScale::apply(cv::Mat& depth) const
{
    if (identity_)
        return 0;
    size_t lost = 0;
    for (int y = 0; y < depth.rows; ++y) {
        auto* row = depth.ptr<uint16_t>(y);
        for (int x = 0; x < depth.cols; ++x) {
            const uint16_t converted = table_[row[x]];
            lost += row[x] != 0 && converted == 0;
            row[x] = converted;
        }
    }
    return lost;
}

cv::Mat readDepth(const std::string& path, const DepthScale& scale, size_t& outOfRange)
{
    cv::Mat depth;
    std::string bytes;
    if (!readBytes(path, bytes))
        return {};
    if (!depth_png::decode(bytes, depth)) {
        try {  // a PNG of another kind: the general decoder says what it is
            depth = cv::imdecode(cv::Mat(1, static_cast<int>(bytes.size()), CV_8UC1, bytes.data()), cv::IMREAD_UNCHANGED);
        } catch (const cv::Exception&) {
            return {};
        }
    }
    if (depth.empty() || depth.type() != CV_16UC1 || !depth.isContinuous())
        return {};
    outOfRange = scale.apply(depth);
    return depth;
}

std::string plural(size_t count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

namespace {

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

// One message ready for the file.
struct Outgoing {
    uint16_t channel;
    uint64_t logTime;
    std::vector<uint8_t> bytes;
};

// The messages of one frame set or IMU sample; `problem` says why there are none.
struct Built {
    std::vector<Outgoing> messages;
    std::string problem;
    size_t depthOutOfRange = 0;
};

struct DeviceChannels {
    uint16_t colour = 0, depth = 0, colourInfo = 0, depthInfo = 0, imu = 0;
    std::optional<CameraModel> colourModel, depthModel;
    std::string colourFrame, depthFrame, imuFrame;
};

uint64_t unsignedTime(int64_t ns)
{
    return ns < 0 ? 0 : static_cast<uint64_t>(ns);
}

} // namespace

std::string outputPath(const std::string& session, const std::string& outDir, Format format)
{
    std::string name = fs::path(session).lexically_normal().filename().string();
    if (name.empty())
        name = fs::path(session).lexically_normal().parent_path().filename().string();
    return (fs::path(outDir.empty() ? "." : outDir) / (format == Format::Mcap ? name + ".mcap" : name)).string();
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
    const std::optional<Export> begun = beginExport(report, options, Format::Mcap, result);
    if (!begun)
        return result;
    // Named references, not a structured binding: lambdas below capture them.
    const SessionContent& content = begun->content;
    const std::string& finalPath = begun->finalPath;
    const std::string& temporary = begun->temporary;
    const std::string& session = report.path;
    auto fail = [&](const std::string& what, int code) { return failed(result, temporary, what, code); };
    McapWriter writer;
    if (!writer.open(temporary, "ros2", "kavrel-export"))
        return fail("cannot create " + temporary, writer.error());

    std::map<std::string, uint16_t> schemas;
    auto schema = [&](const RosSchema& s) {
        auto found = schemas.find(s.name);
        if (found == schemas.end())
            found = schemas.emplace(s.name, writer.addSchema(s.name, "ros2msg", s.definition)).first;
        return found->second;
    };
    std::map<uint16_t, std::string> topics;
    auto channel = [&](const RosSchema& s, const std::string& topic) {
        const uint16_t id = writer.addChannel(schema(s), topic, "cdr");
        topics[id] = topic;
        return id;
    };

    // Channels per device, and the static transforms from the extrinsics.
    std::vector<DeviceChannels> channels(content.devices.size());
    std::vector<Transform> transforms;
    bool calibrated = false;
    for (size_t d = 0; d < content.devices.size(); ++d) {
        const DeviceContent& device = content.devices[d];
        DeviceChannels& c = channels[d];
        const std::string base = "/" + device.name;
        c.colourFrame = device.name + "_color_optical_frame";
        const std::optional<Calibration>& calibration = device.calibration;
        // Depth aligned to colour lies in the colour camera's frame, pixel for pixel.
        c.depthFrame = calibration && calibration->depthAlignedToColour ? c.colourFrame : device.name + "_depth_optical_frame";
        c.imuFrame = device.name + "_imu_frame";
        std::string why;
        if (calibration && calibration->known && calibration->colour) {
            c.colourModel = cameraModel(*calibration->colour, why);
            if (!c.colourModel)
                result.notes.push_back("warning: " + device.name + " colour: " + why + ": no camera_info for it");
        }
        if (calibration && calibration->known && calibration->depth && !device.usbCamera) {
            c.depthModel = cameraModel(*calibration->depth, why);
            if (!c.depthModel)
                result.notes.push_back("warning: " + device.name + " depth: " + why + ": no camera_info for it");
        }
        if (calibration && !calibration->known)
            result.notes.push_back("warning: " + device.name + " has no calibration from its camera: no camera_info topics"
                                                               " and no /tf_static for it");
        calibrated = calibrated || calibration.has_value();
        if (!device.frames.empty()) {
            if (device.usbCamera) {
                c.colour = channel(kCompressedImageSchema, base + "/image/compressed");
                if (c.colourModel)
                    c.colourInfo = channel(kCameraInfoSchema, base + "/camera_info");
            } else {
                c.colour = channel(kCompressedImageSchema, base + "/color/image/compressed");
                c.depth = channel(kImageSchema, base + "/depth/image");
                if (c.colourModel)
                    c.colourInfo = channel(kCameraInfoSchema, base + "/color/camera_info");
                if (c.depthModel)
                    c.depthInfo = channel(kCameraInfoSchema, base + "/depth/camera_info");
            }
        }
        if (device.hasImu)
            c.imu = channel(kImuSchema, base + "/imu");
        if (calibration && calibration->depthToColour && !device.usbCamera)
            transforms.push_back({c.colourFrame, device.name + "_depth_optical_frame",
                calibration->depthToColour->translationM, quaternionOf(calibration->depthToColour->rotation)});
        if (calibration && calibration->imuToColour && device.hasImu)
            transforms.push_back({c.colourFrame, c.imuFrame, calibration->imuToColour->translationM,
                quaternionOf(calibration->imuToColour->rotation)});
    }
    if (!calibrated)
        result.notes.push_back("warning: the session has no calibration: no camera_info topics and no /tf_static");

    // Everything in log-time order: frame sets (kind 0) and IMU samples (1) of all devices.
    struct Pending {
        int64_t time;
        int kind;
        size_t device, index;
    };
    std::vector<Pending> order;
    for (size_t d = 0; d < content.devices.size(); ++d) {
        for (size_t i = 0; i < content.devices[d].frames.size(); ++i)
            order.push_back({content.devices[d].frames[i].logTime, 0, d, i});
        for (size_t i = 0; i < content.devices[d].imu.size(); ++i)
            order.push_back({content.devices[d].imu[i].logTime, 1, d, i});
    }
    std::stable_sort(order.begin(), order.end(), [](const Pending& a, const Pending& b) { return a.time < b.time; });
    const uint64_t firstTime = order.empty() ? 0 : unsignedTime(order.front().time);

    if (!transforms.empty()) {
        const uint16_t tf = channel(kTfMessageSchema, "/tf_static");
        if (!writer.addMessage(tf, firstTime, firstTime, tfMessage(stampOf(firstTime), transforms)))
            return fail("cannot write " + temporary, writer.error());
        ++result.counts["/tf_static"];
    }

    std::vector<DepthScale> depthScales;
    for (const DeviceContent& device : content.devices)
        depthScales.emplace_back(device.calibration ? device.calibration->depthUnitM : 0.001, 0.001);

    auto build = [&](size_t at) {
        const Pending& item = order[at];
        const DeviceContent& device = content.devices[item.device];
        const DeviceChannels& c = channels[item.device];
        const uint64_t logTime = unsignedTime(item.time);
        Built built;
        if (item.kind == 1) {
            const ImuItem& sample = device.imu[item.index];
            built.messages.push_back({c.imu, logTime, imu(stampOf(unsignedTime(sample.stamp)), c.imuFrame, sample.gyro, sample.accel)});
            return built;
        }
        const FrameItem& frame = device.frames[item.index];
        std::string jpeg;
        if (!readBytes(session + "/" + frame.colour, jpeg)) {
            built.problem = frame.colour + ": cannot be read";
            return built;
        }
        cv::Mat depth;
        if (!frame.depth.empty()) {
            depth = readDepth(session + "/" + frame.depth, depthScales[item.device], built.depthOutOfRange);
            if (depth.empty()) {
                built.problem = frame.depth + ": not a 16-bit grey PNG";
                return built;
            }
        }
        const Stamp colourStamp = stampOf(unsignedTime(frame.colourStamp));
        built.messages.push_back({c.colour, logTime, compressedImage(colourStamp, c.colourFrame, "jpeg",
            reinterpret_cast<const uint8_t*>(jpeg.data()), jpeg.size())});
        if (c.colourInfo)
            built.messages.push_back({c.colourInfo, logTime, cameraInfo(colourStamp, c.colourFrame, *c.colourModel)});
        if (!frame.depth.empty()) {
            const Stamp depthStamp = stampOf(unsignedTime(frame.depthStamp));
            built.messages.push_back({c.depth, logTime, image(depthStamp, c.depthFrame, depth.cols, depth.rows, "16UC1",
                static_cast<uint32_t>(depth.cols * 2), depth.data, depth.total() * 2)});
            if (c.depthInfo)
                built.messages.push_back({c.depthInfo, logTime, cameraInfo(depthStamp, c.depthFrame, *c.depthModel)});
        }
        return built;
    };
    size_t depthOutOfRange = 0;
    int writeError = 0;
    const unsigned threads = std::max(1u, options.threads);
    const bool written = forEachInOrder<Built>(order.size(), threads, 8 * threads, build, [&](size_t, Built& built) {
        if (!built.problem.empty()) {
            result.leftOut.push_back(std::move(built.problem));
            return true;
        }
        depthOutOfRange += built.depthOutOfRange;
        for (const Outgoing& message : built.messages) {
            if (!writer.addMessage(message.channel, message.logTime, message.logTime, message.bytes)) {
                writeError = writer.error();
                return false;
            }
            ++result.counts[topics[message.channel]];
        }
        return true;
    });
    if (!written)
        return fail("cannot write " + temporary, writeError);
    if (depthOutOfRange > 0)
        result.notes.push_back("warning: " + plural(depthOutOfRange, "depth value is", "depth values are")
            + " beyond 65.535 m and exported as 0, no measurement");

    std::string bytes;
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
    for (const DeviceContent& device : content.devices)
        if (readBytes((fs::path(session) / device.folder / "calibration.json").string(), bytes))
            writer.addAttachment((fs::path(device.folder) / "calibration.json").string(), "application/json", firstTime, bytes);

    if (!writer.close())
        return fail("cannot write " + temporary, writer.error());
    if (std::rename(temporary.c_str(), finalPath.c_str()) != 0)
        return fail("cannot rename " + temporary, errno);
    atomic_file::syncDirectory(fs::path(finalPath).parent_path().string());
    result.output = finalPath;
    return result;
}

std::vector<Result> exportSessions(const std::vector<session_check::SessionReport>& reports, const Options& options)
{
    std::vector<Result> results(reports.size());
    const unsigned threads = std::max(1u, options.threads);
    // Several sessions at once when there are threads to spare; each gets its share for its frame sets.
    const unsigned atOnce = static_cast<unsigned>(std::min<size_t>(threads, reports.size()));
    Options each = options;
    each.threads = std::max(1u, threads / std::max(1u, atOnce));
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i; (i = next++) < reports.size();)
            results[i] = options.format == Format::Tum ? exportTum(reports[i], each) : exportMcap(reports[i], each);
    };
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < atOnce; ++t)
        helpers.emplace_back(work);
    work();
    for (auto& helper : helpers)
        helper.join();
    return results;
}

} // namespace session_export
