#pragma once
// The text of the files a run writes beside its images: data.json (one JSON
// object per line: a version line, then one line per sensor reading) and
// manifest.json (single shot: each kept snapshot's files and tags).

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace data_json {

inline constexpr const char* versionLine = R"({"version":"1.0.0"})";

// {"sensor":{"type":<type>,"values":[x,y,z]},"time":<seconds>,"device_us":<deviceUs>}
// time: the sample's seconds as always recorded (the earlier of its two
// sensors' device times); deviceUs: this sensor's own device time.
std::string sensorLine(const char* type, const double (&values)[3], double time, uint64_t deviceUs);

} // namespace data_json

namespace manifest_json {

struct Entry {
    std::vector<std::string> files;  // relative to the session folder
    std::vector<std::string> tags;
};

// Keyed by the snapshot's file stem, sorted; "null" while it lists nothing.
std::string render(const std::map<std::string, Entry>& entries);

} // namespace manifest_json
