#pragma once
// Where a capture session lands on the storage card:
//   <storage_root>/<date>-<city>-<scene>/<task>[/<part number>]/<session time>
// with one <device>/color and <device>/depth folder per recorded device.
//
// Every name that comes from configuration, the catalogue or a camera record
// (city, scene and task labels, part number, date, device names, image
// timestamps) becomes exactly one path component through safePathComponent,
// so none of them can lead outside storage_root.

#include <string>
#include <string_view>
#include <vector>

#include "CollectionContext.h"

struct SessionPath {
    std::string folder_1;   // date-city-scene
    std::string folder_2;   // task label
    std::string folder_3;   // part number; empty leaves the level out
    std::string folder_4;   // session time, yyyyMMdd_hhmmss
    std::string full_path;
};

// The rule for turning a configured or catalogue name into one safe path
// component (a folder or file name), so that nothing leaves the storage root
// and the card's file system (often exFAT or FAT32) accepts it:
//  1. control characters (below 0x20 and 0x7F), the separators "/" and "\",
//     the characters FAT forbids (: * ? " < > |) and bytes that are not valid
//     UTF-8 each become "_"; Chinese and other UTF-8 text is kept;
//  2. leading and trailing spaces and dots are removed, so "." and ".." and
//     hidden names cannot arise and FAT's ban on trailing dots is met;
//  3. the result is cut to at most 200 bytes, never inside a UTF-8 character;
//  4. when nothing is left, the fallback is used.
// The rule is idempotent: a safe name passes through unchanged.
std::string safePathComponent(std::string_view text, std::string_view fallback = "unknown");

class PathBuilder {
public:
    // Builds the five fields. The date comes from info.date (today's local
    // date when empty); session_time overrides the current local time when
    // not empty. An empty root stands for the working directory ".".
    static SessionPath buildSessionPath(const std::string& root, const CollectionInfo& info, const std::string& city,
        const std::string& scene_label, const std::string& task_label, const std::string& part_number,
        const std::string& session_time);

    // Creates full_path and <device>/color, <device>/depth for each device
    // (names made safe first); false, with a log line, when the file system
    // refuses.
    static bool createDirectories(const SessionPath& path, const std::vector<std::string>& devices);

    static constexpr size_t maxComponentBytes = 200;
};

// "a,b,,c," -> {"a", "b", "c"}: empty pieces are dropped.
std::vector<std::string> splitDeviceList(const std::string& devices);

// Local time now, formatted with strftime's format.
std::string localTimeText(const char* format);
