#pragma once
// The device configuration (/etc/kavrel/def_config.json overlaid by the
// operator's $HOME/.config/kavrel/config.yaml), the loaded scenario catalogue
// and the operator's current tag choices. Filled once at start-up on the GUI
// thread; afterwards the device members are only read.

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "task_preview.h"

using ordered_json = nlohmann::ordered_json;

struct camera_entry {
    std::string camera_type_str;  // e.g. "Gemini_corlor", "Gemini_depeth", "usb_camera"
    int camera_id = 0;
    int width = 0;
    int height = 0;
    int fps = 0;
    float exposure_time = 0.0f;
    // V4L2 pixel format of a USB camera as a FourCC ("MJPG", "YUYV"); optional.
    std::string pixel_format = "MJPG";
};

struct camera_config {
    int capture_freq = 0;
    camera_entry camera1;
    camera_entry camera2;
    camera_entry camera3;
};

struct script_entry {
    std::string name;
    std::string cmd;
    std::string description;
};

// Where uploads go (the `upload` object). No endpoint: uploads are off.
struct upload_config {
    std::string endpoint;               // http:// or https:// URL
    std::string region = "us-east-1";
    std::string bucket = "default-bucket";
    bool path_style = true;
    int parallel_files = 16;            // the most files in flight; fewer when they fill the link
    double max_mbit = 0;                // cap on the upload rate; 0: none
    std::string ca_file;
};

// Keys for the object store. They come from the credentials file or the
// environment, never from the catalogue, and are never logged.
struct upload_credentials {
    std::string access_key_id;
    std::string secret_access_key;
    std::string error;                  // why there are none; safe to log
    bool ok() const { return !access_key_id.empty() && !secret_access_key.empty(); }
};

// The fleet's meeting point in the store (the `fleet` object): how often the
// terminal looks for a newer catalogue and reports its status, and where the
// catalogue sets are.
struct fleet_config {
    int interval_min = 10;
    std::string catalogue_prefix = "catalogue/";
};

inline constexpr const char* kCredentialsPath = "/etc/kavrel/credentials";

// Reads `access_key_id = ...` and `secret_access_key = ...` lines from path
// (a file readable by group or others is refused); without the file, takes
// AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY from the environment.
upload_credentials load_upload_credentials(const std::string& path);

inline constexpr int kDefaultFontSizePx = 36;

// Reads a JSON file keeping member order; null on any failure (logged).
ordered_json load_ordered_json(const std::string& path);

class config_manager {
public:
    static config_manager& instance();

    // Loads the device file and the overlay; 0 when everything applied, -1 otherwise.
    int init(const std::string& path);

    // The font size every "%1px" style template uses: 36 when unset or below 1.
    int fontSizePx() const;

    // Loads one scenario file with its tag files into task_preview_, which is
    // empty after a failed load (the reason is logged).
    bool load_task_preview_config(const std::string& scenario_path, const std::string& tags_path);

    std::vector<std::pair<std::string, std::string>> city_list_;
    std::string cur_city_;
    std::string machine_id_;
    int font_size_px_ = kDefaultFontSizePx;
    camera_config camera_config_;
    std::vector<script_entry> scripts_;
    std::string cap_type_;
    // Free space (MiB) the storage card needs before capture starts; 0: one
    // minute of the configured streams (see minFreeBytes()).
    int min_free_mb_ = 0;
    // Memory (MiB) that frame sets waiting for the card may take; 0: a quarter
    // of the memory available at start, at most 1024 (see maxBacklogBytes()).
    int max_backlog_mb_ = 0;
    upload_config upload_;
    fleet_config fleet_;

    // Catalogue and the operator's choices on the information page.
    std::vector<std::string> selected_tags_;
    std::vector<std::pair<std::string, std::string>> tag_pairs_;
    task_preview_load_result task_preview_;

    // Free space needed to start capturing: min_free_mb, or by default what
    // one minute of the configured colour, depth and USB streams takes.
    long long minFreeBytes() const;
    // Bytes a second the configured colour and depth streams put on the card
    // (and the USB camera's with withUsb), at the sizes a real scene gives.
    double streamBytesPerSecond(bool withUsb) const;
    // The bound of a capture run's backlog: max_backlog_mb or its default.
    unsigned long long maxBacklogBytes() const;

    // Puts every member back to its default; for tests that reuse the singleton.
    void resetForTest();

private:
    config_manager();
    ~config_manager();

    long long memAvailableAtStart_ = -1;  // bytes, from /proc/meminfo; -1 unknown
    config_manager(const config_manager&) = delete;
    config_manager& operator=(const config_manager&) = delete;
};

// The configured font size, or 36 where no configuration applies.
int configuredFontSizePx();
