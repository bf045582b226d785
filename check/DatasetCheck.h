#pragma once
// The files a session holds for people who use it without the device:
// <device>/calibration.json, frames.csv, clock.json and <session>/SHA256SUMS.
// Sessions recorded before these files existed pass with a note that they
// are absent; files that are there must be whole and agree with the images.

#include <string>
#include <vector>

#include "SessionCheck.h"

namespace session_check {

struct DeviceImages {
    std::string prefix;               // "D1/", or "" for images in the session folder
    std::vector<std::string> colour;  // file names in color/
    std::vector<std::string> depth;   // file names in depth/
};

void checkDeviceDataset(const std::string& session, const DeviceImages& device, std::vector<Problem>& problems,
    std::vector<std::string>& notes);

// SHA256SUMS lists every file of the session with the hash it has.
void checkChecksums(const std::string& session, std::vector<Problem>& problems, std::vector<std::string>& notes);

} // namespace session_check
