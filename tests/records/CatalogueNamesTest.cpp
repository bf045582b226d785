// Scene and task names from the catalogue for sessions that carry labels.

#include <gtest/gtest.h>

#include "CatalogueNames.h"
#include "TestSupport.h"

namespace {

const char* const kRestroom = R"(label: restroom
name: 卫生间场景
tasks:
  - {label: washbasin, name: 洗手台录制}
  - {label: urinal, name: 小便池, part_name: 隔间号}
  - {label: shared, name: 卫生间共用}
)";

// One file with a `scenarios` list; the second scene reuses a task label.
const char* const kTwoScenes = R"(scenarios:
  - label: kitchen
    name: 家庭厨房
    tasks:
      - {label: cabinet, name: 橱柜内部, part_name: 柜门号}
      - {label: shared, name: 厨房共用}
  - label: nameless
    tasks:
      - {label: bare}
)";

} // namespace

TEST(CatalogueNames, NamesTheLabelsOfEveryScenarioFileAndKeepsLabelsItDoesNotKnow)
{
    kavrel::test::ScratchHome home;
    const std::string set = ".config/kavrel/scenario/scenario_20261201_080000/";
    home.put(set + "scenario_restroom.yaml", kRestroom);
    home.put(set + "scenario_more.yaml", kTwoScenes);
    home.put(set + "scenario_broken.yaml", "label: [unclosed");
    home.put(".config/kavrel/scenario_loose.yaml", "label: loose\nname: 不在当前场景集\n");
    const CatalogueNames names = CatalogueNames::load();

    struct Case {
        const char *scene, *task, *part, *expected;
    };
    const Case cases[] = {
        {"restroom", "washbasin", "", "卫生间场景 · 洗手台录制"},
        {"restroom", "urinal", "12", "卫生间场景 · 小便池 · 隔间号 12"},
        {"kitchen", "cabinet", "3", "家庭厨房 · 橱柜内部 · 柜门号 3"},
        // A task with no part name numbers compartments, as the information page says.
        {"restroom", "washbasin", "7", "卫生间场景 · 洗手台录制 · 隔间号 7"},
        // Each scene names its own "shared".
        {"kitchen", "shared", "", "家庭厨房 · 厨房共用"},
        {"restroom", "shared", "", "卫生间场景 · 卫生间共用"},
        // An unknown scene: a task label of one scene only still tells.
        {"old_scene", "cabinet", "", "old_scene · 橱柜内部"},
        {"old_scene", "shared", "", "old_scene · shared"},
        // No names in the catalogue, or not in it at all: the labels.
        {"loose", "x", "", "loose · x"},
        {"mars", "rover", "5", "mars · rover · 编号 5"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(names.describe(c.scene, c.task, c.part), QString::fromUtf8(c.expected)) << c.scene << "/" << c.task;
}

TEST(CatalogueNames, LooseScenarioFilesCountWithoutAScenarioSet)
{
    kavrel::test::ScratchHome home;
    home.put(".config/kavrel/scenario_restroom.yaml", kRestroom);
    EXPECT_EQ(CatalogueNames::load().sceneName("restroom"), QString::fromUtf8("卫生间场景"));
}

TEST(CatalogueNames, SessionTimesReadAsDateAndTime)
{
    const std::pair<const char*, const char*> cases[] = {
        {"20261206_143635", "2026-12-06 14:36:35"},
        {"20261206_143635_2", "2026-12-06 14:36:35_2"},  // a second session in the same second
        {"20261306_143635", "20261306_143635"},          // no 13th month: left as it is
    };
    for (const auto& [folder, words] : cases)
        EXPECT_EQ(CatalogueNames::sessionTimeWords(folder), QString::fromUtf8(words)) << folder;
}
