// The main window: its header, its page stack and the moves between pages.

#include <QLabel>
#include <QStackedWidget>

#include "InformationCollectionWidget.h"
#include "Kavrel.h"
#include "PagesFixture.h"
#include "ScenarioSelectButton.h"

using kavrel::test::PagesTest;
using kavrel::test::rowTexts;

namespace {

class KavrelTest : public PagesTest {
protected:
    void SetUp() override
    {
        PagesTest::SetUp();
        putInSet("tags.yaml", "tag_groups: [{label: g, name: 组, tags: [{tag: t1}]}]\n");
        goodPath_ = putInSet("scenario_a.yaml", R"(label: yard
name: 院子
tasks:
  - {label: gate, name: 大门, tag_include: [g], need_part_num: false, devices: [{label: gemini2}]}
  - {label: wall, name: 围墙}
)");
        brokenPath_ = putInSet("scenario_b.yaml", "label: yard\ntasks: [unclosed\n");
        window_ = std::make_unique<Kavrel>();
    }

    ScenarioSelectButton* button(const std::string& path) const
    {
        for (ScenarioSelectButton* b : window_->findChildren<ScenarioSelectButton*>()) {
            if (b->scenarioPath.toStdString() == path)
                return b;
        }
        ADD_FAILURE() << "no button for " << path;
        return nullptr;
    }
    QString label(const char* name) const
    {
        auto* widget = window_->findChild<QLabel*>(QString::fromLatin1(name));
        return widget ? widget->text() : QStringLiteral("<missing>");
    }

    std::string goodPath_;
    std::string brokenPath_;
    std::unique_ptr<Kavrel> window_;
};

} // namespace

TEST_F(KavrelTest, ScenarioToInformationToCaptureAndBack)
{
    button(goodPath_)->click();
    EXPECT_EQ(window_->currentPageIndex(), 1);
    InformationCollectionWidget* info = window_->informationPage();
    EXPECT_EQ(info->findChild<QLabel*>("label_Scenario")->text(), QString::fromUtf8("院子"));
    EXPECT_EQ(rowTexts(info->findChild<QListWidget*>("listWidget_TaskSelect")),
              QStringList({"大门", "围墙"}));
    // The scenario folder's tags.yaml was merged.
    EXPECT_EQ(rowTexts(info->findChild<QListWidget*>("listWidget_TagGroupChoose")), QStringList({"组"}));

    info->findChild<QPushButton*>("Btn_Confirm")->click();
    EXPECT_EQ(window_->currentPageIndex(), 2);
    EXPECT_EQ(CollectionContext::instance().collectionInfo().task_label, "gate");

    // Back from the information page to the scenarios.
    window_->findChild<QStackedWidget*>("stackedWidget")->setCurrentIndex(1);
    info->findChild<QPushButton*>("pushButton_BackToScenarioSelect")->click();
    EXPECT_EQ(window_->currentPageIndex(), 0);
}

TEST_F(KavrelTest, BrokenScenarioStaysOnTheStartPage)
{
    ScenarioSelectButton* broken = button(brokenPath_);
    ASSERT_NE(broken, nullptr);
    EXPECT_EQ(broken->text(), "scenario_b");
    broken->click();
    EXPECT_EQ(window_->currentPageIndex(), 0);
    EXPECT_EQ(log_.count("load_task_preview_config parse error: scenario yaml parse error, path=" + brokenPath_), 1);
    EXPECT_EQ(log_.count("Failed to load scenario config: " + brokenPath_), 1);

    // A good pick after a broken one still works, and a broken pick later
    // empties the stored catalogue while the window stays where it is.
    button(goodPath_)->click();
    EXPECT_EQ(window_->currentPageIndex(), 1);
    window_->onScenarioSelected("x", QString::fromStdString(brokenPath_));
    EXPECT_EQ(window_->currentPageIndex(), 1);
    EXPECT_TRUE(config_manager::instance().task_preview_.tasks.empty());

    // A scenario without a name reads "undefine".
    window_->onScenarioSelected(QString(), QString::fromStdString(goodPath_));
    EXPECT_EQ(window_->informationPage()->findChild<QLabel*>("label_Scenario")->text(), "undefine");
}
