#include "scenario_tag_loader.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

#include <yaml-cpp/yaml.h>

#include "Log.h"
#include "yaml_json.h"

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

namespace {

const char* const kDefaultMode = "single_shot";
const char* const kDefaultPartName = "隔间号";
constexpr int kDefaultShotIntervalMs = 1000;
const std::string kScenarioSetPrefix = "scenario_";
constexpr std::size_t kMinimumStampLength = 15;

// Catalogue files come from operators and USB sticks: every read below goes
// through these helpers so that no shape of YAML can make yaml-cpp throw
// outside a try block. Nodes are only ever copy-constructed, never assigned:
// assigning a yaml-cpp node rewrites the document it points into.

// A mapping's member, or a null node for anything absent or not a mapping.
YAML::Node field(const YAML::Node& node, const char* key)
{
    if (!node.IsDefined() || !node.IsMap())
        return YAML::Node();
    const YAML::Node child = node[key];
    if (!child.IsDefined())
        return YAML::Node();
    return child;
}

// A string field: the scalar's text, or the fallback when missing, null or not a scalar.
std::string text(const YAML::Node& node, const char* key, const std::string& fallback)
{
    const YAML::Node value = field(node, key);
    return value.IsScalar() ? value.Scalar() : fallback;
}

bool isIntegerText(const std::string& s)
{
    std::size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
    if (i == s.size())
        return false;
    return std::all_of(s.begin() + static_cast<std::ptrdiff_t>(i), s.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

// A boolean word, else an integer (non-zero is true); a sequence or mapping
// counts as true; any other scalar is an error in the scenario file.
bool readNeedPartNum(const YAML::Node& task)
{
    const YAML::Node value = field(task, "need_part_num");
    if (!value.IsScalar())
        return true;
    bool flag = false;
    if (YAML::convert<bool>::decode(value, flag))
        return flag;
    long long number = 0;
    if (YAML::convert<long long>::decode(value, number))
        return number != 0;
    // Too large for 64 bits, but still a number: non-zero unless all zeros.
    if (isIntegerText(value.Scalar()))
        return value.Scalar().find_first_not_of("+-0") != std::string::npos;
    throw YAML::TypedBadConversion<bool>(value.Mark());
}

int readShotInterval(const YAML::Node& task)
{
    const YAML::Node value = field(task, "shot_interval_ms");
    int interval = kDefaultShotIntervalMs;
    if (value.IsScalar() && YAML::convert<int>::decode(value, interval))
        return interval;
    return kDefaultShotIntervalMs;
}

YAML::Node loadYamlFile(const std::string& path)
{
    std::error_code ec;
    if (!fs::is_regular_file(path, ec))
        throw YAML::BadFile(path);
    return YAML::LoadFile(path);
}

// The scenario mappings of a file: the elements of `scenarios` when the root
// has that sequence, otherwise the root itself.
std::vector<YAML::Node> scenarioCandidates(const YAML::Node& root)
{
    std::vector<YAML::Node> candidates;
    const YAML::Node list = field(root, "scenarios");
    if (list.IsSequence()) {
        for (const YAML::Node& element : list) {
            if (element.IsMap())
                candidates.push_back(element);
        }
    } else if (root.IsDefined() && root.IsMap()) {
        candidates.push_back(root);
    }
    return candidates;
}

std::string firstScenarioLabel(const std::vector<YAML::Node>& candidates)
{
    for (const YAML::Node& candidate : candidates) {
        std::string label = text(candidate, "label", {});
        if (!label.empty())
            return label;
    }
    return {};
}

std::vector<std::string> scalarList(const YAML::Node& sequence)
{
    std::vector<std::string> values;
    if (!sequence.IsSequence())
        return values;
    for (const YAML::Node& element : sequence) {
        if (element.IsScalar())
            values.push_back(element.Scalar());
    }
    return values;
}

using GroupMap = std::map<std::string, json>;

// Folds one tag file into the merged groups: a later file renames a group and
// adds or replaces tags, never removes any. All or nothing per file.
void mergeTagFile(const std::string& path, GroupMap& groups)
{
    const YAML::Node root = loadYamlFile(path);
    const YAML::Node fileGroups = field(root, "tag_groups");
    if (!fileGroups.IsSequence())
        return;
    GroupMap merged = groups;
    for (const YAML::Node& group : fileGroups) {
        const std::string label = text(group, "label", {});
        if (label.empty())
            continue;
        json object;
        if (auto it = merged.find(label); it != merged.end()) {
            object = it->second;
        } else {
            object = json::object();
            object["tags"] = json::array();
        }
        object["name"] = text(group, "name", label);
        object["label"] = label;

        std::map<std::string, json> tags;  // byte order of the identifier
        for (const json& tag : object["tags"]) {
            if (tag.is_object() && tag.contains("tag") && tag["tag"].is_string())
                tags[tag["tag"].get<std::string>()] = tag;
        }
        const YAML::Node fileTags = field(group, "tags");
        if (fileTags.IsSequence()) {
            for (const YAML::Node& tag : fileTags) {
                const std::string id = text(tag, "tag", {});
                if (id.empty())
                    continue;
                json entry = json::object();
                entry["name"] = text(tag, "name", id);
                entry["tag"] = id;
                tags[id] = std::move(entry);
            }
        }
        json rewritten = json::array();
        for (auto& [id, entry] : tags)
            rewritten.push_back(std::move(entry));
        object["tags"] = std::move(rewritten);
        merged[label] = std::move(object);
    }
    groups = std::move(merged);
}

GroupMap mergeTagFiles(const std::vector<std::string>& files)
{
    GroupMap groups;
    for (const std::string& file : files) {
        try {
            mergeTagFile(file, groups);
        } catch (const std::exception& e) {
            LOGW << "skip tag yaml parse error, path=" << file << ", err=" << e.what();
        }
    }
    LOGI << "merged tag_groups count=" << groups.size();
    return groups;
}

std::vector<std::string> tagFileList(const std::string& scenarioPath, const std::string& tagsPath)
{
    std::vector<std::string> candidates;
    candidates.push_back(tagsPath);
    candidates.push_back((fs::path(scenarioPath).parent_path() / "tags.yaml").string());
    for (std::string& file : scenario_tag_loader::sorted_yaml_files_with_prefix(
             scenario_tag_loader::user_config_dir(), "tag"))
        candidates.push_back(std::move(file));
    return scenario_tag_loader::existing_unique_files(candidates);
}

// The load proper; YAML errors escape as exceptions and become the
// scenario parse error in the caller.
bool loadScenario(const std::string& path, const std::string& tagsPath,
                  task_preview_load_result& out, std::string& failure)
{
    const YAML::Node root = loadYamlFile(path);
    const std::vector<YAML::Node> candidates = scenarioCandidates(root);
    if (candidates.empty()) {
        failure = "no valid scenario node in file: " + path;
        return false;
    }
    const std::string guessed = firstScenarioLabel(candidates);
    const YAML::Node* selected = &candidates.front();
    for (const YAML::Node& candidate : candidates) {
        if (text(candidate, "label", {}) == guessed) {
            selected = &candidate;
            break;
        }
    }
    const YAML::Node& scenario = *selected;

    const GroupMap groups = mergeTagFiles(tagFileList(path, tagsPath));

    const std::string scenarioLabel = text(scenario, "label", {});
    if (scenarioLabel.empty()) {
        failure = "unable to select scenario label";
        return false;
    }
    const std::string scenarioName = text(scenario, "name", scenarioLabel);
    const std::string scenarioDescription = text(scenario, "description", {});
    out.title = !scenarioName.empty() ? scenarioName : scenarioLabel;
    std::vector<std::string>& scenarioTasks = out.scenario_task_list[scenarioLabel];

    const YAML::Node tasks = field(scenario, "tasks");
    if (!tasks.IsSequence()) {
        failure = "selected scenario has no tasks";
        return false;
    }

    for (const YAML::Node& task : tasks) {
        const std::string label = text(task, "label", {});
        const std::string name = text(task, "name", label);
        const std::string description = text(task, "description", {});
        if (label.empty())
            continue;

        const std::vector<std::string> includes = scalarList(field(task, "tag_include"));
        json previewGroups = json::array();
        json labels = json::array();
        std::set<std::string> collected;
        for (const std::string& groupLabel : includes) {
            const auto group = groups.find(groupLabel);
            if (group == groups.end()) {
                LOGW << "task references missing tag_group, scenario=" << scenarioLabel
                     << ", task=" << label << ", group=" << groupLabel;
                continue;
            }
            previewGroups.push_back(group->second);
            for (const json& tag : group->second["tags"]) {
                const std::string id = tag.value("tag", std::string());
                if (id.empty() || !collected.insert(id).second)
                    continue;
                json entry = json::object();
                entry["name"] = tag.value("name", id);
                entry["tag"] = id;
                labels.push_back(std::move(entry));
            }
        }

        const std::string mode = text(task, "mode", kDefaultMode);
        const bool needPartNum = readNeedPartNum(task);
        const std::string partName = text(task, "part_name", kDefaultPartName);
        const int shotInterval = readShotInterval(task);
        json dataSource = json::array();
        const YAML::Node devices = field(task, "devices");
        if (devices.IsSequence()) {
            for (const YAML::Node& device : devices) {
                std::string source = text(device, "label", {});
                if (source.empty())
                    source = text(device, "name", {});
                if (!source.empty())
                    dataSource.push_back(source);
            }
        }

        json object = json::object();
        object["name"] = name;
        object["label"] = label;
        object["description"] = description;
        object["scenario"] = scenarioLabel;
        object["mode"] = mode;
        object["need_part_num"] = needPartNum;
        object["part_name"] = partName;
        object["shot_interval_ms"] = shotInterval;
        object["scenes"] = json::array({label});
        object["tag_groups"] = includes;
        object["data_source"] = std::move(dataSource);

        json preview = json::object();
        preview["name"] = name;
        preview["tag"] = label;
        preview["description"] = description;
        preview["scenario_name"] = scenarioName;
        preview["scenario_tag"] = scenarioLabel;
        preview["scenario_description"] = scenarioDescription;
        preview["tag_groups"] = std::move(previewGroups);
        preview["labels"] = std::move(labels);

        out.tasks.push_back(std::move(object));
        out.task_previews[label] = std::move(preview);
        out.task_groups[label] = includes;
        out.task_scenario[label] = scenarioLabel;
        scenarioTasks.push_back(label);
    }

    LOGI << "loaded scenario=" << scenarioLabel << ", task_count=" << out.tasks.size();
    if (out.tasks.empty()) {
        failure = "task list is empty after scenario/tag merge";
        return false;
    }
    return true;
}

} // namespace

std::string scenario_tag_loader::user_config_dir()
{
    const char* home = std::getenv("HOME");
    if (!home || !*home)
        return {};
    return std::string(home) + "/.config/kavrel";
}

nlohmann::ordered_json scenario_tag_loader::load_user_app_config(const std::string& requested)
{
    std::string path = requested;
    if (path.empty()) {
        const std::string dir = user_config_dir();
        if (dir.empty())
            return nullptr;
        path = dir + "/config.yaml";
    }
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return nullptr;
    try {
        const YAML::Node root = YAML::LoadFile(path);
        if (!root || root.IsNull() || !root.IsMap())
            return nullptr;
        return yaml_to_json(root);
    } catch (const std::exception& e) {
        LOGW << "load_user_app_config failed, path=" << path << ", err=" << e.what();
        return nullptr;
    }
}

bool scenario_tag_loader::load_task_preview(const std::string& selected_scenario_path,
                                            const std::string& tags_path,
                                            task_preview_load_result& out,
                                            std::string* error)
{
    out.clear();
    std::string failure;
    bool loaded = false;
    if (selected_scenario_path.empty()) {
        failure = "selected_scenario_path cannot be empty";
    } else {
        try {
            loaded = loadScenario(selected_scenario_path, tags_path, out, failure);
        } catch (const std::exception& e) {
            failure = "scenario yaml parse error, path=" + selected_scenario_path + ", err=" + e.what();
        }
    }
    if (!loaded) {
        out.clear();
        if (error)
            *error = failure;
    }
    return loaded;
}

std::string scenario_tag_loader::get_latest_scenario_folder_name()
{
    const std::string userDir = user_config_dir();
    if (userDir.empty())
        return {};
    return latest_scenario_folder_name(userDir + "/scenario");
}

bool scenario_tag_loader::is_scenario_set_name(const std::string& name)
{
    return name.compare(0, kScenarioSetPrefix.size(), kScenarioSetPrefix) == 0
        && name.size() >= kScenarioSetPrefix.size() + kMinimumStampLength;
}

std::string scenario_tag_loader::latest_scenario_folder_name(const std::string& dir)
{
    std::string best;
    try {
        std::error_code ec;
        if (!fs::is_directory(dir, ec))
            return {};
        for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
            std::error_code entryError;
            if (!entry.is_directory(entryError))
                continue;
            const std::string name = entry.path().filename().string();
            if (!is_scenario_set_name(name))
                continue;
            if (best.empty() || name.substr(kScenarioSetPrefix.size()) > best.substr(kScenarioSetPrefix.size()))
                best = name;
        }
    } catch (const std::exception& e) {
        LOGW << "get_latest_scenario_folder_name failed, dir=" << dir << ", err=" << e.what();
        return {};
    }
    return best;
}

std::vector<std::string> scenario_tag_loader::sorted_yaml_files_with_prefix(const std::string& dir,
                                                                           const std::string& prefix)
{
    std::vector<std::string> files;
    if (dir.empty())
        return files;
    try {
        std::error_code ec;
        if (!fs::is_directory(dir, ec))
            return files;
        for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
            std::error_code entryError;
            if (!entry.is_regular_file(entryError))
                continue;
            const fs::path& path = entry.path();
            const std::string name = path.filename().string();
            if (name.compare(0, prefix.size(), prefix) != 0 || path.extension() != ".yaml")
                continue;
            files.push_back(path.string());
        }
    } catch (const std::exception& e) {
        LOGW << "sorted_yaml_files_with_prefix failed, dir=" << dir << ", err=" << e.what();
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string scenario_tag_loader::guess_selected_scenario_label(const std::string& path)
{
    try {
        return firstScenarioLabel(scenarioCandidates(loadYamlFile(path)));
    } catch (const std::exception& e) {
        LOGW << "guess_selected_scenario_label failed, path=" << path << ", err=" << e.what();
        return {};
    }
}

std::vector<std::string> scenario_tag_loader::existing_unique_files(const std::vector<std::string>& paths)
{
    std::vector<std::string> files;
    std::set<std::string> seen;
    for (const std::string& path : paths) {
        std::error_code ec;
        if (path.empty() || !fs::is_regular_file(path, ec))
            continue;
        fs::path canonical = fs::weakly_canonical(path, ec);
        if (ec)
            continue;
        if (seen.insert(canonical.string()).second)
            files.push_back(canonical.string());
    }
    return files;
}
