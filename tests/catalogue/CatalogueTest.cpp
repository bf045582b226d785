// The catalogue: the current scenario set, and one scenario file with its tag files loaded into a preview.

#include <filesystem>
#include <string>

#include "ConfigFixture.h"
#include "scenario_tag_loader.h"

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;
using kavrel::test::ScopedEnv;

namespace {

// A valid catalogue: the kitchen is the first scenario with a label.
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
    tasks:
      - {label: counter, name: 台面拍照, tag_include: [light, surface]}
      - name: 没有标签的任务
      - label: sink
        tag_include: [surface]
        mode: continue_record
        need_part_num: 0
        devices: [{label: '', name: by_name}, {label: by_label, name: ignored}, plain, {name: ~}, [x]]
  - label: second
    tasks: [{label: never}]
)";

class CatalogueTest : public kavrel::test::ScratchHomeTest {
protected:
    bool load(const std::string& scenario, const std::string& tags = {})
    {
        error_.clear();
        return scenario_tag_loader::load_task_preview(scenario, tags, result_, &error_);
    }

    task_preview_load_result result_;
    std::string error_;
};

// Hostile catalogue files: the loader answers true or false and never crashes, hangs or throws.
const std::vector<std::string>& hostileDocuments()
{
    static const std::vector<std::string> documents = {
        "scenarios: &s [*s]\n",
        "label: s\ntasks: &t [*t]\n",
        "tag_groups: &g [{label: a, tags: *g}]\n",
        std::string(5000, '[') + std::string(5000, ']'),
        [] { std::string s; for (int i = 0; i < 3000; ++i) s += std::string(i % 200, ' ') + "- a:\n"; return s; }(),
        "label: s\ntasks: [{label: t, shot_interval_ms: 1" + std::string(400, '9') + "}]\n",
        "label: s\ntasks: [{label: t, shot_interval_ms: -.inf, need_part_num: .nan}]\n",
        "label: !!binary aGVsbG8=\ntasks: [{label: !!int 12}]\n",
        "--- {label: a, tasks: [{label: t}]}\n--- {label: b}\n",
        "label: \"\\u0000\\xff\"\ntasks: [{label: \"\\0\"}]\n",
        std::string("label: s\0tasks: [x]\n", 20),
        "label: s\ntasks: [{label: t, devices: [{label: [a]}, {name: {b: c}}, ~, {label: *undefined}]}]\n",
        "scenarios: 5\nlabel: s\ntasks: [{label: t}]\n",
        "tag_groups: [[{label: a}], {label: {x: y}}, {label: ok, tags: {tag: notalist}}]\n",
    };
    return documents;
}

} // namespace

TEST_F(CatalogueTest, BuildsTaskObjectsAndPreviewsWithMembersInOrder)
{
    put("set/tags.yaml", kKitchenTags);
    const std::string scenario = put("set/scenario_kitchen.yaml", kKitchenScenario);
    ASSERT_TRUE(load(scenario)) << error_;

    EXPECT_EQ(result_.title, "厨房");
    ASSERT_EQ(result_.tasks.size(), 2u);
    // Defaults: name from the label, need_part_num 0 is false, part caption and interval; devices by label or name.
    EXPECT_EQ(result_.tasks[1].dump(),
              json::parse(R"({"name":"sink","label":"sink","description":"","scenario":"kitchen",
                  "mode":"continue_record","need_part_num":false,"part_name":"隔间号","shot_interval_ms":1000,
                  "scenes":["sink"],"tag_groups":["surface"],"data_source":["by_name","by_label"]})").dump());

    const json& preview = result_.task_previews.at("counter");
    // Group order, then tag order within each group; an untagged entry is left out.
    EXPECT_EQ(preview["labels"].dump(), json::parse(R"([{"name":"明亮","tag":"bright"},{"name":"昏暗","tag":"dim"},
        {"name":"不锈钢","tag":"steel"},{"name":"wood","tag":"wood"}])").dump());
}

TEST_F(CatalogueTest, EveryBrokenScenarioFileGetsItsFailureText)
{
    const std::string path = home_ + "/s/scenario_x.yaml";
    // Content (nullptr: no file) -> the start of the failure text.
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"", "no valid scenario node in file: " + path},
        {"- label: a\n  tasks: [{label: t}]\n", "no valid scenario node in file: " + path},
        {"scenarios: [{name: n, tasks: [{label: t}]}]\n", "unable to select scenario label"},
        {"label: s\ntasks: ~\n", "selected scenario has no tasks"},
        {"label: s\ntasks: []\n", "task list is empty after scenario/tag merge"},
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
    const std::string a =
        put("a/scenario.yaml", "label: a\ntasks: [{label: ta, name: first}, {label: ta, name: second}]\n");
    const std::string b = put("b/scenario.yaml", "label: b\ntasks: [{label: tc}]\n");
    ASSERT_TRUE(load(a));
    // A repeated label keeps both tasks; the later one's preview replaces the earlier.
    EXPECT_EQ(result_.task_previews.at("ta")["name"], "second");
    EXPECT_EQ(result_.scenario_task_list.at("a"), (std::vector<std::string>{"ta", "ta"}));
    ASSERT_TRUE(load(b));
    EXPECT_EQ(result_.tasks.size(), 1u);
    EXPECT_EQ(result_.task_previews.count("ta"), 0u);
    EXPECT_EQ(result_.scenario_task_list.count("a"), 0u);

    config_manager& cfg = config_manager::instance();
    ASSERT_TRUE(cfg.load_task_preview_config(b, ""));
    const std::string bad = put("s/scenario_bad.yaml", "label: s\n");
    EXPECT_FALSE(cfg.load_task_preview_config(bad, ""));
    EXPECT_TRUE(cfg.task_preview_.empty());
    EXPECT_EQ(log_.count("load_task_preview_config parse error: selected scenario has no tasks"), 1);
    EXPECT_FALSE(cfg.load_task_preview_config("", ""));
    EXPECT_TRUE(log_.contains("load_task_preview_config parse error: selected_scenario_path cannot be empty"));
}

TEST_F(CatalogueTest, TagFilesMergeInOrderBrokenOnesAreSkippedAndAMissingGroupIsWarned)
{
    // Order: the caller's tags path, tags.yaml beside the scenario, the user's tag*.yaml by name.
    const std::string deviceTags =
        put("etc/tags.yaml", "tag_groups: [{label: weather, name: 天气, tags: [{tag: sun, name: 晴}, {tag: rain, name: 雨}]}]\n");
    put("set/tags.yaml", R"(tag_groups:
  - {label: weather, name: 天气情况, tags: [{tag: rain, name: 下雨}, {tag: fog, name: 雾}]}
  - {label: time, tags: [{tag: night}, {tag: rain, name: 夜雨}]}
)");
    put(".config/kavrel/tag_b.yaml", "tag_groups: [{label: time, name: 时段, tags: [{tag: dawn}]}]\n");
    put(".config/kavrel/tag_a.yaml", "tag_groups: [{label: time, name: 时间}]\n");
    put(".config/kavrel/tag_c.yaml", "tag_groups: [unclosed\n");
    const std::string scenario = put("set/scenario.yaml", R"(label: s
tasks:
  - {label: t, tag_include: [weather, ghost, {not: scalar}, time]}
)");
    ASSERT_TRUE(load(scenario, deviceTags)) << error_;
    EXPECT_EQ(result_.tasks[0]["tag_groups"], json::parse(R"(["weather","ghost","time"])"));
    EXPECT_EQ(log_.count("task references missing tag_group, scenario=s, task=t, group=ghost"), 1);

    const json& preview = result_.task_previews.at("t");
    ASSERT_EQ(preview["tag_groups"].size(), 2u);
    EXPECT_EQ(preview["tag_groups"][0].dump(), json::parse(R"({"tags":[{"name":"雾","tag":"fog"},
        {"name":"下雨","tag":"rain"},{"name":"晴","tag":"sun"}],"name":"天气情况","label":"weather"})").dump());
    // tag_a renames, tag_b renames again and adds; the broken tag_c changes nothing.
    EXPECT_EQ(preview["tag_groups"][1].dump(), json::parse(R"({"tags":[{"name":"dawn","tag":"dawn"},
        {"name":"night","tag":"night"},{"name":"夜雨","tag":"rain"}],"name":"时段","label":"time"})").dump());
    EXPECT_EQ(log_.count("skip tag yaml parse error, path=" + userDir_ + "/tag_c.yaml, err="), 1);
    // rain collected once, from the first group that has it.
    EXPECT_EQ(preview["labels"].size(), 5u);
    EXPECT_EQ(preview["labels"][1]["name"], "下雨");
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
         }) {
        const std::string scenario = put("s/scenario.yaml", std::string("label: s\ntasks: [{label: t, ") + fields + "}]\n");
        ASSERT_TRUE(load(scenario)) << fields << ": " << error_;
        EXPECT_EQ(result_.tasks[0]["need_part_num"], needPartNum) << fields;
        EXPECT_EQ(result_.tasks[0]["shot_interval_ms"], interval) << fields;
    }
}

TEST_F(CatalogueTest, HostileDocumentsNeverCrashTheLoader)
{
    const std::string tags = put("f/tags.yaml", kKitchenTags);
    for (const std::string& document : hostileDocuments()) {
        const std::string scenario = put("f/scenario.yaml", document);
        const bool loaded = load(scenario);
        EXPECT_TRUE(loaded || !error_.empty()) << document.substr(0, 80);
        EXPECT_TRUE(!loaded || !result_.tasks.empty()) << "a load without tasks";
    }
    // The same documents as tag files: skipped or merged, the load goes on.
    const std::string scenario = put("f/scenario.yaml", kKitchenScenario);
    for (const std::string& document : hostileDocuments()) {
        put("f/tags.yaml", document);
        EXPECT_TRUE(load(scenario, tags)) << document.substr(0, 80) << ": " << error_;
        EXPECT_EQ(result_.tasks.size(), 2u);
    }
}

// The newest set shown and its files listed in byte order: the start page's tests (PagesTest).
TEST_F(CatalogueTest, OddNamesAreNoScenarioSetAndNoUserDirectoryHasNone)
{
    const std::string root = userDir_ + "/scenario/";
    fs::create_directories(root + "scenario_20240305_170000");
    fs::create_directories(root + "scenario_test");
    fs::create_directories(root + "scenario_2099123");         // stamp too short
    fs::create_directories(root + "Scenario_20990101_000000");  // wrong prefix
    put(".config/kavrel/scenario/scenario_20990101_000000", "a file, not a set");
    EXPECT_EQ(scenario_tag_loader::get_latest_scenario_folder_name(), "scenario_20240305_170000");

    ScopedEnv emptyHome("HOME", std::string());
    EXPECT_EQ(scenario_tag_loader::get_latest_scenario_folder_name(), "");
}
