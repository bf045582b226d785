// meta.yaml beyond what the operator paths test compares.

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <yaml-cpp/yaml.h>

#include "CollectionContext.h"
#include "Log.h"
#include "TestSupport.h"
#include "config_manager.h"
#include "session_meta.h"

using namespace session_meta;
using kavrel::test::writeFile;

namespace {

TEST(SessionMetaFile, KeysInTheirOrderTheConfiguredCityAndAColourImageAloneAndAFailedWriteReported)
{
    auto& config = config_manager::instance();
    config.resetForTest();
    config.cur_city_ = "上海";
    CollectionContext::instance().setCollectionInfo({});

    QTemporaryDir dir;
    const std::string path = dir.filePath("meta.yaml").toStdString();
    const ImageLabels labels = {
        {"D1/color/20250612143020123.png", {"crack"}},
        {"D1/depth/20250612143020123.png", {"crack"}},
        {"D1/color/20250612143030999.png", {"stain", "水渍"}},  // colour only
        {"D1/color/20250612143016001.png", {}},
        {"D1/depth/20250612143016001.png", {}},
    };
    ASSERT_TRUE(writeSessionMeta(path, "/x/20250612-c-s/sink/20250612_143015", {"sink"}, &labels));
    const YAML::Node node = YAML::LoadFile(path);
    std::vector<std::string> keys;
    for (const auto& entry : node)
        keys.push_back(entry.first.as<std::string>());
    EXPECT_EQ(keys, (std::vector<std::string>{"date", "city", "machine_id", "scene_label", "task_label", "part_number",
                        "session_time", "capture_mode", "session_tags", "device_config", "image_info"}));
    EXPECT_EQ(node["city"].as<std::string>(), "上海") << "the session names none";
    // One image_info item per frame set, by timestamp (the operator paths' shapes hold the tags).
    ASSERT_EQ(node["image_info"].size(), 3u);
    EXPECT_EQ(node["image_info"][2]["depth_file"].as<std::string>(), "");

    kavrel::log::LogCapture capture;
    EXPECT_FALSE(writeSessionMeta(dir.filePath("gone/meta.yaml").toStdString(), "", {}, nullptr));
    EXPECT_TRUE(capture.contains("Cannot write "));
    config.resetForTest();
}

TEST(SessionMetaFallback, TaskLabelFirstThenInformationPageTagsInContinuousModes)
{
    EXPECT_EQ(sessionTagsFallback("continue_shot", "sink", {"stain", "", "sink", "crack", "stain"}),
        (std::vector<std::string>{"sink", "stain", "crack"}));
    EXPECT_EQ(sessionTagsFallback("single_shot", "sink", {"stain"}), (std::vector<std::string>{"sink"}));
    EXPECT_EQ(sessionTagsFallback("continuous_shot", "sink", {"stain"}), (std::vector<std::string>{"sink", "stain"}))
        << "continuous_shot is a continuous mode";
}

TEST(SessionMetaManifest, MapsEveryFileToItsEntryTagsAndSurvivesMissingOrBrokenFiles)
{
    QTemporaryDir dir;
    kavrel::log::LogCapture capture;
    const std::string path = dir.filePath("manifest.json").toStdString();
    writeFile(path, R"({
  "20250612143016001": {"files": ["D1/color/20250612143016001.png", "D1/depth/20250612143016001.png"], "tags": ["a", "b"]},
  "20250612143017002": {"files": ["D1/color/20250612143017002.png"]},
  "junk": 5,
  "odd": {"files": ["x.png", 7], "tags": "notalist"}
})");
    // Good entries: the operator paths' shapes; here what survives of the odd ones.
    const ImageLabels labels = readImageLabels(path);
    ASSERT_EQ(labels.size(), 4u);
    EXPECT_TRUE(labels.at("D1/color/20250612143017002.png").empty());
    EXPECT_TRUE(labels.at("x.png").empty());

    const std::string missing = dir.filePath("none/manifest.json").toStdString();
    EXPECT_TRUE(readImageLabels(missing).empty());
    EXPECT_TRUE(capture.contains("Manifest not found at: " + missing));
    for (const char* broken : {"null", "{\"a\": {\"files\": [\"x\""}) {
        writeFile(path, broken);
        EXPECT_TRUE(readImageLabels(path).empty()) << broken;
    }
    EXPECT_TRUE(capture.contains("Failed to parse manifest.json: "));
}

} // namespace
