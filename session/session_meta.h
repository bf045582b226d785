#pragma once
// meta.yaml: what a session folder holds, written by the save run's recorder
// when the folder is made and after every run, so the file always describes
// the session as it is.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct CollectionInfo;
struct camera_config;

namespace session_meta {

// Relative image path as listed in manifest.json -> the tags of its entry.
using ImageLabels = std::map<std::string, std::vector<std::string>>;

// One stream's items over the session: produced by the camera while saving,
// queued for the writer, refused by a full queue, saved on the card.
struct StreamCount {
    uint64_t produced = 0, queued = 0, refused = 0, saved = 0;
};
// "color", "depth", "usb", "imu" -> its counts.
using StreamCounts = std::map<std::string, StreamCount>;

// Everything the file is made of, gathered at the moment of writing.
struct MetaInputs {
    std::string date;
    std::string city;  // already resolved: the session's city or the configured one
    std::string machine_id;
    std::string scene_label;
    std::string task_label;
    std::string part_number;
    std::string session_time;
    std::string capture_mode;
    std::vector<std::string> session_tags;  // already resolved: the session's or the fallback
    const camera_config* cameras = nullptr;
    const ImageLabels* image_labels = nullptr;  // null: no image_info
    const StreamCounts* stream_counts = nullptr;  // null: no stream_counts
};

// Modes in which the save worker writes no manifest (and no image_info goes in).
bool isContinuousMode(const std::string& captureMode);

// The tags meta.yaml lists when the session itself carries none: the task
// label, then (in continuous modes) the tags chosen on the information page.
std::vector<std::string> sessionTagsFallback(const std::string& captureMode, const std::string& taskLabel,
    const std::vector<std::string>& selectedTags);

// The last path component ("20250612_143015"); empty when there is no "/".
std::string sessionTimeOf(const std::string& sessionPath);

// Reads manifest.json; an absent or malformed file gives what could be read
// (logged as a warning), never an exception.
ImageLabels readImageLabels(const std::string& manifestPath);

// The YAML text, block style, keys in their fixed order.
std::string render(const MetaInputs& inputs);

// Writes text to path through a temporary file in the same folder and a
// rename, so a reader or a power cut sees the old file or the new, never half.
bool writeFileAtomically(const std::string& path, const std::string& text);

// Gathers the inputs from the collection context and the device configuration
// and writes <sessionFolder>/meta.yaml. sessionPathForTime gives session_time
// (its last component). Returns false (logged) when
// the file could not be written.
bool writeSessionMeta(const std::string& metaPath, const std::string& sessionPathForTime,
    const std::vector<std::string>& fallbackTags, const ImageLabels* imageLabels);
// The same from a run's own copy of the collection info; written, if given,
// receives the text that reached the card.
bool writeSessionMeta(const CollectionInfo& info, const std::string& metaPath, const std::string& sessionPathForTime,
    const std::vector<std::string>& fallbackTags, const ImageLabels* imageLabels, std::string* written = nullptr,
    const StreamCounts* streamCounts = nullptr);

} // namespace session_meta
