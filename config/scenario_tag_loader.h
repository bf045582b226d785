#pragma once
// Reads the YAML side of the configuration: the operator's overlay file and
// the scenario and tag catalogues.

#include <string>

#include <nlohmann/json.hpp>

class scenario_tag_loader {
public:
    // "$HOME/.config/kavrel", or empty when HOME is unset or empty.
    static std::string user_config_dir();

    // The overlay as JSON (null when absent, unreadable or not a mapping).
    // An empty path means user_config_dir() + "/config.yaml".
    static nlohmann::ordered_json load_user_app_config(const std::string& path);
};
