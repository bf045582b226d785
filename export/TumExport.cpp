// The TUM RGB-D layout: per device rgb/<seconds>.jpg, depth/<seconds>.png at
// 5000 counts per metre, rgb.txt, depth.txt, associations.txt and
// accelerometer.txt, with camera_intrinsic.json in Open3D's format. Written to
// "<folder>.part" and renamed once whole.

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <set>

#include <nlohmann/json.hpp>

#include "AtomicFile.h"
#include "DepthPng.h"
#include "ExportSupport.h"
#include "OrderedParallel.h"
#include "SessionContent.h"
#include "SessionExport.h"

namespace session_export {

namespace fs = std::filesystem;

namespace {

constexpr double kTumDepthUnitM = 1.0 / 5000.0;

// "1718201415.123456": seconds on the UTC timeline, as TUM names files and lines.
std::string secondsText(int64_t ns)
{
    if (ns < 0)
        ns = 0;
    char text[32];
    std::snprintf(text, sizeof text, "%" PRId64 ".%06" PRId64, ns / 1000000000, ns % 1000000000 / 1000);
    return text;
}

std::string listHeader(const char* what, const std::string& session, const char* columns)
{
    return std::string("# ") + what + "\n# session: '" + session + "'\n# " + columns + "\n";
}

// Open3D's PinholeCameraIntrinsic: the matrix column-major.
std::string intrinsicJson(const StreamCalibration& stream)
{
    nlohmann::json document;
    document["width"] = stream.width;
    document["height"] = stream.height;
    document["intrinsic_matrix"] = {stream.fx, 0.0, 0.0, 0.0, stream.fy, 0.0, stream.cx, stream.cy, 1.0};
    return document.dump(2) + "\n";
}

struct Written {
    std::string problem;  // a file of the session that could not be used
    int error = 0;        // errno of a failed write: the export fails
    std::string failedFile;
    size_t depthOutOfRange = 0;
};

} // namespace

Result exportTum(const session_check::SessionReport& report, const Options& options)
{
    Result result;
    const std::optional<Export> begun = beginExport(report, options, Format::Tum, result);
    if (!begun)
        return result;
    // Named references, not a structured binding: lambdas below capture them.
    const SessionContent& content = begun->content;
    const std::string& finalPath = begun->finalPath;
    const std::string& temporary = begun->temporary;
    const std::string& session = report.path;
    auto fail = [&](const std::string& what, int code) { return failed(result, temporary, what, code); };
    std::error_code ignored;
    fs::remove_all(temporary, ignored);  // left by an export that was cut off
    auto makeFolder = [](const fs::path& folder) {
        std::error_code error;
        fs::create_directories(folder, error);
        return error.value();
    };
    if (const int error = makeFolder(temporary))
        return fail("cannot create " + temporary, error);

    const std::string sessionName = fs::path(finalPath).filename().string();
    const unsigned threads = std::max(1u, options.threads);
    size_t depthOutOfRange = 0;
    for (const DeviceContent& device : content.devices) {
        const fs::path folder = fs::path(temporary) / device.name;
        const bool withDepth = !device.usbCamera;
        for (const char* sub : {"rgb", withDepth ? "depth" : nullptr})
            if (sub != nullptr)
                if (const int error = makeFolder(folder / sub))
                    return fail("cannot create " + (folder / sub).string(), error);

        const std::optional<Calibration>& calibration = device.calibration;
        if (calibration && calibration->known && calibration->colour && calibration->colour->intrinsicsKnown) {
            const std::string text = intrinsicJson(*calibration->colour);
            if (const int error = writeWholeFile((folder / "camera_intrinsic.json").string(), text.data(), text.size()))
                return fail("cannot write " + (folder / "camera_intrinsic.json").string(), error);
        } else if (!device.frames.empty()) {
            result.notes.push_back("warning: " + device.name + " has no calibration: no camera_intrinsic.json");
        }
        if (withDepth && !device.frames.empty() && !(calibration && calibration->depthUnitKnown))
            result.notes.push_back(device.name + ": depth is taken to be in millimetres (no depth_unit_m in calibration.json)");
        const DepthScale toTum(calibration ? calibration->depthUnitM : 0.001, kTumDepthUnitM);

        // Names first, on this thread: two images with the same microsecond would share a file.
        std::vector<std::pair<std::string, std::string>> names(device.frames.size());
        std::set<std::string> taken;
        std::vector<size_t> exported;
        for (size_t i = 0; i < device.frames.size(); ++i) {
            const FrameItem& frame = device.frames[i];
            names[i] = {secondsText(frame.colourStamp), secondsText(frame.depthStamp)};
            if (!taken.insert(names[i].first).second) {
                result.leftOut.push_back(frame.colour + ": another image has the same time " + names[i].first);
                continue;
            }
            exported.push_back(i);
        }

        auto write = [&](size_t at) {
            const FrameItem& frame = device.frames[exported[at]];
            const auto& [rgbName, depthName] = names[exported[at]];
            Written written;
            std::string jpeg;
            if (!readBytes(session + "/" + frame.colour, jpeg)) {
                written.problem = frame.colour + ": cannot be read";
                return written;
            }
            std::vector<uint8_t> png;
            if (withDepth) {
                const cv::Mat depth = readDepth(session + "/" + frame.depth, toTum, written.depthOutOfRange);
                if (depth.empty()) {
                    written.problem = frame.depth + ": not a 16-bit grey PNG";
                    return written;
                }
                if (!depth_png::encode(depth, png)) {
                    written.problem = frame.depth + ": cannot be encoded";
                    return written;
                }
            }
            written.failedFile = (folder / "rgb" / (rgbName + ".jpg")).string();
            if ((written.error = writeWholeFile(written.failedFile, jpeg.data(), jpeg.size())))
                return written;
            if (withDepth) {
                written.failedFile = (folder / "depth" / (depthName + ".png")).string();
                written.error = writeWholeFile(written.failedFile, png.data(), png.size());
            }
            return written;
        };
        std::string rgbList = listHeader("color images", sessionName, "timestamp filename");
        std::string depthList = listHeader("depth maps", sessionName, "timestamp filename");
        std::string associations;
        int writeError = 0;
        std::string failedFile;
        const bool whole = forEachInOrder<Written>(exported.size(), threads, 4 * threads, write, [&](size_t at, Written& written) {
            if (written.error) {
                writeError = written.error;
                failedFile = written.failedFile;
                return false;
            }
            if (!written.problem.empty()) {
                result.leftOut.push_back(std::move(written.problem));
                return true;
            }
            depthOutOfRange += written.depthOutOfRange;
            const auto& [rgbName, depthName] = names[exported[at]];
            rgbList += rgbName + " rgb/" + rgbName + ".jpg\n";
            ++result.counts[device.name + "/rgb"];
            if (withDepth) {
                depthList += depthName + " depth/" + depthName + ".png\n";
                associations += rgbName + " rgb/" + rgbName + ".jpg " + depthName + " depth/" + depthName + ".png\n";
                ++result.counts[device.name + "/depth"];
            }
            return true;
        });
        if (!whole)
            return fail("cannot write " + failedFile, writeError);

        std::vector<std::pair<const char*, std::string>> lists;
        if (!device.frames.empty()) {
            lists.emplace_back("rgb.txt", rgbList);
            if (withDepth) {
                lists.emplace_back("depth.txt", depthList);
                lists.emplace_back("associations.txt", associations);
            }
        }
        if (device.hasImu) {
            std::string accelerometer = listHeader("accelerometer data", sessionName, "timestamp ax ay az");
            char line[160];
            for (const ImuItem& sample : device.imu) {
                std::snprintf(line, sizeof line, "%s %.9g %.9g %.9g\n", secondsText(sample.stamp).c_str(), sample.accel[0],
                    sample.accel[1], sample.accel[2]);
                accelerometer += line;
            }
            lists.emplace_back("accelerometer.txt", std::move(accelerometer));
            result.counts[device.name + "/accelerometer"] += device.imu.size();
        }
        for (const auto& [name, text] : lists)
            if (const int error = writeWholeFile((folder / name).string(), text.data(), text.size()))
                return fail("cannot write " + (folder / name).string(), error);
    }
    if (depthOutOfRange > 0)
        result.notes.push_back("warning: " + plural(depthOutOfRange, "depth value is", "depth values are")
            + " beyond 13.107 m, more than 16 bits hold at 5000 per metre, and exported as 0, no measurement");

    // The folder appears whole under its name: an earlier export of the session is replaced only now.
    const std::string previous = finalPath + ".old";
    fs::remove_all(previous, ignored);
    const bool hadPrevious = fs::exists(finalPath);
    if (hadPrevious && std::rename(finalPath.c_str(), previous.c_str()) != 0)
        return fail("cannot move the earlier " + finalPath + " aside", errno);
    if (std::rename(temporary.c_str(), finalPath.c_str()) != 0) {
        const int error = errno;
        if (hadPrevious)
            std::rename(previous.c_str(), finalPath.c_str());
        return fail("cannot rename " + temporary, error);
    }
    fs::remove_all(previous, ignored);
    atomic_file::syncDirectory(fs::path(finalPath).parent_path().string());
    result.output = finalPath;
    return result;
}

} // namespace session_export
