#include "DataJson.h"

#include <nlohmann/json.hpp>

using json = nlohmann::json;

namespace data_json {

std::string sensorLine(const char* type, const double (&values)[3], double time, uint64_t deviceUs)
{
    // nlohmann::json keeps keys sorted and prints the shortest text that reads back the same number.
    // Keys in the order the lines have always had, the device time last.
    nlohmann::ordered_json entry = nlohmann::ordered_json::object();
    entry["sensor"] = {{"type", type}, {"values", {values[0], values[1], values[2]}}};
    entry["time"] = time;
    entry["device_us"] = deviceUs;
    return entry.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

} // namespace data_json

namespace manifest_json {

std::string render(const std::map<std::string, Entry>& entries)
{
    json manifest;  // null until the first entry
    for (const auto& [key, entry] : entries)
        manifest[key] = json{{"files", entry.files}, {"tags", entry.tags}};
    // Names and tags come from the catalogue: invalid UTF-8 is replaced, never thrown on.
    return manifest.dump(2, ' ', false, json::error_handler_t::replace);
}

} // namespace manifest_json
