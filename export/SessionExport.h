#pragma once
// Turns session folders into files common tools open:
//  - MCAP (ROS 2 profile), one file per session: per device the colour JPEGs,
//    the depth images in millimetres, camera_info per image, the IMU in SI
//    units and the extrinsics on /tf_static; meta.yaml and calibration.json
//    as attachments and the session's labels as a metadata record;
//  - the TUM RGB-D layout, one folder per session with one per device.
// Sessions that fail the checker are refused unless forced; then only whole
// frame sets and valid IMU samples are exported and the rest is listed.
// Output appears under its final name only once complete.

#include <map>
#include <string>
#include <vector>

#include "SessionCheck.h"

namespace session_export {

enum class Format { Mcap, Tum };

struct Options {
    std::string outDir;
    bool force = false;
    unsigned threads = 1;  // read, decode and encode on this many threads
    Format format = Format::Mcap;
};

struct Result {
    std::string session;
    std::string output;                      // the .mcap file or TUM folder written; empty when none
    std::string error;                       // why nothing was written; empty on success
    std::vector<std::string> notes;          // warnings about what the output lacks or how times were taken
    std::vector<std::string> leftOut;        // files and lines not exported, each with its reason
    std::map<std::string, size_t> counts;    // messages per topic (MCAP) or entries per file list (TUM)
    bool ok() const { return error.empty(); }
};

// "<outDir>/<session folder name>.mcap", or the folder "<outDir>/<session folder name>" for TUM.
std::string outputPath(const std::string& session, const std::string& outDir, Format format = Format::Mcap);

// Exports one session that the checker has read (report.path).
Result exportMcap(const session_check::SessionReport& report, const Options& options);
Result exportTum(const session_check::SessionReport& report, const Options& options);

// Exports sessions side by side, sharing options.threads between them;
// results in the order of the reports.
std::vector<Result> exportSessions(const std::vector<session_check::SessionReport>& reports, const Options& options);

// "3 /D1/color/image/compressed, 3 /D1/depth/image, 120 /D1/imu".
std::string countsLine(const std::map<std::string, size_t>& counts);

} // namespace session_export
