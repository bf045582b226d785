#include "scenario_tag_loader.h"

#include <cstdlib>
#include <filesystem>

#include <yaml-cpp/yaml.h>

#include "Log.h"
#include "yaml_json.h"

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
