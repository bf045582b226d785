// The start page (which scenario files it finds and how it lays them out) and
// the main window: its header, its page stack and the moves between pages.

#include <filesystem>

#include <QDir>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include "CaptureSession.h"
#include "CollectionContext.h"
#include "DataCollectionWidget.h"
#include "DialogScript.h"
#include "InformationCollectionWidget.h"
#include "Kavrel.h"
#include "RecordsWidget.h"
#include "PagesFixture.h"
#include "ScenarioSelectButton.h"
#include "ScenarioSelectWidget.h"
#include "Startup.h"
#include "file_manager.h"

using kavrel::test::PagesTest;

namespace {

// "text path" of each button of the three-column grid, row by row, or a label's text.
QStringList cells(const ScenarioSelectWidget& page)
{
    QStringList result;
    for (int i = 0; QLayoutItem* item = page.buttonGrid()->itemAtPosition(i / 3, i % 3); ++i) {
        const auto* button = qobject_cast<ScenarioSelectButton*>(item->widget());
        const auto* label = qobject_cast<QLabel*>(item->widget());
        result << (button ? button->text() + " " + button->scenarioPath : label ? label->text() : "<other>");
    }
    result.removeDuplicates();  // a label spanning the row fills each of its cells
    return result;
}

QString text(const QWidget& page, const char* name)
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

class KavrelTest : public PagesTest {
protected:
    void SetUp() override
    {
        PagesTest::SetUp();
        goodPath_ = putInSet("scenario_a.yaml",
            "label: yard\ntasks: [{label: gate, need_part_num: false, devices: [{label: gemini2}]}]\n");
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
    QString label(const char* name) const { return text(*window_, name); }

    std::string goodPath_;
    std::string brokenPath_;
    std::unique_ptr<Kavrel> window_;
};

} // namespace

TEST_F(KavrelTest, HeaderShowsTheConfigurationAndTheBoard)
{
    KAVREL_SKIP_CHILD_PROCESSES_UNDER_EMULATION();
    auto& config = config_manager::instance();
    config.city_list_ = {{"SZ", "深圳"}, {"BJ", "北京"}};
    config.cur_city_ = "BJ";
    window_->refreshHeader();
    EXPECT_EQ(label("label_CityValue"), QString::fromUtf8("北京 (BJ)"));
    config.cur_city_ = "GZ";  // not in the list: the code alone
    window_->refreshHeader();
    EXPECT_EQ(label("label_CityValue"), "GZ");
    EXPECT_NE(label("label_VncIpValue"), "127.0.0.1") << "loopback is not an address to reach the board at";

    // The NTP state is asked again (every minute) without blocking the window.
    for (const auto& [command, shows] : {std::pair{QStringList{"sh", "-c", "echo yes"}, "已同步"},
             {QStringList{"no-such-program-here"}, "未同步"}, {QStringList{"sh", "-c", "echo yes"}, "已同步"}}) {
        window_->checkNtpAgain(command.front(), command.mid(1));
        EXPECT_TRUE(kavrel::test::waitUntil([&] { return label("label_SyncStatus") == QString::fromUtf8(shows); }, 5000))
            << command.join(' ').toStdString();
        // The fleet status reads the same state as the header.
        EXPECT_EQ(ntpSynchronizedAtLastCheck(), std::string(shows) == "已同步");
    }
}

TEST_F(KavrelTest, BrokenScenarioStaysOnTheStartPage)
{
    button(brokenPath_)->click();
    EXPECT_EQ(window_->currentPageIndex(), 0);
    EXPECT_EQ(log_.count("Failed to load scenario config: " + brokenPath_), 1);
}

// Scenario to information to capture: EndToEnd. A session the capture page has open (stopped, not finished)
// is not deleted until finished.
TEST_F(KavrelTest, TheRecordsPageOpensExceptWhileRecordingKeepsTheOpenSessionAndGoesBackWhereItCameFrom)
{
    const std::string root = home_ + "/card";
    std::filesystem::create_directories(root);
    CollectionContext::instance().setStorageRoot(root);
    file_manager::instance().init(home_ + "/file_manager.csv", root);
    button(goodPath_)->click();
    window_->informationPage()->findChild<QPushButton*>("Btn_Confirm")->click();
    CaptureSession* capture = window_->dataCollectionPage()->captureSession();
    capture->start();
    capture->stop();
    ASSERT_TRUE(kavrel::test::waitUntil([&] { return capture->pendingRuns() == 0; }, 10000));
    const std::string open = capture->openFolder().toStdString();
    ASSERT_FALSE(open.empty());

    QPushButton* records = window_->recordsButton();
    emit window_->dataCollectionPage()->signalRecordingStateChanged(true);
    EXPECT_FALSE(records->isEnabled());
    emit window_->dataCollectionPage()->signalRecordingStateChanged(false);
    ASSERT_TRUE(records->isEnabled());
    records->click();
    ASSERT_EQ(window_->currentPageIndex(), 3);
    RecordsWidget* page = window_->recordsPage();
    ASSERT_TRUE(kavrel::test::waitUntil([&] { return page->model()->rowCount() == 1; }, 10000));
    page->openSession(0);
    ASSERT_EQ(page->openSessionPath().toStdString(), open);
    kavrel::test::DialogScript script;
    script.confirm();
    EXPECT_FALSE(page->deleteOpenSession()) << "refused while the capture page has it open";
    capture->finish();
    EXPECT_TRUE(page->deleteOpenSession()) << "a finished session may go";
    EXPECT_FALSE(std::filesystem::exists(open));

    page->on_Btn_Back_clicked();
    EXPECT_EQ(window_->currentPageIndex(), 2);
    auto* back = window_->dataCollectionPage()->findChild<QPushButton*>("Btn_BackToInfo");
    ASSERT_TRUE(kavrel::test::waitUntil([&] { return back->isEnabled(); }, 5000));
    back->click();
    EXPECT_EQ(window_->currentPageIndex(), 1);
    window_->informationPage()->findChild<QPushButton*>("pushButton_BackToScenarioSelect")->click();
    EXPECT_EQ(window_->currentPageIndex(), 0);
}

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
    const QString set = QString::fromStdString(userDir_) + "/scenario/scenario_20250101_120000/";

    ScenarioSelectWidget page;
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
    ScopedCurrentDir elsewhere(QString::fromStdString(home_));  // no config/ folder here
    ScenarioSelectWidget page;
    EXPECT_EQ(cells(page), QStringList({"家里 " + QString::fromStdString(userDir_) + "/scenario_home.yaml"}));
    std::filesystem::remove_all(userDir_ + "/scenario");
    ScenarioSelectWidget withoutSet;
    EXPECT_EQ(text(withoutSet, "label_Version"), "N/A");

    // No HOME and no config/ folder: only the hint.
    kavrel::test::ScopedEnv noHome("HOME", std::nullopt);
    ScenarioSelectWidget nothing;
    EXPECT_EQ(cells(nothing), QStringList({QString::fromUtf8("未找到场景配置文件(scenario*.yaml)")}));
    EXPECT_EQ(text(nothing, "label_Version"), "null");
}
