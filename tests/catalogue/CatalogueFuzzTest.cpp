// Hostile and damaged catalogue files: the loader answers true or false and
// never crashes, hangs or throws.

#include <random>

#include "CatalogueFixture.h"

using kavrel::test::CatalogueTest;

namespace {

const std::vector<std::string>& hostileDocuments()
{
    static const std::vector<std::string> documents = {
        "scenarios: &s [*s]\n",
        "label: s\ntasks: &t [*t]\n",
        "label: s\ntasks: [&t {label: a, tag_include: *t, devices: *t}]\n",
        "label: s\ntasks: [{label: t, tag_include: &g [*g, a]}]\n",
        "&root {label: s, tasks: [*root]}\n",
        "tag_groups: &g [{label: a, tags: *g}]\n",
        "tag_groups: [{label: a, tags: [&x {tag: *x, name: *x}]}]\n",
        std::string(5000, '[') + std::string(5000, ']'),
        std::string(20000, '{'),
        [] { std::string s; for (int i = 0; i < 3000; ++i) s += std::string(i % 200, ' ') + "- a:\n"; return s; }(),
        [] { std::string s; for (int i = 0; i < 2000; ++i) s += "- "; return s + "x\n"; }(),
        "label: s\ntasks: [{label: t, shot_interval_ms: 1" + std::string(400, '9') + "}]\n",
        "label: s\ntasks: [{label: t, need_part_num: 1" + std::string(400, '9') + "}]\n",
        "label: s\ntasks: [{label: t, shot_interval_ms: -.inf, need_part_num: .nan}]\n",
        "label: !!binary aGVsbG8=\ntasks: [{label: !!int 12}]\n",
        "label: s\ntasks: [{? [complex, key] : value, label: t}]\n",
        "label: s\n? label\n: twice\ntasks: [{label: t}]\n",
        "--- {label: a, tasks: [{label: t}]}\n--- {label: b}\n",
        "%YAML 1.2\n---\nlabel: s\ntasks: [{label: t}]\n...\n",
        "label: s\ntasks:\n\t- label: t\n",
        "label: \"\\u0000\\xff\"\ntasks: [{label: \"\\0\"}]\n",
        std::string("label: s\0tasks: [x]\n", 20),
        "\xEF\xBB\xBFlabel: s\ntasks: [{label: t}]\n",
        "\xFF\xFE\x00l\x00a\x00",
        "label: s\ntasks: [{label: t, devices: [{label: [a]}, {name: {b: c}}, ~, {label: *undefined}]}]\n",
        "scenarios: 5\nlabel: s\ntasks: [{label: t}]\n",
        "scenarios: {label: inner}\nlabel: outer\ntasks: [{label: t}]\n",
        "tag_groups: 7\n",
        "tag_groups: [[{label: a}], {label: {x: y}}, {label: ok, tags: {tag: notalist}}]\n",
    };
    return documents;
}

} // namespace

TEST_F(CatalogueTest, HostileDocumentsNeverCrashTheLoader)
{
    const std::string tags = put("f/tags.yaml", kavrel::test::kKitchenTags);
    for (const std::string& document : hostileDocuments()) {
        const std::string scenario = put("f/scenario.yaml", document);
        const bool loaded = load(scenario);
        EXPECT_TRUE(loaded || !error_.empty()) << document.substr(0, 80);
        EXPECT_TRUE(!loaded || !result_.tasks.empty()) << "a load without tasks";
    }
    // The same documents as tag files: skipped or merged, the load goes on.
    const std::string scenario = put("f/scenario.yaml", kavrel::test::kKitchenScenario);
    for (const std::string& document : hostileDocuments()) {
        put("f/tags.yaml", document);
        EXPECT_TRUE(load(scenario, tags)) << document.substr(0, 80) << ": " << error_;
        EXPECT_EQ(result_.tasks.size(), 2u);
    }
}

TEST_F(CatalogueTest, DamagedCopiesOfAValidCatalogueNeverCrash)
{
    std::mt19937 random(20240305);  // fixed seed: a failure is reproducible
    const std::string scenarioText = kavrel::test::kKitchenScenario;
    const std::string tagText = kavrel::test::kKitchenTags;
    const std::string alphabet = "[]{}:-,&*!?|>'\"#\n \t%@`~0123456789abcxyz\xE5\x9C\xBA";
    auto damage = [&](std::string text) {
        const int edits = 1 + static_cast<int>(random() % 6);
        for (int e = 0; e < edits && !text.empty(); ++e) {
            const std::size_t at = random() % text.size();
            switch (random() % 4) {
            case 0: text[at] = alphabet[random() % alphabet.size()]; break;
            case 1: text.erase(at, 1 + random() % 8); break;
            case 2: text.insert(at, 1, alphabet[random() % alphabet.size()]); break;
            default: text.resize(at); break;
            }
        }
        return text;
    };
    int loaded = 0;
    for (int round = 0; round < 400; ++round) {
        const std::string scenario = put("d/scenario.yaml", damage(scenarioText));
        put("d/tags.yaml", round % 2 ? damage(tagText) : tagText);
        if (load(scenario)) {
            ++loaded;
            EXPECT_FALSE(result_.tasks.empty());
            for (const auto& task : result_.tasks)
                EXPECT_TRUE(result_.task_previews.count(task["label"].get<std::string>()));
        } else {
            EXPECT_FALSE(error_.empty());
            EXPECT_TRUE(result_.empty());
        }
    }
    // Most damage still leaves a loadable file; the rounds exercised both roads.
    EXPECT_GT(loaded, 0);
    EXPECT_LT(loaded, 400);
}
