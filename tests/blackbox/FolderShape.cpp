#include "FolderShape.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <yaml-cpp/yaml.h>

namespace fs = std::filesystem;

namespace kavrel::test {

namespace {

// Values that differ between two recordings of the same path: times and the
// clock fit of a run (longer numbers become "#" anyway). Their kind stays, the value goes.
const std::set<std::string> kVolatileKeys = {
    "session_time", "date", "drift_ppm", "first_device_us", "last_device_us", "pairs"};

std::string readAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class Shaper {
public:
    Shaper(const fs::path& session, bool exactCounts)
        : session_(session)
        , exact_(exactCounts)
    {
        std::error_code error;
        for (fs::recursive_directory_iterator it(session, error), end; !error && it != end; it.increment(error))
            if (it->is_regular_file())
                files_.push_back(it->path().lexically_relative(session).generic_string());
        std::sort(files_.begin(), files_.end());
        std::set<std::string> stems;
        for (const auto& file : files_)
            if (isImage(file))
                stems.insert(fs::path(file).stem().string());
        int order = 0;
        for (const auto& stem : stems)
            stemOrder_[stem] = "t" + std::to_string(++order);
    }

    std::string shape()
    {
        std::map<std::string, std::set<std::string>> imagesByFolder;  // folder -> kinds of image
        for (const auto& file : files_) {
            const std::string name = fs::path(file).filename().string();
            if (isImage(file)) {
                const cv::Mat image = cv::imread((session_ / file).string(), cv::IMREAD_UNCHANGED);
                const std::string kind = fs::path(file).extension().string() + " " + std::to_string(image.cols) + "x"
                    + std::to_string(image.rows) + " c" + std::to_string(image.channels()) + " d"
                    + std::to_string(image.depth());
                if (exact_)
                    line(path(file) + ": " + kind);
                else
                    imagesByFolder[fs::path(file).parent_path().generic_string()].insert(kind);
            } else if (name == "data.json") {
                jsonLines(file);
            } else if (fs::path(file).extension() == ".json") {
                flatten(file, nlohmann::json::parse(readAll(session_ / file), nullptr, false), "");
            } else if (fs::path(file).extension() == ".yaml") {
                yaml(file);
            } else if (name == "SHA256SUMS") {
                checksums(file);
            } else if (fs::path(file).extension() == ".csv") {
                csv(file);
            } else {
                line(path(file) + ": " + std::to_string(fs::file_size(session_ / file) > 0 ? 1 : 0) + " (not empty)");
            }
        }
        for (const auto& [folder, kinds] : imagesByFolder)
            for (const auto& kind : kinds)
                line(folder + "/*: some " + kind);
        return out_.str();
    }

private:
    static bool isImage(const std::string& file)
    {
        const std::string folder = fs::path(file).parent_path().filename().string();
        const std::string extension = fs::path(file).extension().string();
        return (folder == "color" || folder == "depth") && (extension == ".png" || extension == ".jpg");
    }

    // Image stems by their order; then any run of 8 or more digits (dates,
    // session times, timestamps) as "#".
    std::string text(std::string value) const
    {
        for (const auto& [stem, order] : stemOrder_) {
            for (size_t at = value.find(stem); at != std::string::npos; at = value.find(stem, at + order.size()))
                value.replace(at, stem.size(), order);
        }
        static const std::regex longDigits("[0-9]{8,}");
        return std::regex_replace(value, longDigits, "#");
    }
    std::string path(const std::string& file) const { return text(file); }

    void line(const std::string& text) { out_ << text << "\n"; }

    static std::string lastKey(const std::string& key)
    {
        const auto dot = key.find_last_of('.');
        std::string last = dot == std::string::npos ? key : key.substr(dot + 1);
        return last.substr(0, last.find('['));
    }

    std::string scalar(const std::string& key, const nlohmann::json& value) const
    {
        if (kVolatileKeys.count(lastKey(key)))
            return std::string("<") + value.type_name() + ">";
        // How many samples a run took depends on time; whether any were refused does not.
        const bool imuCount = key.rfind("stream_counts.imu.", 0) == 0;
        if (key.rfind("stream_counts.", 0) == 0 && (imuCount || !exact_) && value != "0")
            return "<some>";
        if (value.is_string())
            return "\"" + text(value.get<std::string>()) + "\"";
        if (value.is_number_float()) {
            std::ostringstream rounded;
            rounded.precision(6);
            rounded << value.get<double>();
            return rounded.str();
        }
        return text(value.dump());
    }

    void flatten(const std::string& file, const nlohmann::json& value, const std::string& key)
    {
        if (value.is_discarded()) {
            line(path(file) + ": not JSON");
        } else if (value.is_object()) {
            if (value.empty())
                line(path(file) + ": " + key + " = {}");
            for (const auto& [name, child] : value.items())
                flatten(file, child, key.empty() ? text(name) : key + "." + text(name));
        } else if (value.is_array()) {
            if (value.empty())
                line(path(file) + ": " + key + " = []");
            for (size_t i = 0; i < value.size(); ++i)
                flatten(file, value[i], key + "[" + std::to_string(i) + "]");
        } else {
            line(path(file) + ": " + key + " = " + scalar(key, value));
        }
    }

    static nlohmann::json fromYaml(const YAML::Node& node)
    {
        switch (node.Type()) {
        case YAML::NodeType::Map: {
            nlohmann::json object = nlohmann::json::object();
            for (const auto& entry : node)
                object[entry.first.as<std::string>()] = fromYaml(entry.second);
            return object;
        }
        case YAML::NodeType::Sequence: {
            nlohmann::json array = nlohmann::json::array();
            for (const auto& entry : node)
                array.push_back(fromYaml(entry));
            return array;
        }
        case YAML::NodeType::Scalar:
            return node.Scalar();
        default:
            return nullptr;
        }
    }

    void yaml(const std::string& file)
    {
        try {
            nlohmann::json value = fromYaml(YAML::LoadFile((session_ / file).string()));
            if (!exact_ && value.contains("image_info"))
                value["image_info"] = "some";
            flatten(file, value, "");
        } catch (const YAML::Exception& error) {
            line(path(file) + ": not YAML");
        }
    }

    // The first line (the version) as it is, then each kind of sample line.
    void jsonLines(const std::string& file)
    {
        std::istringstream lines(readAll(session_ / file));
        std::map<std::string, int> kinds;
        bool first = true;
        for (std::string text; std::getline(lines, text);) {
            if (first) {
                line(path(file) + ": first line " + text);
                first = false;
                continue;
            }
            const auto sample = nlohmann::json::parse(text, nullptr, false);
            std::string kind;
            if (sample.is_object())
                for (const auto& [name, child] : sample.items())
                    kind += name + ":" + child.type_name() + (child.is_object() ? "{" + std::to_string(child.size()) + "}" : "") + " ";
            else
                kind = "not JSON";
            ++kinds[kind];
        }
        for (const auto& [kind, count] : kinds)
            line(path(file) + ": some lines " + kind);  // the IMU runs between snapshots too
    }

    void checksums(const std::string& file)
    {
        std::istringstream lines(readAll(session_ / file));
        std::set<std::string> listed;
        for (std::string text; std::getline(lines, text);) {
            const auto gap = text.find("  ");
            const bool hash = gap == 64;
            std::string name = gap == std::string::npos ? text : text.substr(gap + 2);
            if (!exact_ && isImage(name))
                name = fs::path(name).parent_path().generic_string() + "/*";
            listed.insert(std::string(hash ? "" : "(no hash) ") + path(name));
        }
        for (const auto& name : listed)
            line(path(file) + ": " + name);
    }

    void csv(const std::string& file)
    {
        std::istringstream lines(readAll(session_ / file));
        std::string header;
        std::getline(lines, header);
        int rows = 0;
        for (std::string text; std::getline(lines, text);)
            rows += text.empty() ? 0 : 1;
        line(path(file) + ": " + header + " / " + (exact_ ? std::to_string(rows) : std::string("some")) + " rows");
    }

    fs::path session_;
    bool exact_;
    std::vector<std::string> files_;
    std::map<std::string, std::string> stemOrder_;
    std::ostringstream out_;
};

} // namespace

std::string folderShape(const fs::path& session, bool exactCounts)
{
    return Shaper(session, exactCounts).shape();
}

} // namespace kavrel::test
