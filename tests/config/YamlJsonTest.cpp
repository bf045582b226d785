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
    const auto j = convert(R"(
a: yes
b: Off
c: 010
d: -42
e: "010"
f: 1.5
g: .inf
h: -.INF
i: .NaN
j: 12abc
k: ~
l: 'true'
m: 9223372036854775808
n: "  7"
)");
    EXPECT_EQ(j["a"], true);
    EXPECT_EQ(j["b"], false);
    EXPECT_TRUE(j["c"].is_number_integer());
    EXPECT_EQ(j["c"], 10);
    EXPECT_EQ(j["d"], -42);
    EXPECT_EQ(j["e"], "010");
    EXPECT_DOUBLE_EQ(j["f"].get<double>(), 1.5);
    EXPECT_TRUE(std::isinf(j["g"].get<double>()) && j["g"].get<double>() > 0);
    EXPECT_TRUE(std::isinf(j["h"].get<double>()) && j["h"].get<double>() < 0);
    EXPECT_TRUE(std::isnan(j["i"].get<double>()));
    EXPECT_EQ(j["j"], "12abc");
    EXPECT_TRUE(j["k"].is_null());
    EXPECT_EQ(j["l"], "true");
    EXPECT_TRUE(j["m"].is_number_float()) << "beyond 64 bits falls back to a double";
    EXPECT_EQ(j["n"], "  7");
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
