#include "DataJson.h"

#include <nlohmann/json.hpp>

using json = nlohmann::json;

namespace data_json {

std::string sensorLine(const char* type, const double (&values)[3], double time)
{
    // nlohmann::json keeps keys sorted and prints the shortest text that reads back the same number.
    json entry = json::object();
    entry["sensor"] = json::object({{"type", type}, {"values", json::array({values[0], values[1], values[2]})}});
    entry["time"] = time;
    return entry.dump(-1, ' ', false, json::error_handler_t::replace);
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
