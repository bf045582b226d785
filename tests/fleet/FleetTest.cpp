// The fleet against a real object gateway (started once per run by the
// s3_server fixture): catalogue sets reaching a terminal or being refused,
// terminal status after an upload, and verify against real uploads.

#include <QCoreApplication>
#include <QLabel>
#include <gtest/gtest.h>

#include "S3TestServer.h"
#include "ScenarioSelectButton.h"
#include "ScenarioSelectWidget.h"
#include "catalogue_sync.h"
#include "fleet_admin.h"
#include "fleet_agent.h"
#include "fleet_verify.h"
#include "scenario_tag_loader.h"
#include "store_manifest.h"

using namespace storage_test;
using namespace std::chrono_literals;
using files_t = std::map<std::string, std::string>;

namespace {

const char kScenarioYaml[] = "name: 厕所场景\nscenarios:\n  - label: toilets\n    name: 厕所\n"
                             "    tasks:\n      - label: urinal\n        name: 小便池\n        tag_include: [state]\n";
const char kTagsYaml[] = "tag_groups:\n  - label: state\n    name: 状态\n"
                         "    tags:\n      - tag: clean\n        name: 干净\n";
const char kOldSet[] = "scenario_20250101_000000";
const char kNewSet[] = "scenario_20261201_120000";

TEST(FleetNames, DatesInKeysAndStatusKeysThatStayInTheirFolder)
{
    const std::pair<const char*, const char*> dates[] = {
        {"rosbags/fullscene/20261206-a/urinal", "2026-12-06"},
        {"x/2026_01_02_0900/b", "2026-01-02"},
        {"x/202612061/b", ""},
        {"rosbags/gejian/ds1", ""},
    };
    for (const auto& [key, date] : dates)
        EXPECT_EQ(date_in_key(key), date) << key;
    EXPECT_EQ(terminal_status_key("T-7"), "terminals/T-7/status.json");
    for (const char* bad : {"", "..", "../x", "a/b", ".hidden", "a\nb"})
        EXPECT_EQ(terminal_status_key(bad), "") << bad;
}

TEST(FleetNames, StatusSurvivesItsJsonAndAMissingMemberIsNamed)
{
    terminal_status status;
    status.sessions_failed_check = 3;
    terminal_status read;
    std::string error;
    nlohmann::json json = nlohmann::json::parse(status_to_json(status).dump());
    ASSERT_TRUE(status_from_json(json, read, error)) << error;
    EXPECT_EQ(read.sessions_failed_check, status.sessions_failed_check);

    json.erase("bytes_waiting");
    EXPECT_FALSE(status_from_json(json, read, error));
    EXPECT_NE(error.find("bytes_waiting"), std::string::npos) << error;
}

class Fleet : public gateway_test {
protected:
    void SetUp() override
    {
        gateway_test::SetUp();
        if (IsSkipped())
            return;
        client = std::make_shared<s3_client>(settings);
        run = run_name();
        prefix = "catalogue-" + run + "/";
    }
    std::string root() const { return home.userDir() + "/scenario"; }
    // A set folder on this PC, as the people running the fleet prepare it.
    std::string local_set(const std::string& name, const files_t& files)
    {
        for (const auto& [file, content] : files)
            put_file(scratch.path() + "/" + name + "/" + file, content);
        return scratch.path() + "/" + name;
    }
    // Puts a set's files into the store as they are, with a manifest of
    // their true sizes and hashes unless told otherwise.
    void put_raw_set(const std::string& set_prefix, const std::string& set, const files_t& files, bool manifest = true)
    {
        nlohmann::ordered_json listed = nlohmann::ordered_json::array();
        for (const auto& [file, content] : files) {
            ASSERT_TRUE(client->put_bytes(set_prefix + set + "/" + file, content, never).ok());
            listed.push_back({{"name", file}, {"size", content.size()}, {"sha256", sha256_hex(content)}});
        }
        if (manifest) {
            const nlohmann::ordered_json json = {{"set", set}, {"files", listed}};
            ASSERT_TRUE(client->put_bytes(set_prefix + set + "/_manifest.json", json.dump(), never).ok());
        }
    }
    // Every entry of the scenario folder: the start page's view of it.
    std::vector<std::string> root_entries() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(root()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::shared_ptr<s3_client> client;
    std::string run;
    std::string prefix;
    const std::atomic<bool> never{false};
    kavrel::test::ScratchHome home;
};

TEST_F(Fleet, PublishedSetReachesTheStartPageAndOnlyTheNewestThreeStay)
{
    for (const char* old : {"scenario_20240101_000000", "scenario_20240601_000000", kOldSet})
        put_file(root() + "/" + old + "/scenario_old.yaml", kScenarioYaml);
    const publish_outcome published = publish_catalogue(*client,
        local_set(kNewSet, {{"scenario_toilets.yaml", kScenarioYaml}, {"tags.yaml", kTagsYaml}}), prefix, never);
    ASSERT_TRUE(published.ok) << published.error;

    ScenarioSelectWidget page;   // built before the set arrives, as on a running terminal
    page.show();
    catalogue_sync sync(client, prefix, root());
    ASSERT_EQ(sync.run(never), catalogue_result::installed);
    EXPECT_EQ(readFile(root() + "/" + kNewSet + "/tags.yaml"), kTagsYaml);
    EXPECT_EQ(root_entries(), (std::vector<std::string>{"scenario_20240601_000000", kOldSet, kNewSet}));
    EXPECT_EQ(sync.run(never), catalogue_result::up_to_date);

    page.hide();
    page.show();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    std::vector<std::string> paths;
    for (const ScenarioSelectButton* button : page.findChildren<ScenarioSelectButton*>()) {
        EXPECT_EQ(button->scenarioName.toStdString(), "厕所场景");
        paths.push_back(button->scenarioPath.toStdString());
    }
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_NE(paths[0].find(std::string(kNewSet) + "/scenario_toilets.yaml"), std::string::npos) << paths[0];
    EXPECT_EQ(page.findChild<QLabel*>("label_Version")->text().toStdString(), kNewSet);
}

TEST_F(Fleet, BadSetsAreRefusedNamingTheFileAndTheOldSetStays)
{
    put_file(root() + "/" + kOldSet + "/scenario_old.yaml", kScenarioYaml);
    const files_t good = {{"scenario_toilets.yaml", kScenarioYaml}, {"tags.yaml", kTagsYaml}};
    struct bad_case {
        const char* name;
        files_t files;
        bool manifest;
        std::string changed_after;      // a file changed in the store after publishing (same size)
        std::string manifest_text;      // replaces the true manifest when set
        catalogue_result result;
        std::vector<std::string> warned;
    };
    const bad_case cases[] = {
        {"changed", good, true, "scenario_toilets.yaml", "", catalogue_result::refused,
            {"scenario_toilets.yaml", "SHA-256"}},
        {"broken-yaml", {{"scenario_toilets.yaml", kScenarioYaml}, {"tags.yaml", "tag_groups: [state\n"}}, true, "",
            "", catalogue_result::refused, {"tags.yaml", "YAML error"}},
        {"no-scenario", {{"tags.yaml", kTagsYaml}}, true, "", "", catalogue_result::refused, {"no scenario*.yaml"}},
        {"escaping-name", good, true, "",
            R"({"files": [{"name": "../../escape.yaml", "size": 3, "sha256": ")" + std::string(64, 'a') + "\"}]}",
            catalogue_result::refused, {"../../escape.yaml"}},
        {"no-manifest", good, false, "", "", catalogue_result::up_to_date, {}},
    };
    for (const bad_case& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        const std::string case_prefix = prefix + c.name + "/";
        put_raw_set(case_prefix, kNewSet, c.files, c.manifest);
        if (!c.changed_after.empty()) {
            std::string changed = c.files.at(c.changed_after);
            changed[changed.size() - 2] = 'X';
            ASSERT_TRUE(client->put_bytes(case_prefix + kNewSet + "/" + c.changed_after, changed, never).ok());
        }
        if (!c.manifest_text.empty()) {
            ASSERT_TRUE(client->put_bytes(case_prefix + kNewSet + "/_manifest.json", c.manifest_text, never).ok());
        }
        catalogue_sync sync(client, case_prefix, root());
        EXPECT_EQ(sync.run(never), c.result);
        EXPECT_EQ(root_entries(), std::vector<std::string>{kOldSet}) << "no new or hidden folder may stay";
        EXPECT_FALSE(fs::exists(home.userDir() + "/escape.yaml"));
        for (const std::string& text : c.warned)
            EXPECT_EQ(log.count(text), 1) << text;
        EXPECT_EQ(log.count("refused"), c.warned.empty() ? 0 : 1);
        // A refused set is not fetched again until its manifest changes.
        EXPECT_EQ(sync.run(never), c.result);
        EXPECT_EQ(log.count("refused"), c.warned.empty() ? 0 : 1);
    }

    // The publisher refuses the same broken set before anything is sent.
    const publish_outcome published = publish_catalogue(*client,
        local_set(kNewSet, {{"scenario_toilets.yaml", kScenarioYaml}, {"tags.yaml", "tag_groups: [x\n"}}),
        prefix + "publish/", never);
    EXPECT_FALSE(published.ok);
    EXPECT_NE(published.error.find("tags.yaml"), std::string::npos) << published.error;
    EXPECT_TRUE(client->list_objects(prefix + "publish/", never).objects.empty());
}

TEST_F(Fleet, DownloadCutByAStoppedGatewayLeavesNoPartialSet)
{
    put_file(root() + "/" + kOldSet + "/scenario_old.yaml", kScenarioYaml);
    std::string blob(24u << 20, '\0');
    for (std::size_t i = 0; i < blob.size(); i += 4096)
        blob[i] = static_cast<char>(i / 4096);
    put_raw_set(prefix, kNewSet, {{"reference.bin", blob}, {"scenario_toilets.yaml", kScenarioYaml}});

    catalogue_sync sync(client, prefix, root());
    bool stopped = false;
    sync.on_progress = [&](const std::string& file, uint64_t) {
        if (file == "reference.bin" && !stopped) {
            stopped = true;
            server_control("stop-gateway");
        }
    };
    const catalogue_result cut = sync.run(never);
    server_control("start-gateway");
    ASSERT_TRUE(stopped);
    EXPECT_EQ(cut, catalogue_result::unreachable);
    EXPECT_EQ(root_entries(), std::vector<std::string>{kOldSet});

    // The next look takes the whole set.
    sync.on_progress = {};
    EXPECT_EQ(sync.run(never), catalogue_result::installed);
    EXPECT_TRUE(readFile(root() + "/" + kNewSet + "/reference.bin") == blob);
}

// A terminal with two recorded sessions and a clock ten minutes fast.
class FleetTerminal : public Fleet {
protected:
    void SetUp() override
    {
        Fleet::SetUp();
        if (IsSkipped())
            return;
        for (const auto& [name, bytes] : std::map<std::string, std::size_t>{{"a", 3000}, {"b", 5000}}) {
            datasets[name] = "20261206-" + run + "-" + name;
            put_file(scratch.card() + "/" + datasets[name] + "/urinal/meta.yaml",
                "date: '2026-12-06'\nmachine_id: T-" + name + "\nscene_label: toilets\n");
            for (const char* image : {"color/100.jpg", "color/200.jpg", "depth/100.png"})
                write_bytes(fs::path(scratch.card()) / datasets[name] / "urinal/cam" / image, bytes, image[0]);
        }
        manager.init(scratch.ledger(), scratch.card());
        s3_settings fast = settings;
        fast.clock_offset = 600s;
        fleet_agent_settings agent_settings;
        agent_settings.machine_id = "T-" + run;
        agent_settings.catalogue_prefix = prefix;
        agent_settings.scenario_root = root();
        agent_settings.storage_root = scratch.card();
        agent_settings.interval = 1h;
        agent_settings.ledger_rows = [this] { return manager.ledger().records_snapshot(); };
        agent = std::make_shared<fleet_agent>(std::make_shared<s3_client>(fast), agent_settings);
        manager.uploads().set_client(std::make_shared<upload_reporting_client>(client, agent), 4);
    }
    void TearDown() override
    {
        if (agent)
            agent->stop();
        Fleet::TearDown();
    }
    // The ledger's row (a session folder) of a dataset, and its folder in the store.
    std::string row(const std::string& name) { return datasets[name] + "/urinal"; }
    std::string dataset_prefix(const std::string& name) { return dataset_key(row(name)); }

    std::map<std::string, std::string> datasets;
    std::shared_ptr<fleet_agent> agent;
};

// A set published while the capture page is shown waits until the page is left.
TEST_F(FleetTerminal, StatusAfterAnUploadShowsWhatIsStillWaitingAndTheCapturePageHoldsTheCatalogue)
{
    put_raw_set(prefix, kNewSet, {{"scenario_toilets.yaml", kScenarioYaml}, {"tags.yaml", kTagsYaml}});
    agent->set_capturing(true);
    agent->start();
    ASSERT_TRUE(kavrel::test::waitUntil([&] { return agent->status_writes() >= 1; }, 30000));
    const uint64_t writes = agent->status_writes();
    ASSERT_TRUE(upload(row("a")).finished);
    ASSERT_TRUE(kavrel::test::waitUntil([&] { return agent->status_writes() > writes; }, 30000));
    EXPECT_FALSE(fs::exists(root() + "/" + kNewSet));

    const std::time_t now = std::time(nullptr);
    const fleet_status fleet = read_fleet_status(*client, prefix, now, never);
    ASSERT_EQ(fleet.failure, upload_failure::none) << fleet.detail;
    EXPECT_EQ(fleet.newest_catalogue, kNewSet);
    const auto row = std::find_if(fleet.terminals.begin(), fleet.terminals.end(),
        [&](const terminal_row& r) { return r.status.machine_id == "T-" + run; });
    ASSERT_NE(row, fleet.terminals.end());
    EXPECT_TRUE(row->error.empty()) << row->error;
    EXPECT_EQ(row->status.sessions_waiting, 1u);
    EXPECT_EQ(row->status.bytes_waiting, get_dir_size(scratch.card() + "/" + this->row("b")));
    EXPECT_EQ(row->status.last_upload_result, "ok");
    ASSERT_TRUE(row->status.clock_offset_s.has_value());
    EXPECT_NEAR(*row->status.clock_offset_s, 600, 5);
    EXPECT_FALSE(row->silent);
    EXPECT_TRUE(row->old_catalogue);
    const std::string table = fleet_status_table(fleet, now);
    EXPECT_NE(table.find("OLD CATALOGUE"), std::string::npos) << table;
    // Two days later the same file marks the terminal silent.
    for (const terminal_row& r : read_fleet_status(*client, prefix, now + 2 * 86400, never).terminals)
        EXPECT_TRUE(r.silent || r.status.machine_id != "T-" + run);

    agent->set_capturing(false);  // the look, then the card's sessions are checked
    const auto checked = [&] { return agent->current_status().sessions_failed_check.has_value(); };
    EXPECT_TRUE(kavrel::test::waitUntil(checked, 30000));
    EXPECT_EQ(agent->current_status().sessions_failed_check, std::optional<uint64_t>(2)) << "neither has its IMU file";
    EXPECT_TRUE(fs::exists(root() + "/" + kNewSet + "/scenario_toilets.yaml"));
    EXPECT_EQ(agent->current_status().catalogue, kNewSet);
}

TEST_F(FleetTerminal, VerifyPassesAfterAnUploadAndNamesEveryDamage)
{
    ASSERT_TRUE(upload(row("a")).finished);
    ASSERT_TRUE(upload(row("b")).finished);
    const std::string a = dataset_prefix("a");
    verify_report clean = verify_store(*client, {a, "", 4}, never);
    ASSERT_TRUE(clean.whole()) << verify_text(clean);
    ASSERT_EQ(clean.totals.size(), 1u);
    EXPECT_EQ(clean.totals.begin()->first, std::make_tuple(std::string("T-a"), std::string("2026-12-06"),
        std::string("toilets")));
    EXPECT_TRUE(verify_store(*client, {a, "2026-12-07", 4}, never).datasets.empty()) << "--since leaves it out";

    // Each damage on dataset b, one after the other; b stays damaged throughout.
    const std::string b = dataset_prefix("b");
    const std::string image = b + "/cam/color/100.jpg";
    const std::string depth = b + "/cam/depth/100.png";
    const std::string stray = b + "/stray.txt";
    struct damage {
        const char* name;
        std::function<void()> apply;
        std::string line;
    };
    const damage damages[] = {
        {"overwritten", [&] { ASSERT_TRUE(client->put_bytes(image, "other bytes", never).ok()); },
            "DAMAGED " + image},
        {"deleted", [&] { client->delete_object(depth); }, "MISSING " + depth},
        {"extra", [&] { ASSERT_TRUE(client->put_bytes(stray, "?", never).ok()); }, "EXTRA " + stray},
        {"no manifest", [&] { client->delete_object(b + "/_manifest.json"); }, "NO MANIFEST " + b + " "},
    };
    for (const damage& d : damages) {
        SCOPED_TRACE(d.name);
        d.apply();
        const verify_report report = verify_store(*client, {b, "", 4}, never);
        EXPECT_FALSE(report.whole());
        EXPECT_NE(verify_text(report).find(d.line), std::string::npos) << verify_text(report);
    }

    KAVREL_SKIP_CHILD_PROCESSES_UNDER_EMULATION();
    kavrel::test::ScopedEnv id("AWS_ACCESS_KEY_ID", settings.access_key_id);
    kavrel::test::ScopedEnv secret("AWS_SECRET_ACCESS_KEY", settings.secret_access_key);
    const auto fleet = [&](const std::string& arguments) {
        const std::string store = "--endpoint " + settings.endpoint + " --region " + settings.region + " ";
        return kavrel::test::runProgram(KAVREL_FLEET_PATH, QString::fromStdString(store + arguments).split(' '));
    };
    EXPECT_EQ(fleet("--config /nonexistent verify --prefix " + a).exitCode, 2) << "the missing configuration";
    EXPECT_EQ(fleet("verify --prefix " + a + " --jobs 3").exitCode, 0);
    const kavrel::test::ProgramRun damaged = fleet("verify --json --prefix " + b);
    EXPECT_EQ(damaged.exitCode, 1) << damaged.err;
    const nlohmann::json report = nlohmann::json::parse(damaged.out, nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << "standard output must be the JSON document alone:\n" << damaged.out;
    EXPECT_EQ(report["whole"], false);
    EXPECT_EQ(report["datasets"][0]["key"], b);
    EXPECT_EQ((damaged.out + damaged.err).find(settings.secret_access_key), std::string::npos);
}

} // namespace
