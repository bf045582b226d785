#pragma once
// One row of the dataset ledger and its conversion to and from the CSV text.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Texts of the `status` column.
inline constexpr const char* kStatusWaitingUpload = "待上传";
inline constexpr const char* kStatusCompleted = "已完成";
// Text of the `type` column for the capture page's sessions.
inline constexpr const char* kRecordTypeCapture = "采集";

struct dir_info {
    std::string dir_name;       // session folder relative to the storage root
    int64_t creat_date = 0;     // folder st_mtime when last recorded, epoch seconds
    int64_t size = 0;           // bytes of the regular files below the folder
    std::string type;           // kind of capture, "采集" from the capture page
    std::string status;         // kStatusWaitingUpload or kStatusCompleted
    int64_t succ_up_date = 0;   // epoch seconds of the completed upload, 0 until then

    bool operator==(const dir_info& other) const;
    bool operator!=(const dir_info& other) const { return !(*this == other); }
};

// Columns are found by name; all six must be there, others are ignored.
// Throws std::runtime_error ("column not found: dir_name", a row too short,
// a field that is not a number); nothing is returned then.
std::vector<dir_info> parse_dir_records(std::string_view csv_text);

// The whole file: header in the fixed order, then one line per row.
std::string format_dir_records(const std::vector<dir_info>& records);
