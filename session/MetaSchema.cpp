#include "MetaSchema.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <set>

#include <sstream>

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/yaml.h>

#include "ImageHeader.h"
#include "SessionFile.h"

namespace meta_schema {

namespace {

// Keys in the order the terminal writes them.
const std::vector<std::string> kTopKeys = {"date", "city", "machine_id", "scene_label", "task_label", "part_number",
    "session_time", "capture_mode", "session_tags", "device_config", "image_info", "stream_counts"};
const std::set<std::string> kOptionalTopKeys = {"session_tags", "image_info", "stream_counts"};
const std::vector<std::string> kDeviceKeys = {"capture_freq", "camera1", "camera2", "camera3"};
const std::vector<std::string> kCameraKeys = {"camera_type_str", "camera_id", "width", "height", "fps", "exposure_time"};
// Aliases let a small file name one node many times; walks stop here.
constexpr size_t kMaxNodesVisited = 100000;

const char* shapeOf(const YAML::Node& node)
{
    switch (node.Type()) {
    case YAML::NodeType::Sequence: return "a list";
    case YAML::NodeType::Map: return "a mapping";
    case YAML::NodeType::Null: return "empty";
    default: return "a scalar";
    }
}

// A value as the problem quotes it: long texts are cut, with their length.
std::string quoted(const std::string& value)
{
    constexpr size_t kShown = 80;
    if (value.size() <= kShown)
        return "\"" + value + "\"";
    size_t cut = kShown;
    while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80)
        --cut;  // on a character boundary
    return "\"" + value.substr(0, cut) + "...\" (" + std::to_string(value.size()) + " bytes)";
}

class Reader {
public:
    explicit Reader(std::vector<std::string>& problems) : problems_(problems) {}

    void problem(const std::string& key, const std::string& what) { problems_.push_back(key + " " + what); }

    bool isValue(const YAML::Node& node, const std::string& key, const char* want)
    {
        if (node.IsScalar())
            return true;
        problem(key, std::string("is ") + shapeOf(node) + ", want " + want);
        return false;
    }

    std::string text(const YAML::Node& map, const char* name, const std::string& prefix = {})
    {
        const YAML::Node node = map[name];
        if (!node)
            return {};
        if (node.IsNull())
            return {};  // written as an empty value
        return isValue(node, prefix + name, "text") ? node.Scalar() : std::string();
    }

    // An integer in [min, max], written in decimal digits only.
    long long integer(const YAML::Node& map, const char* name, const std::string& prefix, long long min, long long max)
    {
        const std::string want = min > 0 ? "a positive integer" : "an integer from " + std::to_string(min);
        const YAML::Node node = map[name];
        const std::string key = prefix + name;
        if (!node || !isValue(node, key, want.c_str()))
            return 0;
        const std::string& value = node.Scalar();
        const bool digits = !value.empty() && value.size() <= 19
            && std::all_of(value.begin() + (value[0] == '-' ? 1 : 0), value.end(), [](char c) { return c >= '0' && c <= '9'; })
            && value != "-";
        errno = 0;
        const long long number = digits ? std::strtoll(value.c_str(), nullptr, 10) : 0;
        if (!digits) {
            problem(key, "is " + quoted(value) + ", want " + want);
            return 0;
        }
        if (errno == ERANGE || number < min || number > max) {
            problem(key, "is " + quoted(value) + ", want " + want + " up to " + std::to_string(max));
            return 0;
        }
        return number;
    }

    double number(const YAML::Node& map, const char* name, const std::string& prefix)
    {
        const YAML::Node node = map[name];
        const std::string key = prefix + name;
        if (!node || !isValue(node, key, "a number"))
            return 0;
        const std::string& value = node.Scalar();
        char* end = nullptr;
        errno = 0;
        const double result = std::strtod(value.c_str(), &end);
        if (value.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(result)) {
            problem(key, "is " + quoted(value) + ", want a number");
            return 0;
        }
        return result;
    }

    std::vector<std::string> texts(const YAML::Node& map, const char* name, const std::string& prefix = {})
    {
        const YAML::Node node = map[name];
        std::vector<std::string> result;
        if (!node || node.IsNull())
            return result;
        if (!node.IsSequence()) {
            problem(prefix + name, std::string("is ") + shapeOf(node) + ", want a list of texts");
            return result;
        }
        for (const auto& item : node) {
            if (!item.IsScalar()) {
                problem(prefix + name, std::string("holds ") + shapeOf(item) + ", want a list of texts");
                return {};
            }
            result.push_back(item.Scalar());
        }
        return result;
    }

    // Required keys present, known keys in order, no key twice.
    void checkKeys(const YAML::Node& map, const std::vector<std::string>& expected, const std::set<std::string>& optional,
        const std::string& where)
    {
        std::set<std::string> seen;
        int lastIndex = -1;
        std::string lastKey;
        for (const auto& item : map) {
            const std::string key = item.first.IsScalar() ? item.first.Scalar() : std::string();
            const auto found = std::find(expected.begin(), expected.end(), key);
            if (found == expected.end())
                continue;  // extra keys are allowed
            const int index = static_cast<int>(found - expected.begin());
            if (index < lastIndex) {
                problem(where + "key \"" + key + "\"", "comes after \"" + lastKey + "\"");
            } else {
                lastIndex = index;
                lastKey = key;
            }
            seen.insert(key);
        }
        for (const auto& key : expected)
            if (!seen.count(key) && !optional.count(key))
                problem(where + "key \"" + key + "\"", "is missing");
    }

    // Every mapping, at any depth, names each key once.
    void checkDuplicates(const YAML::Node& node, const std::string& where)
    {
        if (++visited_ > kMaxNodesVisited) {
            if (visited_ == kMaxNodesVisited + 1)
                problems_.push_back("holds more than " + std::to_string(kMaxNodesVisited) + " values");
            return;
        }
        if (node.IsMap()) {
            std::set<std::string> keys;
            for (const auto& item : node) {
                const std::string key = item.first.IsScalar() ? item.first.Scalar() : std::string("?");
                if (!keys.insert(key).second)
                    problem(where + key, "appears twice");
                checkDuplicates(item.second, where + key + ".");
            }
        } else if (node.IsSequence()) {
            size_t index = 0;
            for (const auto& item : node)
                checkDuplicates(item, where + std::to_string(index++) + ".");
        }
    }

private:
    std::vector<std::string>& problems_;
    size_t visited_ = 0;
};

// Counts a stream's documents from the parser's events, stopping at two:
// YAML::LoadAll never returns on some damaged text (a lone ",").
class DocumentCounter : public YAML::EventHandler {
public:
    void OnDocumentStart(const YAML::Mark&) override {}
    void OnDocumentEnd() override {}
    void OnNull(const YAML::Mark&, YAML::anchor_t) override {}
    void OnAlias(const YAML::Mark&, YAML::anchor_t) override {}
    void OnScalar(const YAML::Mark&, const std::string&, YAML::anchor_t, const std::string&) override {}
    void OnSequenceStart(const YAML::Mark&, const std::string&, YAML::anchor_t, YAML::EmitterStyle::value) override {}
    void OnSequenceEnd() override {}
    void OnMapStart(const YAML::Mark&, const std::string&, YAML::anchor_t, YAML::EmitterStyle::value) override {}
    void OnMapEnd() override {}
};

size_t documentsUpToTwo(const std::string& text)
{
    std::istringstream stream(text);
    YAML::Parser parser(stream);
    DocumentCounter counter;
    size_t documents = 0;
    while (documents < 2 && parser.HandleNextDocument(counter))
        ++documents;
    return documents;
}

void readCamera(Reader& reader, const YAML::Node& devices, int index, Camera& camera)
{
    const std::string name = "camera" + std::to_string(index + 1);
    const YAML::Node node = devices[name];
    if (!node)
        return;  // reported as a missing key
    if (!node.IsMap()) {
        reader.problem(name, std::string("is ") + shapeOf(node) + ", want a mapping of camera settings");
        return;
    }
    reader.checkKeys(node, kCameraKeys, {}, name + ": ");
    const std::string prefix = name + ".";
    camera.type = reader.text(node, "camera_type_str", prefix);
    // A terminal without this camera writes the slot with no type and zeros.
    camera.present = !camera.type.empty();
    const long long least = camera.present ? 1 : 0;
    camera.id = reader.integer(node, "camera_id", prefix, 0, INT32_MAX);
    camera.width = static_cast<int>(reader.integer(node, "width", prefix, least, image_header::kMaxSide));
    camera.height = static_cast<int>(reader.integer(node, "height", prefix, least, image_header::kMaxSide));
    camera.fps = static_cast<int>(reader.integer(node, "fps", prefix, least, 1000));
    camera.exposureTime = reader.number(node, "exposure_time", prefix);
}

} // namespace

Reading read(std::string_view text)
{
    Reading reading;
    auto& problems = reading.problems;
    if (!session_file::isValidUtf8(text)) {
        problems.push_back("is not valid UTF-8");
        return reading;
    }
    YAML::Node root;
    try {
        const std::string copy(text);
        if (documentsUpToTwo(copy) > 1) {
            problems.push_back("holds more than one YAML document");
            return reading;
        }
        root = YAML::Load(copy);
    } catch (const std::exception& error) {
        problems.push_back(std::string("does not parse: ") + error.what());
        return reading;
    }
    if (!root.IsMap()) {
        problems.push_back(std::string("is ") + shapeOf(root) + ", want a mapping of keys");
        return reading;
    }
    reading.parsed = true;
    Reader reader(problems);
    Meta& meta = reading.meta;
    try {
        reader.checkDuplicates(root, "");
        reader.checkKeys(root, kTopKeys, kOptionalTopKeys, "");
        meta.date = reader.text(root, "date");
        meta.city = reader.text(root, "city");
        meta.machineId = reader.text(root, "machine_id");
        meta.sceneLabel = reader.text(root, "scene_label");
        meta.taskLabel = reader.text(root, "task_label");
        meta.partNumber = reader.text(root, "part_number");
        meta.sessionTime = reader.text(root, "session_time");
        if (const YAML::Node mode = root["capture_mode"];
            mode && reader.isValue(mode, "capture_mode", "single_shot, continue_shot or continue_record")) {
            meta.captureModeText = mode.Scalar();
            meta.captureMode = parseCaptureMode(meta.captureModeText);
            if (!meta.captureMode)
                reader.problem("capture_mode",
                    "is " + quoted(meta.captureModeText) + ", want single_shot, continue_shot or continue_record");
        }
        meta.sessionTags = reader.texts(root, "session_tags");
        if (const YAML::Node devices = root["device_config"]; devices && !devices.IsMap()) {
            reader.problem("device_config", std::string("is ") + shapeOf(devices) + ", want a mapping");
        } else if (devices) {
            reader.checkKeys(devices, kDeviceKeys, {}, "device_config: ");
            meta.captureFreq = reader.integer(devices, "capture_freq", "", 0, INT32_MAX);
            for (int i = 0; i < 3; ++i)
                readCamera(reader, devices, i, meta.cameras[i]);
        }
        if (const YAML::Node images = root["image_info"]; images && !images.IsNull() && !images.IsSequence())
            reader.problem("image_info", std::string("is ") + shapeOf(images) + ", want a list");
    } catch (const std::exception& error) {
        problems.push_back(std::string("cannot be read: ") + error.what());
    }
    return reading;
}

} // namespace meta_schema
