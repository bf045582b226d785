#include "yaml_json.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

bool onlyTrailingSpace(const char* p)
{
    while (*p) {
        if (!std::isspace(static_cast<unsigned char>(*p)))
            return false;
        ++p;
    }
    return true;
}

bool parseInt64(const std::string& text, int64_t& out)
{
    if (text.empty() || std::isspace(static_cast<unsigned char>(text.front())))
        return false;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || errno == ERANGE || !onlyTrailingSpace(end))
        return false;
    out = value;
    return true;
}

bool parseDouble(const std::string& text, double& out)
{
    static const char* positiveInf[] = {".inf", ".Inf", ".INF", "+.inf", "+.Inf", "+.INF"};
    static const char* negativeInf[] = {"-.inf", "-.Inf", "-.INF"};
    static const char* notANumber[] = {".nan", ".NaN", ".NAN"};
    for (const char* s : positiveInf)
        if (text == s) {
            out = std::numeric_limits<double>::infinity();
            return true;
        }
    for (const char* s : negativeInf)
        if (text == s) {
            out = -std::numeric_limits<double>::infinity();
            return true;
        }
    for (const char* s : notANumber)
        if (text == s) {
            out = std::numeric_limits<double>::quiet_NaN();
            return true;
        }
    std::istringstream stream(text);
    stream.imbue(std::locale::classic());
    double value = 0;
    if (!(stream >> std::noskipws >> value))
        return false;
    stream >> std::ws;
    if (!stream.eof())
        return false;
    out = value;
    return true;
}

bool isQuotedOrString(const YAML::Node& node)
{
    const std::string& tag = node.Tag();
    return tag == "!" || tag == "tag:yaml.org,2002:str";
}

} // namespace

namespace {

// A self-referencing anchor would otherwise recurse until the stack runs out.
constexpr int kMaxDepth = 64;

nlohmann::ordered_json convert(const YAML::Node& node, int depth)
{
    using json = nlohmann::ordered_json;
    if (depth > kMaxDepth)
        throw std::runtime_error("YAML nesting deeper than " + std::to_string(kMaxDepth) + " levels");
    if (!node.IsDefined() || node.IsNull())
        return nullptr;
    if (node.IsScalar()) {
        const std::string& text = node.Scalar();
        if (isQuotedOrString(node))
            return text;
        bool flag = false;
        if (YAML::convert<bool>::decode(node, flag))
            return flag;
        int64_t integer = 0;
        if (parseInt64(text, integer))
            return integer;
        double real = 0;
        if (parseDouble(text, real))
            return real;
        return text;
    }
    if (node.IsSequence()) {
        json array = json::array();
        for (const auto& element : node)
            array.push_back(convert(element, depth + 1));
        return array;
    }
    json object = json::object();
    for (const auto& member : node) {
        const std::string key = member.first.IsScalar() ? member.first.Scalar() : std::string();
        object[key] = convert(member.second, depth + 1);
    }
    return object;
}

} // namespace

nlohmann::ordered_json yaml_to_json(const YAML::Node& node)
{
    return convert(node, 0);
}
