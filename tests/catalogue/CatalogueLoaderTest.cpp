// Loading one scenario file with its tag files into a task preview.

#include "CatalogueFixture.h"

using json = nlohmann::ordered_json;
using kavrel::test::CatalogueTest;

TEST_F(CatalogueTest, BuildsTaskObjectsAndPreviewsWithMembersInOrder)
{
    put("set/tags.yaml", kavrel::test::kKitchenTags);
    const std::string scenario = put("set/scenario_kitchen.yaml", kavrel::test::kKitchenScenario);
    ASSERT_TRUE(load(scenario)) << error_;

    EXPECT_EQ(result_.title, "厨房");
    ASSERT_EQ(result_.tasks.size(), 2u);
    EXPECT_EQ(result_.tasks[0].dump(),
              json::parse(R"({"name":"台面拍照","label":"counter","description":"拍台面","scenario":"kitchen",
                  "mode":"single_shot","need_part_num":true,"part_name":"柜号","shot_interval_ms":250,
                  "scenes":["counter"],"tag_groups":["light","surface"],"data_source":["gemini","usb_cam"]})").dump());
    // Defaults: name from the label, need_part_num 0 is false, part caption and interval.
    EXPECT_EQ(result_.tasks[1].dump(),
              json::parse(R"({"name":"sink","label":"sink","description":"","scenario":"kitchen",
                  "mode":"continue_record","need_part_num":false,"part_name":"隔间号","shot_interval_ms":1000,
                  "scenes":["sink"],"tag_groups":["surface"],"data_source":[]})").dump());

    const json& preview = result_.task_previews.at("counter");
    EXPECT_EQ(preview["scenario_name"], "厨房");
    EXPECT_EQ(preview["scenario_description"], "家庭厨房");
    // Group order, then tag order within each group; an untagged entry is left out.
    EXPECT_EQ(preview["labels"].dump(), json::parse(R"([{"name":"明亮","tag":"bright"},{"name":"昏暗","tag":"dim"},
        {"name":"不锈钢","tag":"steel"},{"name":"wood","tag":"wood"}])").dump());
    EXPECT_EQ(result_.scenario_task_list,
              (std::map<std::string, std::vector<std::string>>{{"kitchen", {"counter", "sink"}}}));
}

TEST_F(CatalogueTest, EveryBrokenScenarioFileGetsItsFailureText)
{
    const std::string path = home_ + "/s/scenario_x.yaml";
    // Content (nullptr: no file) -> the start of the failure text.
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"", "no valid scenario node in file: " + path},
        {"- label: a\n  tasks: [{label: t}]\n", "no valid scenario node in file: " + path},
        {"just text\n", "no valid scenario node in file: " + path},
        {"scenarios: [1, two, [3]]\n", "no valid scenario node in file: " + path},
        {"scenarios: [{name: n, tasks: [{label: t}]}]\n", "unable to select scenario label"},
        {"label: ''\ntasks: [{label: t}]\n", "unable to select scenario label"},
        {"label: s\ntasks: ~\n", "selected scenario has no tasks"},
        {"label: s\ntasks: {label: t}\n", "selected scenario has no tasks"},
        {"label: s\ntasks: []\n", "task list is empty after scenario/tag merge"},
        {"label: s\ntasks: [{name: only a name}, 5, [x]]\n", "task list is empty after scenario/tag merge"},
        {"label: s\ntasks: [{label: t, need_part_num: 1.5}]\n",
         "scenario yaml parse error, path=" + path + ", err="},
        {"label: [unclosed\n", "scenario yaml parse error, path=" + path + ", err="},
        {nullptr, "scenario yaml parse error, path=" + path + ", err="},
    };
    for (const auto& [content, expected] : cases) {
        SCOPED_TRACE(content ? content : "<missing>");
        std::filesystem::remove(path);
        if (content)
            put("s/scenario_x.yaml", content);
        result_.title = "stale";
        EXPECT_FALSE(load(path));
        EXPECT_EQ(error_.rfind(expected, 0), 0u) << error_;
        EXPECT_TRUE(result_.empty());
    }
    // A null error pointer is allowed.
    EXPECT_FALSE(scenario_tag_loader::load_task_preview("", "", result_, nullptr));
}

TEST_F(CatalogueTest, EachLoadStartsEmptyAndConfigManagerKeepsOnlyASuccessfulOne)
{
    const std::string a = put("a/scenario.yaml", "label: a\ntasks: [{label: ta}, {label: tb}]\n");
    const std::string b = put("b/scenario.yaml", "label: b\ntasks: [{label: tc}]\n");
    ASSERT_TRUE(load(a));
    ASSERT_TRUE(load(b));
    EXPECT_EQ(result_.tasks.size(), 1u);
    EXPECT_EQ(result_.task_previews.count("ta"), 0u);
    EXPECT_EQ(result_.scenario_task_list.count("a"), 0u);

    config_manager& cfg = config_manager::instance();
    ASSERT_TRUE(cfg.load_task_preview_config(b, ""));
    EXPECT_EQ(cfg.task_preview_.tasks.size(), 1u);
    const std::string bad = put("s/scenario_bad.yaml", "label: s\n");
    EXPECT_FALSE(cfg.load_task_preview_config(bad, ""));
    EXPECT_TRUE(cfg.task_preview_.empty());
    EXPECT_EQ(log_.count("load_task_preview_config parse error: selected scenario has no tasks"), 1);
    EXPECT_FALSE(cfg.load_task_preview_config("", ""));
    EXPECT_TRUE(log_.contains("load_task_preview_config parse error: selected_scenario_path cannot be empty"));
}

TEST_F(CatalogueTest, TagFilesMergeInOrderAndBrokenOnesAreSkipped)
{
    // Order: the caller's tags path, tags.yaml beside the scenario, then the
    // user directory's tag*.yaml in byte order.
    const std::string deviceTags =
        put("etc/tags.yaml", "tag_groups: [{label: weather, name: 天气, tags: [{tag: sun, name: 晴}, {tag: rain, name: 雨}]}]\n");
    put("set/tags.yaml", R"(tag_groups:
  - {label: weather, name: 天气情况, tags: [{tag: rain, name: 下雨}, {tag: fog, name: 雾}]}
  - {label: time, tags: [{tag: night}]}
)");
    put(".config/kavrel/tag_b.yaml", "tag_groups: [{label: time, name: 时段, tags: [{tag: dawn}]}]\n");
    put(".config/kavrel/tag_a.yaml", "tag_groups: [{label: time, name: 时间}]\n");
    put(".config/kavrel/tag_c.yaml", "tag_groups: [unclosed\n");
    put(".config/kavrel/tags.yml", "tag_groups: [{label: ignored, tags: [{tag: x}]}]\n");
    const std::string scenario = put("set/scenario.yaml", R"(label: s
tasks:
  - {label: t, tag_include: [weather, time]}
)");
    ASSERT_TRUE(load(scenario, deviceTags)) << error_;

    const json& groups = result_.task_previews.at("t")["tag_groups"];
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].dump(), json::parse(R"({"tags":[{"name":"雾","tag":"fog"},{"name":"下雨","tag":"rain"},
        {"name":"晴","tag":"sun"}],"name":"天气情况","label":"weather"})").dump());
    // tag_a renames, tag_b renames again and adds; the broken tag_c changes nothing.
    EXPECT_EQ(groups[1].dump(), json::parse(R"({"tags":[{"name":"dawn","tag":"dawn"},{"name":"night","tag":"night"}],
        "name":"时段","label":"time"})").dump());
    EXPECT_EQ(log_.count("skip tag yaml parse error, path=" + userDir_ + "/tag_c.yaml, err="), 1);
}

TEST_F(CatalogueTest, MissingGroupIsWarnedAndTaskKept)
{
    put("set/tags.yaml", "tag_groups: [{label: a, tags: [{tag: x}, {tag: y}]}, {label: b, tags: [{tag: y, name: Y}, {tag: z}]}]\n");
    const std::string scenario = put("set/scenario.yaml", R"(label: s
tasks:
  - {label: t, tag_include: [a, ghost, {not: scalar}, b]}
)");
    ASSERT_TRUE(load(scenario)) << error_;
    ASSERT_EQ(result_.tasks.size(), 1u);
    EXPECT_EQ(result_.tasks[0]["tag_groups"], json::parse(R"(["a","ghost","b"])"));
    const json& preview = result_.task_previews.at("t");
    ASSERT_EQ(preview["tag_groups"].size(), 2u);
    EXPECT_EQ(preview["tag_groups"][1]["label"], "b");
    // y collected once, from the first group that has it.
    EXPECT_EQ(preview["labels"].dump(),
              json::parse(R"([{"name":"x","tag":"x"},{"name":"y","tag":"y"},{"name":"z","tag":"z"}])").dump());
    EXPECT_EQ(log_.count("task references missing tag_group, scenario=s, task=t, group=ghost"), 1);
}

TEST_F(CatalogueTest, TaskFieldCoercions)
{
    for (const auto& [fields, needPartNum, interval] : std::vector<std::tuple<const char*, bool, int>>{
             {"", true, 1000},
             {"need_part_num: no, shot_interval_ms: fast", false, 1000},
             {"need_part_num: 0, shot_interval_ms: 500", false, 500},
             {"need_part_num: -3, shot_interval_ms: 99999999999", true, 1000},
             {"need_part_num: 900000000000000000000000000, shot_interval_ms: {a: 1}", true, 1000},
             {"need_part_num: [no], shot_interval_ms: '42'", true, 42},
             {"need_part_num: FALSE", false, 1000},
         }) {
        const std::string scenario = put("s/scenario.yaml", std::string("label: s\ntasks: [{label: t, ") + fields + "}]\n");
        ASSERT_TRUE(load(scenario)) << fields << ": " << error_;
        EXPECT_EQ(result_.tasks[0]["need_part_num"], needPartNum) << fields;
        EXPECT_EQ(result_.tasks[0]["shot_interval_ms"], interval) << fields;
    }
}

TEST_F(CatalogueTest, DevicesAndRepeatedTaskLabels)
{
    const std::string scenario = put("s/scenario.yaml", R"(label: s
tasks:
  - label: t
    name: first
    devices: [{label: '', name: by_name}, {label: by_label, name: ignored}, plain, {name: ~}, [x]]
  - label: t
    name: second
    devices: {label: not_a_list}
)");
    ASSERT_TRUE(load(scenario)) << error_;
    ASSERT_EQ(result_.tasks.size(), 2u);
    EXPECT_EQ(result_.tasks[0]["data_source"], json::parse(R"(["by_name","by_label"])"));
    EXPECT_EQ(result_.tasks[1]["data_source"], json::array());
    // The later task replaces the earlier map entries but both task objects stay.
    EXPECT_EQ(result_.task_previews.at("t")["name"], "second");
    EXPECT_EQ(result_.scenario_task_list.at("s"), (std::vector<std::string>{"t", "t"}));
}
