#pragma once
// Finding camera nodes in the text "v4l2-ctl --list-devices" prints: a device
// line, its nodes indented below it, a blank line after each group.

#include <string>
#include <utility>
#include <vector>

namespace camera_base {

struct V4l2Device {
    std::string name;                // the device line, trimmed
    std::vector<std::string> nodes;  // "/dev/videoN" in listing order
};

// Groups the listing by device line; lines without a /dev/video node start a
// new device (a blank line starts an empty-named one that gets no nodes).
std::vector<V4l2Device> parseV4l2DeviceList(const std::string& listing);

// The first node of the device called `cameraName`. The full device line
// ("HD Web Camera: HD Web Camera (usb-xhci-hcd.1.auto-1.2):") matches first;
// failing that, the line without its trailing colon, then the card name
// before the first ": " ("HD Web Camera"), so a configuration does not have
// to carry the USB port the camera happens to be plugged into.
std::string findVideoNodeByName(const std::vector<V4l2Device>& devices, const std::string& cameraName);

// Runs "v4l2-ctl --list-devices" and returns what it printed on standard output
// (its complaints on standard error would repeat every second without a camera).
std::string listV4l2Devices();

} // namespace camera_base
