// meta.yaml beyond what the operator paths test compares: key order, block
// style, the fallback tags, broken manifests, a failed write.

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

camera_config sampleCameras()
{
    camera_config cameras;
    cameras.capture_freq = 1000;
    cameras.camera1 = {"Gemini_corlor", 0, 1280, 720, 30, 0.1f, "MJPG"};
    cameras.camera2 = {"Gemini_depeth", 0, 1280, 720, 30, 30.0f, "MJPG"};
    return cameras;
}

MetaInputs sampleInputs(const camera_config& cameras)
{
    MetaInputs inputs;
    inputs.date = "20250612";
    inputs.city = "深圳";
    inputs.machine_id = "EMP-9527";
    inputs.scene_label = "kitchen";
    inputs.task_label = "sink";
    inputs.part_number = "12";
    inputs.session_time = "20250612_143015";
    inputs.capture_mode = "single_shot";
    inputs.session_tags = {"sink", "stain"};
    inputs.cameras = &cameras;
    return inputs;
}

TEST(SessionMetaRender, WritesTheKeysInOrderInBlockStyleAndTheImagesLast)
{
    const camera_config cameras = sampleCameras();
    MetaInputs inputs = sampleInputs(cameras);
    const ImageLabels labels = {
        {"D1/color/20250612143020123.png", {"crack"}},
        {"D1/depth/20250612143020123.png", {"crack"}},
        {"D1/color/20250612143016001.png", {}},
        {"D1/depth/20250612143016001.png", {}},
        {"D1/color/20250612143030999.png", {"stain", "水渍"}},  // colour only
    };
    inputs.image_labels = &labels;
    const std::string text = render(inputs);
    const YAML::Node node = YAML::Load(text);
    std::vector<std::string> keys;
    for (const auto& entry : node)
        keys.push_back(entry.first.as<std::string>());
    EXPECT_EQ(keys, (std::vector<std::string>{"date", "city", "machine_id", "scene_label", "task_label", "part_number",
                        "session_time", "capture_mode", "session_tags", "device_config", "image_info"}));
    EXPECT_NE(text.find("session_tags:\n  - sink\n  - stain\n"), std::string::npos) << "block style:\n" << text;
    EXPECT_FLOAT_EQ(node["device_config"]["camera1"]["exposure_time"].as<float>(), 0.1f);

    // One image_info item per frame set, by timestamp; a colour image alone has an empty depth_file.
    const YAML::Node info = node["image_info"];
    ASSERT_EQ(info.size(), 3u);
    EXPECT_EQ(info[0]["color_file"].as<std::string>(), "D1/color/20250612143016001.png");
    EXPECT_EQ(info[1]["additional_tags"][0].as<std::string>(), "crack");
    EXPECT_EQ(info[2]["depth_file"].as<std::string>(), "");

    // Without tags or images those keys are left out; an unknown time is empty, not null.
    MetaInputs bare = sampleInputs(cameras);
    bare.session_tags.clear();
    bare.session_time.clear();
    const std::string bareText = render(bare);
    EXPECT_EQ(bareText.find("session_tags"), std::string::npos);
    EXPECT_EQ(YAML::Load(bareText)["session_time"].as<std::string>(), "");
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
    const ImageLabels labels = readImageLabels(path);
    ASSERT_EQ(labels.size(), 4u);
    EXPECT_EQ(labels.at("D1/depth/20250612143016001.png"), (std::vector<std::string>{"a", "b"}));
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

TEST(SessionMetaFile, TakesTheConfiguredCityWhenTheSessionNamesNoneAndReportsAFailedWrite)
{
    auto& config = config_manager::instance();
    config.resetForTest();
    config.cur_city_ = "上海";
    CollectionContext::instance().setCollectionInfo({});

    QTemporaryDir dir;
    const std::string path = dir.filePath("meta.yaml").toStdString();
    ASSERT_TRUE(writeSessionMeta(path, "/x/20250612-c-s/sink/20250612_143015", {"sink", "stain"}, nullptr));
    const YAML::Node node = YAML::LoadFile(path);
    EXPECT_EQ(node["city"].as<std::string>(), "上海") << "the session names none";
    // The operator paths test sees the session's own city and tags win.
    kavrel::log::LogCapture capture;
    EXPECT_FALSE(writeSessionMeta(dir.filePath("gone/meta.yaml").toStdString(), "", {}, nullptr));
    EXPECT_TRUE(capture.contains("Cannot write "));

    CollectionContext::instance().setCollectionInfo({});
    config.resetForTest();
}

} // namespace
