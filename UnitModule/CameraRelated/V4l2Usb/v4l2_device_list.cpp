#include "v4l2_device_list.h"

#include <cstdio>
#include <regex>
#include <sstream>

namespace camera_base {

std::vector<V4l2Device> parseV4l2DeviceList(const std::string& listing)
{
    static const std::regex nodePattern(R"(\s*(/dev/video[0-9]+))");
    static const std::regex trimPattern(R"(^\s+|\s+$)");
    std::vector<V4l2Device> devices;
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
        std::smatch match;
        if (std::regex_search(line, match, nodePattern)) {
            if (devices.empty())
                devices.push_back({});
            devices.back().nodes.push_back(match[1].str());
        } else {
            devices.push_back({std::regex_replace(line, trimPattern, ""), {}});
        }
    }
    return devices;
}

std::string findVideoNodeByName(const std::vector<V4l2Device>& devices, const std::string& cameraName)
{
    if (cameraName.empty())
        return {};
    auto firstNodeWhere = [&](auto matches) -> std::string {
        for (const V4l2Device& device : devices)
            if (!device.nodes.empty() && matches(device.name))
                return device.nodes.front();
        return {};
    };
    if (auto node = firstNodeWhere([&](const std::string& name) { return name == cameraName; }); !node.empty())
        return node;
    if (auto node = firstNodeWhere([&](const std::string& name) {
            return !name.empty() && name.back() == ':' && name.substr(0, name.size() - 1) == cameraName;
        });
        !node.empty())
        return node;
    return firstNodeWhere([&](const std::string& name) {
        const auto colon = name.find(": ");
        return colon != std::string::npos && name.substr(0, colon) == cameraName;
    });
}

std::string listV4l2Devices()
{
    std::string output;
    FILE* pipe = popen("v4l2-ctl --list-devices 2>/dev/null", "r");
    if (!pipe)
        return output;
    char chunk[128];
    while (fgets(chunk, sizeof chunk, pipe))
        output += chunk;
    pclose(pipe);
    return output;
}

} // namespace camera_base
