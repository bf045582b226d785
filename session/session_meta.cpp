#include "session_meta.h"

#include <algorithm>
#include <fstream>

#include <nlohmann/json.hpp>
#include <yaml-cpp/yaml.h>

#include "AtomicFile.h"
#include "CaptureMode.h"
#include "CollectionContext.h"
#include "Log.h"
#include "config_manager.h"

namespace session_meta {

bool isContinuousMode(const std::string& captureMode)
{
    return isContinuous(captureModeOf(captureMode));
}

std::vector<std::string> sessionTagsFallback(const std::string& captureMode, const std::string& taskLabel,
    const std::vector<std::string>& selectedTags)
{
    std::vector<std::string> tags;
    if (!taskLabel.empty())
        tags.push_back(taskLabel);
    if (isContinuousMode(captureMode)) {
        for (const std::string& tag : selectedTags) {
            if (!tag.empty() && std::find(tags.begin(), tags.end(), tag) == tags.end())
                tags.push_back(tag);
        }
    }
    return tags;
}

std::string sessionTimeOf(const std::string& sessionPath)
{
    const auto slash = sessionPath.rfind('/');
    return slash == std::string::npos ? std::string() : sessionPath.substr(slash + 1);
}

ImageLabels readImageLabels(const std::string& manifestPath)
{
    ImageLabels labels;
    std::ifstream in(manifestPath, std::ios::binary);
    if (!in) {
        LOGW << "Manifest not found at: " << manifestPath;
        return labels;
    }
    nlohmann::json manifest;
    try {
        manifest = nlohmann::json::parse(in);
    } catch (const std::exception& error) {
        LOGW << "Failed to parse manifest.json: " << error.what();
        return labels;
    }
    if (!manifest.is_object())
        return labels;  // "null" until the first snapshot is kept

    auto strings = [](const nlohmann::json& entry, const char* key) {
        std::vector<std::string> values;
        const auto found = entry.find(key);
        if (found != entry.end() && found->is_array()) {
            for (const auto& value : *found) {
                if (value.is_string())
                    values.push_back(value.get<std::string>());
            }
        }
        return values;
    };
    for (const auto& [key, entry] : manifest.items()) {
        if (!entry.is_object())
            continue;
        const std::vector<std::string> tags = strings(entry, "tags");
        for (const std::string& file : strings(entry, "files"))
            labels[file] = tags;
    }
    return labels;
}

namespace {

// Written with all the digits a float needs to read back unchanged, and
// always with a fraction or exponent so that it reads back as a float.
std::string floatText(float value)
{
    YAML::Emitter probe;
    probe << value;
    std::string text = probe.c_str();
    if (text.find_first_of(".eEn") == std::string::npos)
        text += ".0";
    return text;
}

void emitCamera(YAML::Emitter& out, const char* key, const camera_entry& camera)
{
    out << YAML::Key << key << YAML::Value << YAML::BeginMap;
    out << YAML::Key << "camera_type_str" << YAML::Value << camera.camera_type_str;
    out << YAML::Key << "camera_id" << YAML::Value << camera.camera_id;
    out << YAML::Key << "width" << YAML::Value << camera.width;
    out << YAML::Key << "height" << YAML::Value << camera.height;
    out << YAML::Key << "fps" << YAML::Value << camera.fps;
    out << YAML::Key << "exposure_time" << YAML::Value << floatText(camera.exposure_time);
    out << YAML::EndMap;
}

struct ImageEntry {
    std::string color_file;
    std::string depth_file;
    std::vector<std::string> tags;
};

// Colour and depth image of one frame set share their file stem, the capture
// timestamp; the map keeps the stems in ascending order.
std::map<std::string, ImageEntry> groupByStem(const ImageLabels& labels)
{
    std::map<std::string, ImageEntry> entries;
    for (const auto& [path, tags] : labels) {
        const auto slash = path.rfind('/');
        const std::string fileName = slash == std::string::npos ? path : path.substr(slash + 1);
        const auto dot = fileName.rfind('.');
        const std::string stem = dot == std::string::npos ? fileName : fileName.substr(0, dot);
        ImageEntry& entry = entries[stem];
        if (path.find("/color/") != std::string::npos)
            entry.color_file = path;
        if (path.find("/depth/") != std::string::npos)
            entry.depth_file = path;
        entry.tags = tags;
    }
    return entries;
}

} // namespace

std::string render(const MetaInputs& inputs)
{
    YAML::Emitter out;
    out.SetOutputCharset(YAML::EmitNonAscii);
    out << YAML::Block << YAML::BeginMap;
    out << YAML::Key << "date" << YAML::Value << inputs.date;
    out << YAML::Key << "city" << YAML::Value << inputs.city;
    out << YAML::Key << "machine_id" << YAML::Value << inputs.machine_id;
    out << YAML::Key << "scene_label" << YAML::Value << inputs.scene_label;
    out << YAML::Key << "task_label" << YAML::Value << inputs.task_label;
    out << YAML::Key << "part_number" << YAML::Value << inputs.part_number;
    out << YAML::Key << "session_time" << YAML::Value << inputs.session_time;
    out << YAML::Key << "capture_mode" << YAML::Value << inputs.capture_mode;
    if (!inputs.session_tags.empty()) {
        out << YAML::Key << "session_tags" << YAML::Value << YAML::BeginSeq;
        for (const std::string& tag : inputs.session_tags)
            out << tag;
        out << YAML::EndSeq;
    }

    const camera_config cameras = inputs.cameras ? *inputs.cameras : camera_config{};
    out << YAML::Key << "device_config" << YAML::Value << YAML::BeginMap;
    out << YAML::Key << "capture_freq" << YAML::Value << cameras.capture_freq;
    emitCamera(out, "camera1", cameras.camera1);
    emitCamera(out, "camera2", cameras.camera2);
    emitCamera(out, "camera3", cameras.camera3);
    out << YAML::EndMap;

    if (inputs.image_labels) {
        out << YAML::Key << "image_info" << YAML::Value << YAML::BeginSeq;
        for (const auto& [stem, entry] : groupByStem(*inputs.image_labels)) {
            out << YAML::BeginMap;
            out << YAML::Key << "color_file" << YAML::Value << entry.color_file;
            out << YAML::Key << "depth_file" << YAML::Value << entry.depth_file;
            out << YAML::Key << "additional_tags" << YAML::Value;
            // An empty list reads best on its key's line.
            if (entry.tags.empty())
                out << YAML::Flow;
            out << YAML::BeginSeq;
            for (const std::string& tag : entry.tags)
                out << tag;
            out << YAML::EndSeq;
            out << YAML::EndMap;
        }
        out << YAML::EndSeq;
    }
    if (inputs.stream_counts) {
        out << YAML::Key << "stream_counts" << YAML::Value << YAML::BeginMap;
        for (const auto& [stream, count] : *inputs.stream_counts) {
            out << YAML::Key << stream << YAML::Value << YAML::Flow << YAML::BeginMap;
            out << YAML::Key << "produced" << YAML::Value << count.produced;
            out << YAML::Key << "queued" << YAML::Value << count.queued;
            out << YAML::Key << "refused" << YAML::Value << count.refused;
            out << YAML::Key << "saved" << YAML::Value << count.saved;
            out << YAML::EndMap;
        }
        out << YAML::EndMap;
    }
    out << YAML::EndMap;
    std::string text = out.c_str();
    text += '\n';
    return text;
}

bool writeFileAtomically(const std::string& path, const std::string& text)
{
    const atomic_file::Result result = atomic_file::replace(path, text);
    if (!result)
        LOGW << "Cannot write " << path << ": " << result.failure;
    return static_cast<bool>(result);
}

bool writeSessionMeta(const std::string& metaPath, const std::string& sessionPathForTime,
    const std::vector<std::string>& fallbackTags, const ImageLabels* imageLabels)
{
    return writeSessionMeta(
        CollectionContext::instance().collectionInfo(), metaPath, sessionPathForTime, fallbackTags, imageLabels);
}

bool writeSessionMeta(const CollectionInfo& info, const std::string& metaPath, const std::string& sessionPathForTime,
    const std::vector<std::string>& fallbackTags, const ImageLabels* imageLabels, std::string* written,
    const StreamCounts* streamCounts)
{
    const config_manager& config = config_manager::instance();

    MetaInputs inputs;
    inputs.date = info.date;
    inputs.city = info.city.empty() ? config.cur_city_ : info.city;
    inputs.machine_id = config.machine_id_;
    inputs.scene_label = info.scene_label;
    inputs.task_label = info.task_label;
    inputs.part_number = info.part_number;
    inputs.session_time = sessionTimeOf(sessionPathForTime);
    inputs.capture_mode = info.capture_mode;
    inputs.session_tags = info.session_tags.empty() ? fallbackTags : info.session_tags;
    inputs.cameras = &config.camera_config_;
    inputs.image_labels = imageLabels;
    inputs.stream_counts = streamCounts;
    std::string text = render(inputs);
    if (!writeFileAtomically(metaPath, text))
        return false;
    if (written)
        *written = std::move(text);
    return true;
}

} // namespace session_meta
