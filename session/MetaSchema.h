#pragma once
// meta.yaml read through its schema: every key's type and range, the keys in
// the order the terminal writes them, the capture mode as its enum. Anything
// else is a problem named for a person ("camera1.width is \"abc\", want a
// positive integer"); reading never throws.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CaptureMode.h"

namespace meta_schema {

struct Camera {
    bool present = false;
    std::string type;
    long long id = 0;
    int width = 0, height = 0, fps = 0;
    double exposureTime = 0;
};

struct Meta {
    std::string date, city, machineId, sceneLabel, taskLabel, partNumber, sessionTime;
    std::string captureModeText;            // as written
    std::optional<CaptureMode> captureMode; // nothing when it names no mode
    std::vector<std::string> sessionTags;
    long long captureFreq = 0;
    Camera cameras[3];                      // camera1 (colour), camera2 (depth), camera3 (USB)
};

struct Reading {
    Meta meta;
    bool parsed = false;                 // a single YAML mapping was read
    std::vector<std::string> problems;   // each starts with the key it is about
};

// Reads meta.yaml's text (already bounded in size by the caller).
Reading read(std::string_view text);

} // namespace meta_schema
