#include "SessionFolder.h"

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace session_folder {

namespace {

bool hasSessionFile(const fs::path& folder)
{
    std::error_code error;
    for (const char* name : {"meta.yaml", "manifest.json", "data.json"}) {
        const fs::file_type type = fs::symlink_status(folder / name, error).type();
        if (type != fs::file_type::not_found && type != fs::file_type::none && type != fs::file_type::directory)
            return true;
    }
    return false;
}

bool hasDeviceFolder(const fs::path& folder)
{
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::error_code child;
        if (!it->is_symlink(child) && it->is_directory(child)
            && (fs::is_directory(it->path() / "color", child) || fs::is_directory(it->path() / "depth", child)))
            return true;
    }
    return false;
}

void collect(const fs::path& folder, int depthLeft, std::vector<std::string>& found)
{
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::error_code child;
        if (it->is_symlink(child) || !it->is_directory(child))
            continue;
        if (isSession(it->path().string()))
            found.push_back(it->path().string());
        else if (depthLeft > 1)
            collect(it->path(), depthLeft - 1, found);
    }
}

} // namespace

bool looksLikeSessionTime(std::string_view name)
{
    if (name.size() < 15 || name[8] != '_')
        return false;
    for (size_t i = 0; i < 15; ++i)
        if (i != 8 && (name[i] < '0' || name[i] > '9'))
            return false;
    return name.size() == 15 || name[15] == '_';
}

bool isSession(const std::string& path)
{
    std::error_code error;
    if (!fs::is_directory(path, error))
        return false;
    const fs::path folder(path);
    return hasSessionFile(folder) || looksLikeSessionTime(folder.filename().string()) || hasDeviceFolder(folder);
}

std::vector<std::string> findBelow(const std::string& path, int maxDepth)
{
    std::vector<std::string> found;
    if (isSession(path))
        found.push_back(path);
    else
        collect(path, maxDepth, found);
    std::sort(found.begin(), found.end());
    return found;
}

} // namespace session_folder
