// The start page: which scenario files it finds and how it lays them out.

#include <QDir>
#include <QGridLayout>
#include <QLabel>

#include "PagesFixture.h"
#include "ScenarioSelectButton.h"
#include "ScenarioSelectWidget.h"

using kavrel::test::PagesTest;

namespace {

// "text path" of each cell of the three-column grid, row by row, up to the
// first empty cell.
QStringList cells(const ScenarioSelectWidget& page)
{
    QStringList result;
    for (int i = 0; QLayoutItem* item = page.buttonGrid()->itemAtPosition(i / 3, i % 3); ++i) {
        const auto* button = qobject_cast<ScenarioSelectButton*>(item->widget());
        result << (button ? button->text() + " " + button->scenarioPath : QStringLiteral("<not a button>"));
    }
    return result;
}

QString text(const ScenarioSelectWidget& page, const char* name)
{
    auto* label = page.findChild<QLabel*>(QString::fromLatin1(name));
    return label ? label->text() : QStringLiteral("<missing>");
}

class ScopedCurrentDir {
public:
    explicit ScopedCurrentDir(const QString& dir) : previous_(QDir::currentPath()) { QDir::setCurrent(dir); }
    ~ScopedCurrentDir() { QDir::setCurrent(previous_); }

private:
    QString previous_;
};

} // namespace

TEST_F(PagesTest, FourScenarioFilesFillTheThreeColumnGrid)
{
    putInSet("scenario_a.yaml", "name: 仓库\nlabel: a\n");
    putInSet("scenario_b.yaml", "name: 厨房\nlabel: b\n");
    putInSet("scenario_c.list.yaml", "scenarios: [{label: c, name: 列表里的名字}]\n");
    putInSet("scenario_d.yaml", "name: 停车场\n");
    // Only scenario*.yaml of the newest set count, in byte order.
    putInSet("tags.yaml", "tag_groups: []\n");
    putInSet("scenario_e.yml", "name: ignored\n");
    put(".config/kavrel/scenario/scenario_20240101_000000/scenario_old.yaml", "name: 旧版本\n");

    ScenarioSelectWidget page;
    const QString set = QString::fromStdString(userDir_) + "/scenario/scenario_20250101_120000/";
    EXPECT_EQ(cells(page), QStringList({
                               "仓库 " + set + "scenario_a.yaml",
                               "厨房 " + set + "scenario_b.yaml",
                               // A list-shaped file has no root name: the file's name up to the first dot is shown.
                               "scenario_c " + set + "scenario_c.list.yaml",
                               "停车场 " + set + "scenario_d.yaml",
                           }));
    EXPECT_EQ(text(page, "label_Version"), "scenario_20250101_120000");
}

TEST_F(PagesTest, EmptyScenarioSetFallsBackToLooseFilesAndNoFilesShowTheHint)
{
    std::filesystem::create_directories(userDir_ + "/scenario/scenario_20250101_120000");
    put(".config/kavrel/scenario_home.yaml", "name: 家里\n");
    const std::string work = home_ + "/work";
    put("work/config/scenario_local.yaml", "name: 本地\n");
    put("work/config/scenario_home.yaml", "name: 本地同名\n");

    ScopedCurrentDir cwd(QString::fromStdString(work));
    ScenarioSelectWidget page;
    const QString user = QString::fromStdString(userDir_);
    const QString local = QDir(QString::fromStdString(work)).canonicalPath() + "/config/";
    EXPECT_EQ(cells(page), QStringList({"家里 " + user + "/scenario_home.yaml", "本地同名 " + local
                                            + "scenario_home.yaml", "本地 " + local + "scenario_local.yaml"}));

    std::filesystem::remove_all(userDir_ + "/scenario");
    ScenarioSelectWidget withoutSet;
    EXPECT_EQ(cells(withoutSet).size(), 3);
    EXPECT_EQ(text(withoutSet, "label_Version"), "N/A");

    // No HOME and no config/ folder: only the hint.
    kavrel::test::ScopedEnv noHome("HOME", std::nullopt);
    ScopedCurrentDir elsewhere(QString::fromStdString(home_));
    ScenarioSelectWidget nothing;
    EXPECT_TRUE(nothing.findChildren<ScenarioSelectButton*>().isEmpty());
    QLayoutItem* item = nothing.buttonGrid()->itemAtPosition(0, 0);
    auto* label = item ? qobject_cast<QLabel*>(item->widget()) : nullptr;
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), QString::fromUtf8("未找到场景配置文件(scenario*.yaml)"));
    EXPECT_EQ(text(nothing, "label_Version"), "null");
}
