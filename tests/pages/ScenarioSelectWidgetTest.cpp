// The start page: which scenario files it finds and how it lays them out.

#include <QDir>
#include <QGridLayout>
#include <QLabel>

#include "PagesFixture.h"
#include "ScenarioSelectButton.h"
#include "ScenarioSelectWidget.h"

using kavrel::test::PagesTest;

namespace {

QList<ScenarioSelectButton*> buttons(const ScenarioSelectWidget& page)
{
    return page.findChildren<ScenarioSelectButton*>();
}

ScenarioSelectButton* buttonAt(const ScenarioSelectWidget& page, int row, int column)
{
    QLayoutItem* item = page.buttonGrid()->itemAtPosition(row, column);
    return item ? qobject_cast<ScenarioSelectButton*>(item->widget()) : nullptr;
}

QString text(const ScenarioSelectWidget& page, const char* name)
{
    auto* label = page.findChild<QLabel*>(QString::fromLatin1(name));
    return label ? label->text() : QStringLiteral("<missing>");
}

// Runs a block with another working directory.
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
    putInSet("tags.yaml", "tag_groups: []\n");
    putInSet("scenario_e.yml", "name: ignored\n");
    put(".config/kavrel/scenario/scenario_20240101_000000/scenario_old.yaml", "name: 旧版本\n");

    ScenarioSelectWidget page;
    ASSERT_EQ(buttons(page).size(), 4);
    const std::string set = userDir_ + "/scenario/scenario_20250101_120000/";
    const std::vector<std::pair<QString, std::string>> expected = {
        {QString::fromUtf8("仓库"), set + "scenario_a.yaml"},
        {QString::fromUtf8("厨房"), set + "scenario_b.yaml"},
        // A list-shaped file has no root name: the file's name up to the first dot is shown.
        {QStringLiteral("scenario_c"), set + "scenario_c.list.yaml"},
        {QString::fromUtf8("停车场"), set + "scenario_d.yaml"},
    };
    for (int i = 0; i < 4; ++i) {
        ScenarioSelectButton* button = buttonAt(page, i / 3, i % 3);
        ASSERT_NE(button, nullptr) << i;
        EXPECT_EQ(button->text(), expected[i].first);
        EXPECT_EQ(button->scenarioPath.toStdString(), expected[i].second);
    }
    EXPECT_EQ(text(page, "label_Version"), "scenario_20250101_120000");
}

TEST_F(PagesTest, EmptyScenarioSetFallsBackToLooseFiles)
{
    std::filesystem::create_directories(userDir_ + "/scenario/scenario_20250101_120000");
    put(".config/kavrel/scenario_home.yaml", "name: 家里\n");
    put(".config/kavrel/scenario_x.yml", "name: no\n");
    const std::string work = home_ + "/work";
    put("work/config/scenario_local.yaml", "name: 本地\n");
    put("work/config/scenario_home.yaml", "name: 本地同名\n");

    ScopedCurrentDir cwd(QString::fromStdString(work));
    ScenarioSelectWidget page;
    ASSERT_EQ(buttons(page).size(), 3);
    EXPECT_EQ(buttonAt(page, 0, 0)->text(), QString::fromUtf8("家里"));
    EXPECT_EQ(buttonAt(page, 0, 0)->scenarioPath.toStdString(), userDir_ + "/scenario_home.yaml");
    EXPECT_EQ(buttonAt(page, 0, 1)->text(), QString::fromUtf8("本地同名"));
    EXPECT_EQ(buttonAt(page, 0, 2)->text(), QString::fromUtf8("本地"));

    std::filesystem::remove_all(userDir_ + "/scenario");
    ScenarioSelectWidget withoutSet;
    EXPECT_EQ(buttons(withoutSet).size(), 3);
    EXPECT_EQ(text(withoutSet, "label_Version"), "N/A");
}

TEST_F(PagesTest, NoScenarioFilesShowsTheEmptyLabel)
{
    kavrel::test::ScopedEnv noHome("HOME", std::nullopt);
    ScopedCurrentDir cwd(QString::fromStdString(home_));  // no config/ folder here
    ScenarioSelectWidget page;
    EXPECT_TRUE(buttons(page).isEmpty());
    QLayoutItem* item = page.buttonGrid()->itemAtPosition(0, 0);
    ASSERT_NE(item, nullptr);
    auto* label = qobject_cast<QLabel*>(item->widget());
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), QString::fromUtf8("未找到场景配置文件(scenario*.yaml)"));
    EXPECT_EQ(text(page, "label_Version"), "null");
}
