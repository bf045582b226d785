#pragma once
// What a session folder holds beside its images for people who use the data
// without the device: calibration.json, frames.csv, clock.json and
// SHA256SUMS. The save run tells it what it writes; it names the files so
// that none is ever replaced, hashes the bytes as they go to the card and
// writes the index files. One object per session folder, kept across the
// runs of that session; used on the save worker's thread only.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Checksums.h"
#include "ClockFit.h"
#include "FrameSet.h"
#include "FramesIndex.h"
#include "SaveFiles.h"
#include "session_meta.h"

class SessionContent {
public:
    explicit SessionContent(std::string sessionPath);
    ~SessionContent();

    // The content of sessionPath: `last` when it is that folder's and the
    // folder still holds what it wrote, else a new one. Runs of one session share it.
    static std::shared_ptr<SessionContent> forSession(
        std::shared_ptr<SessionContent> last, const std::string& sessionPath);

    // deviceDir: where the run's images go; devicePrefix: that folder
    // relative to the session ("D1/"), or "".
    void beginRun(const std::string& deviceDir, const std::string& devicePrefix);
    // Before the set's files: calibration.json when the camera's is new to this run.
    void frameSetArrived(const FrameSet& set);
    void imuSampleArrived(const ImuSample& sample);

    // A name no file of this session has: stem, else stem_1, stem_2, ...
    std::string claimStem(const std::string& stem);

    // Whole files written from memory, paths relative to the session folder.
    void fileWritten(const std::string& relative, const void* data, size_t size);
    void fileWritten(const std::string& relative, std::string sha256Hex);
    void fileRemoved(const std::string& relative);
    // Bytes that reached an append-only file of the session.
    void appended(const std::string& relative, std::string_view bytes);

    // The set's colour image (if it has one) is on the card; its depth image
    // is still being encoded (depthRelative) or the set has none (empty):
    // then its row goes now.
    void setWritten(const FrameSet& set, const std::string& colourRelative, const std::string& depthRelative);
    // The depth image of a set finished: saved (its row goes) or not.
    void depthFinished(const std::string& depthRelative, bool saved, const std::string& sha256Hex);

    // Adds a finished run's counts to the session's, which meta.yaml lists.
    void addRunCounts(const session_meta::StreamCounts& run);
    const session_meta::StreamCounts& streamCounts() const { return counts_; }

    // Rows written to frames.csv in this run.
    uint64_t rowsWritten() const { return rowsWritten_; }
    // clock.json and SHA256SUMS, atomically; false (logged) when one failed.
    bool endRun();

private:
    std::string deviceRelative(const std::string& sessionRelative) const;
    void appendRow(frames_index::Row row);
    void writeWhole(const std::string& relative, const std::string& text);

    const std::string path_;
    std::string deviceDir_;
    std::string devicePrefix_;

    std::map<std::string, checksums::Sha256> appending_;  // data.json, frames.csv: hashed as they grow
    checksums::Sums sums_;                                 // files written whole
    std::set<std::string> unhashable_;                     // appended to before this process knew them
    std::set<std::string> claimed_;                        // device prefix + stem

    // Per device folder (keyed by its prefix).
    struct Device {
        uint64_t sets = 0;
        std::vector<clock_fit::RunClock> clocks;
        std::shared_ptr<const StreamCalibration> calibration;  // the one on the card
        std::string calibrationText;
    };
    std::map<std::string, Device> devices_;
    Device* device_ = nullptr;  // of the open run

    clock_fit::Fitter fitter_;
    save_files::AppendFile frames_;
    bool framesFailed_ = false;
    // Rows in the order their sets arrived, each waiting until its depth image
    // is written (encoders finish out of order; the index keeps time order).
    struct Waiting {
        std::string depthRelative;  // relative to the session; empty: nothing to wait for
        frames_index::Row row;
        bool ready = false;
    };
    std::deque<Waiting> waiting_;
    void appendReadyRows();
    uint64_t rowsWritten_ = 0;
    bool runEnded_ = false;  // a run ended and wrote SHA256SUMS
    session_meta::StreamCounts counts_;
};
