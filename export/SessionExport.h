#pragma once
// Turns a session folder into one MCAP file (ROS 2 profile): per device the
// colour JPEGs, the depth images in millimetres and the IMU in SI units,
// meta.yaml as an attachment and the session's labels as a metadata record.
// Sessions that fail the checker are refused unless forced; then only whole
// frame sets and valid IMU samples are exported and the rest is listed.

#include <map>
#include <string>
#include <vector>

#include "SessionCheck.h"

namespace session_export {

struct Options {
    std::string outDir;
    bool force = false;
    unsigned threads = 1;  // read and decode a session's files on this many threads
};

struct Result {
    std::string session;
    std::string output;                      // the .mcap written; empty when none
    std::string error;                       // why nothing was written; empty on success
    std::vector<std::string> notes;          // warnings about what the file lacks or how times were taken
    std::vector<std::string> leftOut;        // files and lines not exported, each with its reason
    std::map<std::string, size_t> counts;    // messages per topic
    bool ok() const { return error.empty(); }
};

// The output file of a session: "<outDir>/<session folder name>.mcap".
std::string outputPath(const std::string& session, const std::string& outDir);

// Exports one session that the checker has read (report.path).
Result exportMcap(const session_check::SessionReport& report, const Options& options);

// "3 /D1/color/image/compressed, 3 /D1/depth/image, 120 /D1/imu".
std::string countsLine(const std::map<std::string, size_t>& counts);

} // namespace session_export
