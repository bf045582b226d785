#pragma once
// Reads the YAML side of the configuration: the operator's overlay file and
// the scenario and tag catalogues. Every operation reports failure through its
// result and log lines; none throws.

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "task_preview.h"

class scenario_tag_loader {
public:
    // "$HOME/.config/kavrel", or empty when HOME is unset or empty.
    static std::string user_config_dir();

    // The overlay as JSON (null when absent, unreadable or not a mapping).
    // An empty path means user_config_dir() + "/config.yaml".
    static nlohmann::ordered_json load_user_app_config(const std::string& path);

    // Loads one scenario file and the tag files that go with it into `out`
    // (cleared first, and left empty on failure). On failure `error` (when not
    // null) receives the reason.
    static bool load_task_preview(const std::string& selected_scenario_path,
                                  const std::string& tags_path,
                                  task_preview_load_result& out,
                                  std::string* error);

    // Name of the newest scenario set below user_config_dir() + "/scenario"
    // ("scenario_" followed by a stamp of 15 characters or more), or empty.
    static std::string get_latest_scenario_folder_name();
    // The same below any folder (the catalogue download uses it too).
    static std::string latest_scenario_folder_name(const std::string& dir);
    // "scenario_" followed by a stamp of 15 characters or more.
    static bool is_scenario_set_name(const std::string& name);

    // Regular files in `dir` named prefix*.yaml, as directory-entry paths in
    // byte order; empty when `dir` is empty, missing or not a directory.
    static std::vector<std::string> sorted_yaml_files_with_prefix(const std::string& dir,
                                                                  const std::string& prefix);

    // Label of the first scenario in the file that has one, else empty.
    static std::string guess_selected_scenario_label(const std::string& path);

    // Keeps the paths that name existing regular files (links followed), in
    // weakly canonical form, each form only the first time it occurs.
    static std::vector<std::string> existing_unique_files(const std::vector<std::string>& paths);
};
