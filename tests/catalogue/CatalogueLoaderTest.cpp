// Loading one scenario file with its tag files into a task preview.

#include "CatalogueFixture.h"

using json = nlohmann::ordered_json;
using kavrel::test::CatalogueTest;

namespace {

const char* const kKitchenTags = R"(tag_groups:
  - {label: light, name: 光照, tags: [{tag: dim, name: 昏暗}, {tag: bright, name: 明亮}]}
  - {label: surface, name: 台面, tags: [{tag: wood}, {tag: steel, name: 不锈钢}, {name: 无标识}]}
  - {name: 无标签组, tags: [{tag: lost}]}
)";

const char* const kKitchenScenario = R"(scenarios:
  - name: 没有标签的场景
    tasks: [{label: ignored}]
  - label: kitchen
    name: 厨房
    description: 家庭厨房
    tasks:
      - label: counter
        name: 台面拍照
        description: 拍台面
        tag_include: [light, surface]
        mode: single_shot
        need_part_num: yes
        part_name: 柜号
        shot_interval_ms: 250
        devices:
          - {label: gemini, name: 深度相机}
          - {name: usb_cam}
          - {}
      - name: 没有标签的任务
      - label: sink
        tag_include: [surface]
        mode: continue_record
        need_part_num: 0
  - label: second
    tasks: [{label: never}]
)";

} // namespace

TEST_F(CatalogueTest, BuildsTaskObjectsAndPreviewsWithMembersInOrder)
{
    put("set/tags.yaml", kKitchenTags);
    const std::string scenario = put("set/scenario_kitchen.yaml", kKitchenScenario);
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

    ASSERT_EQ(result_.task_previews.count("counter"), 1u);
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
    struct Case {
        const char* content;  // nullptr: the file is not written
        std::string expected;
    };
    const std::string path = home_ + "/s/scenario_x.yaml";
    const std::vector<Case> cases = {
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
    for (const Case& c : cases) {
        std::filesystem::remove(path);
        if (c.content)
            put("s/scenario_x.yaml", c.content);
        result_.title = "stale";
        EXPECT_FALSE(load(path)) << (c.content ? c.content : "<missing>");
        EXPECT_EQ(error_.rfind(c.expected, 0), 0u)
            << (c.content ? c.content : "<missing>") << " gave: " << error_;
        EXPECT_TRUE(result_.empty()) << (c.content ? c.content : "<missing>");
    }
    EXPECT_FALSE(load(""));
    EXPECT_EQ(error_, "selected_scenario_path cannot be empty");
    // A null error pointer is allowed.
    EXPECT_FALSE(scenario_tag_loader::load_task_preview("", "", result_, nullptr));
}

TEST_F(CatalogueTest, ConfigManagerKeepsOnlyASuccessfulLoad)
{
    config_manager& cfg = config_manager::instance();
    const std::string good = put("s/scenario_good.yaml", "label: s\ntasks: [{label: t}]\n");
    ASSERT_TRUE(cfg.load_task_preview_config(good, ""));
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

TEST_F(CatalogueTest, OneTagFileReachedTwiceIsReadOnce)
{
    const std::string tags = put("set/tags.yaml", "tag_groups: {broken: [}\n");
    const std::string scenario = put("set/scenario.yaml", "label: s\ntasks: [{label: t}]\n");
    // Same file as the caller's path and beside the scenario, once through a dot segment.
    ASSERT_TRUE(load(scenario, home_ + "/set/./tags.yaml")) << error_;
    EXPECT_EQ(log_.count("skip tag yaml parse error, path=" + tags), 1);
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
    struct Case {
        const char* fields;
        bool needPartNum;
        int interval;
    };
    const std::vector<Case> cases = {
        {"", true, 1000},
        {"need_part_num: no, shot_interval_ms: fast", false, 1000},
        {"need_part_num: 0, shot_interval_ms: 500", false, 500},
        {"need_part_num: -3, shot_interval_ms: 99999999999", true, 1000},
        {"need_part_num: 900000000000000000000000000, shot_interval_ms: {a: 1}", true, 1000},
        {"need_part_num: [no], shot_interval_ms: '42'", true, 42},
        {"need_part_num: FALSE", false, 1000},
    };
    for (const Case& c : cases) {
        const std::string scenario = put("s/scenario.yaml", std::string("label: s\ntasks: [{label: t, ") + c.fields + "}]\n");
        ASSERT_TRUE(load(scenario)) << c.fields << ": " << error_;
        EXPECT_EQ(result_.tasks[0]["need_part_num"], c.needPartNum) << c.fields;
        EXPECT_EQ(result_.tasks[0]["shot_interval_ms"], c.interval) << c.fields;
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

TEST_F(CatalogueTest, LoadStartsFromAnEmptyResult)
{
    const std::string a = put("a/scenario.yaml", "label: a\ntasks: [{label: ta}, {label: tb}]\n");
    const std::string b = put("b/scenario.yaml", "label: b\ntasks: [{label: tc}]\n");
    ASSERT_TRUE(load(a));
    ASSERT_TRUE(load(b));
    EXPECT_EQ(result_.tasks.size(), 1u);
    EXPECT_EQ(result_.task_previews.count("ta"), 0u);
    EXPECT_EQ(result_.scenario_task_list.count("a"), 0u);
}
