#include "config_manager.h"

#include <algorithm>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
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

upload_config decodeUploadConfig(const ordered_json& object)
{
    upload_config config;
    if (!object.is_object())
        throw std::runtime_error("upload is not an object");
    config.endpoint = object.value("endpoint", config.endpoint);
    config.region = object.value("region", config.region);
    config.bucket = object.value("bucket", config.bucket);
    config.path_style = object.value("path_style", config.path_style);
    config.parallel_files = object.value("parallel_files", config.parallel_files);
    config.ca_file = object.value("ca_file", config.ca_file);
    if (const auto cap = object.find("max_mbit"); cap != object.end() && !cap->is_null()) {
        if (cap->is_number() && cap->get<double>() > 0)
            config.max_mbit = cap->get<double>();
        else
            LOGW << "upload.max_mbit must be a positive number of Mbit/s, uploads are not capped: " << cap->dump();
    }
    if (!config.endpoint.empty() && config.endpoint.rfind("http://", 0) != 0 &&
        config.endpoint.rfind("https://", 0) != 0) {
        LOGE << "upload.endpoint must be an http:// or https:// URL, uploads are off: " << config.endpoint;
        config.endpoint.clear();
    }
    if (config.parallel_files < 1 || config.parallel_files > 32) {
        LOGW << "upload.parallel_files out of range (1 to 32): " << config.parallel_files << ", using 16";
        config.parallel_files = upload_config{}.parallel_files;
    }
    return config;
}

fleet_config decodeFleetConfig(const ordered_json& object)
{
    fleet_config config;
    if (!object.is_object())
        throw std::runtime_error("fleet is not an object");
    const auto interval = object.find("interval_min");
    if (interval != object.end()) {
        if (interval->is_number_integer() && *interval >= 1 && *interval <= 24 * 60)
            config.interval_min = interval->get<int>();
        else
            LOGW << "fleet.interval_min must be 1 to 1440 minutes, using 10: " << interval->dump();
    }
    const auto prefix = object.find("catalogue_prefix");
    if (prefix != object.end()) {
        if (prefix->is_string() && !prefix->get<std::string>().empty())
            config.catalogue_prefix = prefix->get<std::string>();
        else
            LOGW << "fleet.catalogue_prefix must be a non-empty text, using catalogue/: " << prefix->dump();
    }
    return config;
}

std::string trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

} // namespace

upload_credentials load_upload_credentials(const std::string& path)
{
    upload_credentials credentials;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        const char* id = std::getenv("AWS_ACCESS_KEY_ID");
        const char* secret = std::getenv("AWS_SECRET_ACCESS_KEY");
        credentials.access_key_id = id ? id : "";
        credentials.secret_access_key = secret ? secret : "";
        if (!credentials.ok())
            credentials.error = "no credentials: " + path + " is missing and AWS_ACCESS_KEY_ID / "
                "AWS_SECRET_ACCESS_KEY are not set";
        return credentials;
    }
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        credentials.error = "credentials file " + path + " is readable by group or others (mode " + mode +
            "); refused, run: chmod 600 " + path;
        return credentials;
    }
    std::ifstream file(path);
    if (!file.is_open()) {
        credentials.error = "cannot read credentials file " + path;
        return credentials;
    }
    for (std::string line; std::getline(file, line);) {
        const auto equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string name = trimmed(line.substr(0, equals));
        const std::string value = trimmed(line.substr(equals + 1));
        if (name == "access_key_id")
            credentials.access_key_id = value;
        else if (name == "secret_access_key")
            credentials.secret_access_key = value;
    }
    if (!credentials.ok())
        credentials.error = "credentials file " + path + " lacks access_key_id or secret_access_key";
    return credentials;
}

namespace {

// MemAvailable of /proc/meminfo in bytes; -1 when it cannot be read.
long long readMemAvailable()
{
    std::ifstream meminfo("/proc/meminfo");
    std::string line;
    long long kib = 0;
    while (std::getline(meminfo, line)) {
        if (std::sscanf(line.c_str(), "MemAvailable: %lld kB", &kib) == 1 && kib > 0)
            return kib * 1024;
    }
    LOGW << "MemAvailable not found in /proc/meminfo; the capture backlog is bounded at 256 MiB";
    return -1;
}

} // namespace

config_manager::config_manager()
    : memAvailableAtStart_(readMemAvailable())
{
}

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
    upload_ = {};
    fleet_ = {};
    min_free_mb_ = 0;
    max_backlog_mb_ = 0;
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

double config_manager::streamBytesPerSecond(bool withUsb) const
{
    // Rough sizes per frame: MJPEG colour about 2 bits a pixel, 16-bit depth
    // PNG about one byte a pixel (sensor noise barely compresses).
    auto perSecond = [](const camera_entry& camera, double bytesPerPixel) {
        if (camera.width <= 0 || camera.height <= 0 || camera.fps <= 0)
            return 0.0;
        return static_cast<double>(camera.width) * camera.height * bytesPerPixel * camera.fps;
    };
    double bytes = 0;
    for (const camera_entry* camera : {&camera_config_.camera1, &camera_config_.camera2}) {
        if (camera->camera_id != 0)
            continue;
        if (camera->camera_type_str == "Gemini_corlor")
            bytes += perSecond(*camera, 0.25);
        else if (camera->camera_type_str == "Gemini_depeth")
            bytes += perSecond(*camera, 1.0);
    }
    if (withUsb && camera_config_.camera3.camera_id == 1)
        bytes += perSecond(camera_config_.camera3, 0.25);
    return bytes;
}

long long config_manager::minFreeBytes() const
{
    constexpr long long kMiB = 1024LL * 1024LL;
    if (min_free_mb_ > 0)
        return min_free_mb_ * kMiB;
    // One minute of every stream the cameras are asked for.
    constexpr long long kFloor = 64 * kMiB;  // meta.yaml, the ledger and a few snapshots
    return std::max(kFloor, static_cast<long long>(streamBytesPerSecond(true) * 60.0));
}

unsigned long long config_manager::maxBacklogBytes() const
{
    constexpr unsigned long long kMiB = 1024ULL * 1024ULL;
    if (max_backlog_mb_ > 0)
        return static_cast<unsigned long long>(max_backlog_mb_) * kMiB;
    // The cameras and the GUI need the rest; a board whose memory is unknown gets 256 MiB.
    if (memAvailableAtStart_ <= 0)
        return 256 * kMiB;
    return std::clamp<unsigned long long>(static_cast<unsigned long long>(memAvailableAtStart_) / 4, 16 * kMiB, 1024 * kMiB);
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
        upload_ = {};
        if (auto it = cfg.find("upload"); it != cfg.end())
            upload_ = decodeUploadConfig(*it);
        fleet_ = {};
        if (auto it = cfg.find("fleet"); it != cfg.end())
            fleet_ = decodeFleetConfig(*it);
        if (auto it = cfg.find("min_free_mb"); it != cfg.end()) {
            if (it->is_number_integer() && it->get<long long>() >= 0 && it->get<long long>() < (1LL << 30))
                min_free_mb_ = it->get<int>();
            else
                LOGW << "min_free_mb must be a whole number of MiB, ignored: " << it->dump();
        }
        if (auto it = cfg.find("max_backlog_mb"); it != cfg.end()) {
            // Below 16 MiB not even a few raw 1280x720 depth frames fit.
            if (it->is_number_integer() && it->get<long long>() >= 16 && it->get<long long>() <= (1LL << 20))
                max_backlog_mb_ = it->get<int>();
            else
                LOGW << "max_backlog_mb must be a whole number of MiB from 16 to 1048576, ignored: " << it->dump();
        }
    } catch (const std::exception& e) {
        LOGE << "config_manager::init parse config error: " << e.what();
        return -1;
    }
    return 0;
}
