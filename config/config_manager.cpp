#include "config_manager.h"

#include <fstream>
#include <iterator>

#include "Log.h"
#include "scenario_tag_loader.h"

ordered_json load_ordered_json(const std::string& path)
{
    std::string buffer;
    std::ifstream file(path, std::ios::binary);
    if (file) {
        file.seekg(0, std::ios::end);
        const std::streamoff size = file.tellg();
        if (size > 0) {
            buffer.resize(static_cast<std::size_t>(size));
            file.seekg(0, std::ios::beg);
            file.read(buffer.data(), size);
            buffer.resize(static_cast<std::size_t>(file.gcount()));
        }
    }
    if (buffer.empty()) {
        LOGE << "load_json: file is empty";
        return nullptr;
    }
    try {
        return ordered_json::parse(buffer, nullptr, true, false);
    } catch (const std::exception& e) {
        LOGE << "load_json: error: " << e.what();
        return nullptr;
    }
}

namespace {

camera_entry decodeCamera(const ordered_json& object)
{
    camera_entry camera;
    camera.camera_type_str = object.at("camera_type_str").get<std::string>();
    camera.camera_id = object.at("camera_id").get<int>();
    camera.width = object.at("width").get<int>();
    camera.height = object.at("height").get<int>();
    camera.fps = object.at("fps").get<int>();
    camera.exposure_time = object.at("exposure_time").get<float>();
    if (auto it = object.find("pixel_format"); it != object.end() && it->is_string())
        camera.pixel_format = it->get<std::string>();
    return camera;
}

camera_config decodeCameraConfig(const ordered_json& object)
{
    camera_config config;
    config.capture_freq = object.at("capture_freq").get<int>();
    config.camera1 = decodeCamera(object.at("camera1"));
    config.camera2 = decodeCamera(object.at("camera2"));
    config.camera3 = decodeCamera(object.at("camera3"));
    return config;
}

std::vector<script_entry> decodeScripts(const ordered_json& value)
{
    std::vector<script_entry> scripts;
    if (!value.is_array())
        return scripts;
    for (const auto& element : value) {
        if (!element.is_object())
            continue;
        const auto name = element.find("name");
        const auto cmd = element.find("cmd");
        if (name == element.end() || cmd == element.end() || !name->is_string() || !cmd->is_string())
            continue;
        script_entry entry{name->get<std::string>(), cmd->get<std::string>(), {}};
        if (const auto description = element.find("description");
            description != element.end() && description->is_string())
            entry.description = description->get<std::string>();
        scripts.push_back(std::move(entry));
    }
    return scripts;
}

} // namespace

config_manager::config_manager() = default;

config_manager::~config_manager()
{
    LOGI << "config_manager stop";
    LOGI << "~config_manager";
}

config_manager& config_manager::instance()
{
    static config_manager manager;
    return manager;
}

void config_manager::resetForTest()
{
    city_list_.clear();
    cur_city_.clear();
    machine_id_.clear();
    font_size_px_ = kDefaultFontSizePx;
    camera_config_ = {};
    scripts_.clear();
    cap_type_.clear();
    selected_tags_.clear();
    tag_pairs_.clear();
    task_preview_ = {};
}

int config_manager::fontSizePx() const
{
    return font_size_px_ < 1 ? kDefaultFontSizePx : font_size_px_;
}

bool config_manager::load_task_preview_config(const std::string& scenario_path,
                                              const std::string& tags_path)
{
    task_preview_.clear();
    task_preview_load_result result;
    std::string error;
    if (!scenario_tag_loader::load_task_preview(scenario_path, tags_path, result, &error)) {
        LOGE << "load_task_preview_config parse error: " << error;
        return false;
    }
    task_preview_ = std::move(result);
    return true;
}

int configuredFontSizePx()
{
    return config_manager::instance().fontSizePx();
}

int config_manager::init(const std::string& path)
{
    ordered_json cfg = load_ordered_json(path);
    const ordered_json user = scenario_tag_loader::load_user_app_config("");
    if (user.is_object())
        cfg.merge_patch(user);

    if (cfg.is_null() || ((cfg.is_object() || cfg.is_array()) && cfg.empty()))
        return -1;
    if (!cfg.is_object()) {
        scripts_.clear();
        return -1;
    }

    try {
        if (auto it = cfg.find("city_list"); it != cfg.end()) {
            city_list_.clear();
            if (it->is_object() || it->is_array()) {
                for (const auto& member : it->items())
                    city_list_.emplace_back(member.key(), member.value().get<std::string>());
            }
        }
        if (auto it = cfg.find("cur_city"); it != cfg.end())
            cur_city_ = it->get<std::string>();
        if (auto it = cfg.find("machine_id"); it != cfg.end())
            machine_id_ = it->get<std::string>();
        if (auto it = cfg.find("font_size_px"); it != cfg.end()) {
            if (it->is_number_integer())
                font_size_px_ = it->get<int>();
            else if (it->is_string())
                font_size_px_ = std::stoi(it->get<std::string>());
        }
        if (auto it = cfg.find("cap_type"); it != cfg.end())
            cap_type_ = it->get<std::string>();
        scripts_.clear();
        if (auto it = cfg.find("scripts"); it != cfg.end())
            scripts_ = decodeScripts(*it);
        if (auto it = cfg.find("camera_config"); it != cfg.end())
            camera_config_ = decodeCameraConfig(*it);
    } catch (const std::exception& e) {
        LOGE << "config_manager::init parse config error: " << e.what();
        return -1;
    }
    return 0;
}
