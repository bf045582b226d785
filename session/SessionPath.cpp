#include "SessionPath.h"

#include <ctime>
#include <filesystem>
#include <system_error>

#include "Log.h"

namespace {

bool isForbiddenAscii(unsigned char c)
{
    if (c < 0x20 || c == 0x7F)
        return true;
    switch (c) {
    case '/':
    case '\\':
    case ':':
    case '*':
    case '?':
    case '"':
    case '<':
    case '>':
    case '|':
        return true;
    default:
        return false;
    }
}

// Length of the valid UTF-8 sequence starting at text[i], or 0 when invalid.
size_t utf8SequenceLength(std::string_view text, size_t i)
{
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    uint32_t minimum = 0;
    uint32_t codePoint = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        minimum = 0x80;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        minimum = 0x800;
        codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        minimum = 0x10000;
        codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (byte(i + k) & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return length;
}

void trimSpacesAndDots(std::string& text)
{
    const auto strip = [](char c) { return c == ' ' || c == '.'; };
    size_t begin = 0;
    while (begin < text.size() && strip(text[begin]))
        ++begin;
    size_t end = text.size();
    while (end > begin && strip(text[end - 1]))
        --end;
    text = text.substr(begin, end - begin);
}

} // namespace

std::string safePathComponent(std::string_view text, std::string_view fallback)
{
    std::string safe;
    safe.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            safe.push_back(isForbiddenAscii(c) ? '_' : static_cast<char>(c));
            ++i;
            continue;
        }
        const size_t length = utf8SequenceLength(text, i);
        if (length == 0) {
            safe.push_back('_');
            ++i;
            continue;
        }
        safe.append(text.substr(i, length));
        i += length;
    }
    trimSpacesAndDots(safe);
    if (safe.size() > PathBuilder::maxComponentBytes) {
        size_t cut = PathBuilder::maxComponentBytes;
        while (cut > 0 && (static_cast<unsigned char>(safe[cut]) & 0xC0) == 0x80)
            --cut;
        safe.resize(cut);
        trimSpacesAndDots(safe);
    }
    if (safe.empty())
        return std::string(fallback);
    return safe;
}

std::vector<std::string> splitDeviceList(const std::string& devices)
{
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= devices.size()) {
        size_t comma = devices.find(',', start);
        if (comma == std::string::npos)
            comma = devices.size();
        if (comma > start)
            names.push_back(devices.substr(start, comma - start));
        start = comma + 1;
    }
    return names;
}

std::string localTimeText(const char* format)
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[64];
    const size_t length = std::strftime(text, sizeof text, format, &local);
    return std::string(text, length);
}

SessionPath PathBuilder::buildSessionPath(const std::string& root, const CollectionInfo& info,
    const std::string& city, const std::string& scene_label, const std::string& task_label,
    const std::string& part_number, const std::string& session_time)
{
    SessionPath path;
    const std::string date = safePathComponent(info.date, localTimeText("%Y%m%d"));
    // City and scene are parts of one folder name: an unusable one stays empty
    // there instead of becoming a placeholder.
    path.folder_1 = safePathComponent(date + "-" + safePathComponent(city, "") + "-" + safePathComponent(scene_label, ""));
    path.folder_2 = safePathComponent(task_label);
    path.folder_3 = part_number.empty() ? std::string() : safePathComponent(part_number);
    const std::string now = localTimeText("%Y%m%d_%H%M%S");
    path.folder_4 = session_time.empty() ? now : safePathComponent(session_time, now);

    std::string base = root.empty() ? std::string(".") : root;
    path.full_path = base + "/" + path.folder_1 + "/" + path.folder_2;
    if (!path.folder_3.empty())
        path.full_path += "/" + path.folder_3;
    path.full_path += "/" + path.folder_4;
    return path;
}

bool PathBuilder::createDirectories(const SessionPath& path, const std::vector<std::string>& devices)
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path session(path.full_path);
    fs::create_directories(session, error);
    if (!error && !fs::is_directory(session, error) && !error)
        error = std::make_error_code(std::errc::not_a_directory);
    for (size_t i = 0; !error && i < devices.size(); ++i) {
        const fs::path device = session / safePathComponent(devices[i]);
        for (const char* kind : {"color", "depth"}) {
            fs::create_directories(device / kind, error);
            if (error)
                break;
        }
    }
    if (error) {
        LOGE << "Failed to create directories: " << error.message();
        return false;
    }
    LOGD << "Created session directories: " << path.full_path;
    return true;
}
