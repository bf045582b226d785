#include "FramesIndex.h"

#include <charconv>

namespace frames_index {
namespace {

// File names are ours (timestamps), but a field must never break the row.
bool plainField(const std::string& text)
{
    return text.find_first_of(",\n\r\"") == std::string::npos;
}

template <typename T>
bool number(std::string_view field, T& out)
{
    out = 0;
    if (field.empty())
        return true;
    const auto result = std::from_chars(field.data(), field.data() + field.size(), out);
    return result.ec == std::errc() && result.ptr == field.data() + field.size();
}

} // namespace

std::string renderRow(const Row& r)
{
    const auto file = [](const std::string& name) { return plainField(name) ? name : std::string(); };
    const auto deviceNumber = [](uint64_t value, bool present) { return present ? std::to_string(value) : std::string(); };
    const bool colour = !r.colourFile.empty();
    const bool depth = !r.depthFile.empty();
    return std::to_string(r.set) + "," + file(r.colourFile) + "," + file(r.depthFile) + ","
        + deviceNumber(r.colourDeviceUs, colour) + "," + deviceNumber(r.depthDeviceUs, depth) + ","
        + (colour ? std::to_string(r.colourIndex) : "") + "," + (depth ? std::to_string(r.depthIndex) : "") + ","
        + std::to_string(r.hostUtcNs) + "," + (r.snapshotId ? std::to_string(r.snapshotId) : std::string());
}

Parsed parse(std::string_view text)
{
    Parsed parsed;
    size_t start = 0;
    int lineNumber = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (lineNumber == 1) {
            if (line != header)
                parsed.errors.push_back("line 1: not the frames.csv header");
            continue;
        }
        if (line.empty())
            continue;
        std::vector<std::string_view> fields;
        size_t from = 0;
        for (;;) {
            const size_t comma = line.find(',', from);
            fields.push_back(line.substr(from, comma == std::string_view::npos ? std::string_view::npos : comma - from));
            if (comma == std::string_view::npos)
                break;
            from = comma + 1;
        }
        Row row;
        bool ok = fields.size() == 9 && number(fields[0], row.set) && row.set > 0
            && number(fields[3], row.colourDeviceUs) && number(fields[4], row.depthDeviceUs)
            && number(fields[5], row.colourIndex) && number(fields[6], row.depthIndex)
            && number(fields[7], row.hostUtcNs) && !fields[7].empty() && number(fields[8], row.snapshotId);
        if (ok) {
            row.colourFile = std::string(fields[1]);
            row.depthFile = std::string(fields[2]);
            ok = !row.colourFile.empty() || !row.depthFile.empty();
        }
        if (!ok) {
            parsed.errors.push_back("line " + std::to_string(lineNumber) + ": not a frame set row");
            continue;
        }
        parsed.rows.push_back(std::move(row));
    }
    if (lineNumber == 0)
        parsed.errors.push_back("empty file");
    return parsed;
}

} // namespace frames_index
