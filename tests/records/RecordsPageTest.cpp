// The records page on a card of recorded sessions, and the catalogue's names for their labels.
#include <fstream>

#include <QAccessible>
#include <QLabel>
#include <QListWidget>

#include "CatalogueNames.h"
#include "DialogScript.h"
#include "RecordedSessions.h"
#include "RecordsWidget.h"
#include "SessionFiles.h"
#include "ledger.h"
#include "ui_RecordsWidget.h"

using kavrel::test::waitUntil;
namespace fs = std::filesystem;

namespace {

const char* const kRestroom = R"(label: restroom
name: 卫生间场景
tasks:
  - {label: shared, name: 卫生间共用}
)";

// One file with a `scenarios` list, the named scene second; it reuses the restroom's task label.
const char* const kTwoScenes = R"(scenarios:
  - label: nameless
    tasks:
      - {label: bare}
  - label: kitchen
    name: 家庭厨房
    tasks:
      - {label: cabinet, name: 橱柜内部, part_name: 柜门号}
      - {label: shared, name: 厨房共用}
)";

std::string relativeTo(const std::string& root, const std::string& path)
{
    return fs::relative(path, root).string();
}

bool rowsSettled(const SessionListModel& model)
{
    for (int row = 0; row < model.rowCount(); ++row) {
        const SessionRow* session = model.rowAt(row);
        if (session->frameSets < 0 || session->check == SessionRow::Check::NotChecked)
            return false;
    }
    return model.rowCount() > 0;
}

} // namespace

class RecordsPage : public check_test::RecordedSessions {
protected:
    void SetUp() override
    {
        RecordedSessions::SetUp();
        ledger_.open(dir_.path().toStdString() + "/file_manager.csv", root_);
    }

    // Records a session and puts its row into the ledger, as the capture page does.
    std::string recordAndList(const std::string& mode, int frameSets, int first = 0)
    {
        const std::string session = recordSession(mode, frameSets, first);
        ledger_.add_dir_record(relativeTo(root_, session), "采集");
        return session;
    }

    // A new page showing the card, once `ready` holds for its list.
    void showPage(const std::function<bool(const SessionListModel&)>& ready)
    {
        page_ = std::make_unique<RecordsWidget>();
        page_->setLedger(&ledger_);
        page_->refresh(QString::fromStdString(root_));
        ASSERT_TRUE(waitUntil([&] { return ready(*page_->model()); }, 20000));
    }

    bool inLedger(const std::string& session) const
    {
        const auto names = kavrel::test::ledgerNames(ledger_.csv_file());
        return std::count(names.begin(), names.end(), relativeTo(root_, session)) == 1;
    }

    dataset_ledger ledger_;
    std::unique_ptr<RecordsWidget> page_;
};

TEST_F(RecordsPage, ListsSessionsNewestFirstOpensThemAndDeletesOneOnlyWhenNothingUsesIt)
{
    // The catalogue names the labels the sessions were recorded with.
    kavrel::test::ScratchHome home;
    home.put(".config/kavrel/scenario_s1.yaml", "label: s1\nname: 卫生间场景\ntasks:\n  - {label: t1, name: 洗手台录制}\n");
    const std::string older = recordAndList("continue_record", 3);
    const std::string newer = recordAndList("single_shot", 2, 10);
    ASSERT_NO_FATAL_FAILURE(showPage([](const SessionListModel& m) { return m.rowCount() == 2 && rowsSettled(m); }));
    RecordsWidget& page = *page_;

    const SessionRow* first = page.model()->rowAt(0);
    EXPECT_EQ(first->path.toStdString(), newer) << "newest first";
    EXPECT_EQ(first->frameSets, 2);
    EXPECT_EQ(page.model()->rowAt(1)->frameSets, 3);
    EXPECT_FALSE(first->thumbnail.isNull());
    const QString text = page.model()->data(page.model()->index(0), Qt::DisplayRole).toString();
    EXPECT_TRUE(text.startsWith(QString::fromUtf8("卫生间场景 · 洗手台录制 · 隔间号 p1\n"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QString::fromUtf8("待上传"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QString::fromUtf8("检查通过"))) << text.toStdString();

    // Assistive tools open a session through its row's action, as a tap does.
    page.show();
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(page.ui->listView_Sessions);
    QAccessibleInterface* row = list ? list->child(1) : nullptr;
    ASSERT_TRUE(row && row->actionInterface());
    row->actionInterface()->doAction(row->actionInterface()->actionNames().value(0));
    EXPECT_EQ(page.openSessionPath().toStdString(), older);
    page.on_Btn_BackToList_clicked();

    page.openSession(0);
    EXPECT_TRUE(page.ui->label_SessionTitle->text().startsWith(QString::fromUtf8("卫生间场景 · 洗手台录制")));
    ASSERT_TRUE(waitUntil([&] { return page.ui->listWidget_Images->count() == 2; }));
    EXPECT_TRUE(page.ui->listWidget_Images->item(0)->text().contains("shot10")) << "tags from the manifest";
    EXPECT_TRUE(waitUntil([&] { return !page.ui->label_Depth->pixmap(Qt::ReturnByValue).isNull(); }))
        << "the selected frame's depth is shown in colour";
    EXPECT_TRUE(page.ui->label_Imu->text().contains("200.0 Hz")) << page.ui->label_Imu->text().toStdString();

    // The capture page's open session: KavrelTest.TheRecordsPageKeepsTheSessionTheCapturePageHasOpen.
    kavrel::test::DialogScript script;
    script.decline();
    page.setRecording(true);
    EXPECT_FALSE(page.deleteOpenSession()) << "never while recording";
    ASSERT_EQ(script.confirmationsShown(), 0) << "refused before asking";
    page.setRecording(false);
    page.setUploadBusyCheck([&](const std::string& name) { return name == relativeTo(root_, newer); });
    EXPECT_FALSE(page.deleteOpenSession()) << "never while it uploads";
    EXPECT_EQ(page.ui->label_Status->text(), QString::fromUtf8("正在上传，不能删除"));
    ASSERT_EQ(script.confirmationsShown(), 0) << "refused before asking";
    page.setUploadBusyCheck({});
    EXPECT_FALSE(page.deleteOpenSession());
    EXPECT_TRUE(fs::exists(newer)) << "declined: nothing deleted";

    script.confirm();
    ASSERT_TRUE(page.deleteOpenSession());
    EXPECT_FALSE(fs::exists(newer));
    EXPECT_FALSE(inLedger(newer));
    EXPECT_TRUE(fs::exists(older));
    EXPECT_TRUE(inLedger(older));
    EXPECT_EQ(page.model()->rowCount(), 1);
}

TEST_F(RecordsPage, DamagedSessionsAreListedWithTheirProblems)
{
    const std::string session = recordAndList("continue_record", 2);
    kavrel::test::writeFile(session + "/meta.yaml", "date: [unclosed");
    std::ofstream(session + "/D1/data.json", std::ios::app) << std::string("\0\xff\x01garbage", 10) << "\n";
    cv::imwrite(session + "/D1/depth/" + save_test::timestampAt(1) + ".png", cv::Mat(4, 4, CV_16UC1, cv::Scalar(1)));
    fs::remove(session + "/D1/color/" + save_test::timestampAt(0) + ".png");

    ASSERT_NO_FATAL_FAILURE(showPage(rowsSettled));
    const SessionRow* row = page_->model()->rowAt(0);
    EXPECT_EQ(row->check, SessionRow::Check::Failed);
    EXPECT_GE(row->problems, 4);
    EXPECT_EQ(row->task, "t1") << "the folder names stand in for an unreadable meta.yaml";
    page_->openSession(0);
    ASSERT_TRUE(waitUntil([&] { return page_->ui->listWidget_Problems->count() >= 4; }));
}

TEST_F(RecordsPage, AThousandSessionsAreListedInBatches)
{
    for (int i = 0; i < 1000; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "/20250612-c1-s1/t1/p1/20250612_%06d", i);
        fs::create_directories(root_ + name + "/D1/color");
        kavrel::test::writeFile(root_ + name + "/meta.yaml", "date: 20250612\n");
    }
    ASSERT_NO_FATAL_FAILURE(showPage([](const SessionListModel& m) { return m.sessionCount() == 1000; }));
    SessionListModel& model = *page_->model();
    EXPECT_EQ(model.rowCount(), SessionListModel::kBatch) << "only the first rows are made";
    model.fetchMore({});
    EXPECT_EQ(model.rowCount(), 2 * SessionListModel::kBatch);
    EXPECT_TRUE(waitUntil([&] { return model.rowAt(79)->frameSets == 0; }, 20000))
        << "details of fetched rows arrive from the background";
}

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
        {"kitchen", "cabinet", "3", "家庭厨房 · 橱柜内部 · 柜门号 3"},
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
