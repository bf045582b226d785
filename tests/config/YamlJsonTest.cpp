#include <cmath>

#include <gtest/gtest.h>

#include "yaml_json.h"

namespace {
nlohmann::ordered_json convert(const std::string& yaml)
{
    return yaml_to_json(YAML::Load(yaml));
}
} // namespace

TEST(YamlToJson, ScalarsTakeTheFirstTypeThatFits)
{
    // The JSON text tells the types apart: 10 is an integer, 1.5 a double.
    const std::pair<const char*, const char*> cases[] = {
        {"yes", "true"},
        {"Off", "false"},
        {"010", "10"},
        {"-42", "-42"},
        {"\"010\"", "\"010\""},
        {"1.5", "1.5"},
        {"12abc", "\"12abc\""},
        {"~", "null"},
        {"'true'", "\"true\""},
        {"\"  7\"", "\"  7\""},
    };
    for (const auto& [yaml, json] : cases)
        EXPECT_EQ(convert(std::string("a: ") + yaml)["a"].dump(), json) << yaml;
    const auto j = convert("g: .inf\nh: -.INF\ni: .NaN\nm: 9223372036854775808\n");
    EXPECT_TRUE(std::isinf(j["g"].get<double>()) && j["g"].get<double>() > 0);
    EXPECT_TRUE(std::isinf(j["h"].get<double>()) && j["h"].get<double>() < 0);
    EXPECT_TRUE(std::isnan(j["i"].get<double>()));
    EXPECT_TRUE(j["m"].is_number_float()) << "beyond 64 bits falls back to a double";
}

TEST(YamlToJson, MappingsKeepDocumentOrderAndNest)
{
    const auto j = convert("z: 1\na: [1, two, {k: v}]\nm: {y: 2, b: 3}\n");
    ASSERT_TRUE(j.is_object());
    EXPECT_EQ(j.dump(), R"({"z":1,"a":[1,"two",{"k":"v"}],"m":{"y":2,"b":3}})");
}

TEST(YamlToJson, SelfReferencingAnchorIsRefusedNotRecursedForever)
{
    EXPECT_THROW(convert("a: &x [*x]\n"), std::runtime_error);
    std::string deep = "v";
    for (int i = 0; i < 70; ++i)
        deep = "[" + deep + "]";
    EXPECT_THROW(convert("a: " + deep + "\n"), std::runtime_error);
    EXPECT_NO_THROW(convert("a: [[[[1]]]]\n"));
}
