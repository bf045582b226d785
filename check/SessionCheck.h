#pragma once
// Checks that a session folder on the card (or copied to a PC) is complete and
// readable, from the files alone: no terminal configuration is read.
//
// A session is   <session>/meta.yaml, <session>/manifest.json (single shot),
//                <session>/<device>/color/<timestamp>.png (camera bytes, JPEG),
//                <session>/<device>/depth/<timestamp>.png (16-bit grey PNG),
//                <session>/<device>/data.json (IMU, one JSON object a line).
// Every finding is a Problem; a session passes when it has none.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ImageHeader.h"

namespace session_check {

// What kind of damage a problem is; the names appear in the JSON output.
enum class ProblemKind {
    MissingFile,        // meta.yaml, manifest.json or a device folder absent
    BadMeta,            // meta.yaml unparseable, keys missing or out of order
    BadImage,           // an image does not decode fully
    MissingDepth,       // a colour image without its depth image
    MissingColour,      // a depth image without its colour image
    WrongDepthFormat,   // not 16-bit grey, or not the configured size
    BadManifest,        // unparseable, names a missing file, or misses one on disk
    BadImuLine,         // a data.json line that is not a JSON sample
    ImuTimeBackwards,   // a sample older than the one before it
    ImuGap,             // more than imuGapLimitSeconds between two samples, not a pause between runs
    LeftoverFile,       // a temporary or partial file left behind
    Unreadable,         // a folder or file the checker could not read
    RefusedFile,        // not a regular file, a link leaving the session, or over its size bound
    WrongImageFormat,   // a colour image of the wrong kind or size for its folder
    CheckerError,       // the check itself failed on this session (the others are still checked)
    BadCalibration,     // calibration.json unparseable, or its stream sizes are not the images'
    BadFramesIndex,     // frames.csv or clock.json damaged, or frames.csv not the pairs on disk
    DeviceTimeBackwards,  // a frame set's device time older than the one before it in the same run
    TimelinesApart,     // IMU and images do not overlap on the common clock
    BadChecksums,       // SHA256SUMS damaged, a file not matching it, or a file it misses
};
const char* problemKindName(ProblemKind kind);

struct Problem {
    ProblemKind kind;
    std::string file;    // relative to the session folder; empty for the session itself
    std::string detail;  // one line for a person
};

struct ImuSummary {
    bool present = false;      // a data.json was found
    size_t samples = 0;        // accelerometer entries (the gyroscope has as many)
    double firstTime = 0;      // seconds since the epoch
    double lastTime = 0;
    double rateHz = 0;         // samples per second over the saved span
    size_t gaps = 0;           // holes: intervals longer than imuGapLimitSeconds
    double longestGapSeconds = 0;
    size_t pauses = 0;         // continuous modes: stops between runs, when the images stopped too
    double pausedSeconds = 0;  // left out of the rate
};

struct SessionReport {
    std::string path;           // as found (absolute or as given)
    std::string captureMode;    // from meta.yaml; empty when unknown
    std::string sessionTime;    // from meta.yaml, else the folder name
    std::string date, sceneLabel, taskLabel, partNumber;
    size_t frameSets = 0;       // distinct image timestamps
    size_t colourImages = 0;
    size_t depthImages = 0;
    std::string firstColourImage;  // relative path of the earliest colour image
    ImuSummary imu;
    std::vector<Problem> problems;
    std::vector<std::string> notes;  // facts that fail nothing ("frames.csv absent")

    bool passed() const { return problems.empty(); }
};

inline constexpr double imuGapLimitSeconds = 0.050;

// The thread count a --jobs option gives: 1 to 256; nothing for any other text.
std::optional<unsigned> parseJobCount(const char* text);

// Session folders at or below each path (a path that is itself a session is
// returned as is), sorted. Paths that do not exist are added to missing.
std::vector<std::string> findSessions(const std::vector<std::string>& paths, std::vector<std::string>* missing = nullptr);

// The images of a session grouped by timestamp, in timestamp order: one
// entry per frame set with the colour and depth image relative to the
// session folder (either may be empty). Temporary files are left out.
struct FrameSetFiles {
    std::string colour;
    std::string depth;
};
std::vector<FrameSetFiles> listFrameSets(const std::string& session);

// Checks sessions with up to `threads` threads (0: one per core); images of
// all sessions share the threads, so one large session is checked in parallel
// too. onDone, when given, is called once per finished session, on a worker
// thread. Reports come back in the order of `sessions`. When `cancelled`
// turns true the remaining images are skipped and the reports are incomplete.
std::vector<SessionReport> checkSessions(const std::vector<std::string>& sessions, unsigned threads = 0,
    const std::function<void(const SessionReport&)>& onDone = {}, const std::function<bool()>& cancelled = {});

inline SessionReport checkSession(const std::string& session, unsigned threads = 1)
{
    return checkSessions({session}, threads).front();
}

// Reads an image of a session through the hardened reader and checks its
// header against `expected` before anything decodes it; the problem when it
// cannot be read or does not fit.
std::optional<Problem> loadImage(const std::string& session, const std::string& relative,
    const image_header::Expectation& expected, image_header::Header& header, std::string& bytes);

// "OK   <path>  12 frame sets, IMU 200.0 Hz" or "FAIL <path>  ... 3 problems".
std::string summaryLine(const SessionReport& report);
// The problem lines that follow a failed session's summary, indented.
std::vector<std::string> detailLines(const SessionReport& report);
// All reports as one JSON document (an array of sessions).
std::string toJson(const std::vector<SessionReport>& reports);

} // namespace session_check
