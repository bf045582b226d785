// Finding the current scenario set and the catalogue files in it.

#include "CatalogueFixture.h"

namespace fs = std::filesystem;
using kavrel::test::CatalogueTest;
using kavrel::test::ScopedEnv;

TEST_F(CatalogueTest, NewestScenarioSetWinsOddNamesAreIgnoredAndNoUserDirectoryHasNone)
{
    EXPECT_EQ(scenario_tag_loader::get_latest_scenario_folder_name(), "");  // no scenario folder yet

    const std::string root = userDir_ + "/scenario/";
    fs::create_directories(root + "scenario_20240101_090000");
    EXPECT_EQ(scenario_tag_loader::get_latest_scenario_folder_name(), "scenario_20240101_090000");

    fs::create_directories(root + "scenario_20240305_170000");
    fs::create_directories(root + "scenario_test");
    fs::create_directories(root + "scenario_2099123");         // stamp too short
    fs::create_directories(root + "Scenario_20990101_000000");  // wrong prefix
    fs::create_directories(root + "other_20990101_000000");
    put(".config/kavrel/scenario/scenario_20990101_000000", "a file, not a set");
    EXPECT_EQ(scenario_tag_loader::get_latest_scenario_folder_name(), "scenario_20240305_170000");

    // Stamps compare in byte order: an extended stamp sorts after its prefix.
    fs::create_directories(root + "scenario_20240305_170000_extra");
    EXPECT_EQ(scenario_tag_loader::get_latest_scenario_folder_name(), "scenario_20240305_170000_extra");

    // No usable user directory, or "scenario" being a file: no set either.
    for (std::optional<std::string> home : {std::optional<std::string>(), std::optional<std::string>("")}) {
        ScopedEnv unusable("HOME", home);
        EXPECT_EQ(scenario_tag_loader::user_config_dir(), "");
        EXPECT_EQ(scenario_tag_loader::get_latest_scenario_folder_name(), "");
    }
    fs::remove_all(root);
    put(".config/kavrel/scenario", "x");
    EXPECT_EQ(scenario_tag_loader::get_latest_scenario_folder_name(), "");
}

TEST_F(CatalogueTest, YamlFilesWithPrefixAreListedInByteOrder)
{
    const std::string dir = home_ + "/list";
    for (const char* name : {"scenario_b.yaml", "scenario_B.yaml", "scenario_a.night.yaml", "scenario.yaml",
                             "scenario_c.yml", "scenario_d.YAML", "scenario_e.yaml.bak", "xscenario.yaml",
                             "tags.yaml"})
        put("list/" + std::string(name), "label: x\n");
    fs::create_directories(dir + "/scenario_dir.yaml");
    fs::create_symlink(dir + "/scenario_b.yaml", dir + "/scenario_link.yaml");
    fs::create_symlink(dir + "/nowhere.yaml", dir + "/scenario_dangling.yaml");

    EXPECT_EQ(scenario_tag_loader::sorted_yaml_files_with_prefix(dir, "scenario"),
              (std::vector<std::string>{dir + "/scenario.yaml", dir + "/scenario_B.yaml",
                                        dir + "/scenario_a.night.yaml", dir + "/scenario_b.yaml",
                                        dir + "/scenario_link.yaml"}));
    EXPECT_TRUE(scenario_tag_loader::sorted_yaml_files_with_prefix("", "scenario").empty());
    EXPECT_TRUE(scenario_tag_loader::sorted_yaml_files_with_prefix(dir + "/missing", "scenario").empty());
    EXPECT_TRUE(scenario_tag_loader::sorted_yaml_files_with_prefix(dir + "/tags.yaml", "scenario").empty());

    // The link and its target are one file once canonical; missing paths drop out.
    EXPECT_EQ(scenario_tag_loader::existing_unique_files(
                  {dir + "/scenario_link.yaml", dir + "/scenario_b.yaml", dir + "/./scenario_b.yaml", "",
                   dir + "/nowhere.yaml", dir + "/scenario_dir.yaml", dir + "/tags.yaml"}),
              (std::vector<std::string>{dir + "/scenario_b.yaml", dir + "/tags.yaml"}));
}
