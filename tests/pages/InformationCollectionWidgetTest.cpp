// The information page, clicked through as an operator would.

#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTimer>

#include "InformationCollectionWidget.h"
#include "PagesFixture.h"
#include "Popupkeyboard.h"
#include "SelectableListItemButton.h"

using kavrel::test::PagesTest;

namespace {

SelectableListItemButton* rowButton(QListWidget* list, int row)
{
    QListWidgetItem* item = list ? list->item(row) : nullptr;
    return item ? qobject_cast<SelectableListItemButton*>(list->itemWidget(item)) : nullptr;
}

QStringList rowTexts(QListWidget* list)
{
    QStringList texts;
    for (int i = 0; list && i < list->count(); ++i)
        texts << (rowButton(list, i) ? rowButton(list, i)->text() : QStringLiteral("<no button>"));
    return texts;
}

const char* const kTags = R"(tag_groups:
  - {label: light, name: 光照, tags: [{tag: dim, name: 昏暗}, {tag: bright, name: 明亮}]}
  - {label: goods, name: 货物, tags: [{tag: can, name: 罐头}, {tag: box, name: 盒装}, {tag: bag}]}
)";

const char* const kStore = R"(label: store
name: 便利店
tasks:
  - {label: shelf, name: 货架, tag_include: [light, goods], need_part_num: true, part_name: 隔间号,
     devices: [{label: gemini2}, {label: usb_cam}]}
  - {label: door, name: 门口, mode: continue_record, need_part_num: false, shot_interval_ms: 250,
     tag_include: [goods], devices: [{label: gemini2}]}
  - {label: bare, name: 空任务, part_name: ''}
  - {label: cabinet, name: 柜子, part_name: 柜号, tag_include: [light]}
)";

class InformationPageTest : public PagesTest {
protected:
    void SetUp() override
    {
        PagesTest::SetUp();
        config_manager& config = config_manager::instance();
        config.cur_city_ = "SZ";
        config.machine_id_ = "EMP-7";
        putInSet("tags.yaml", kTags);
        scenarioPath_ = putInSet("scenario_store.yaml", kStore);
        ASSERT_TRUE(config.load_task_preview_config(scenarioPath_, ""));
        page_ = std::make_unique<InformationCollectionWidget>();
        page_->setScenario(QString::fromUtf8("便利店"), QString::fromStdString(scenarioPath_));
        page_->reloadTaskList();
        page_->resize(1280, 700);
    }

    template <typename T>
    T* child(const char* name) const
    {
        T* widget = page_->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QListWidget* tasks() const { return child<QListWidget>("listWidget_TaskSelect"); }
    QListWidget* groups() const { return child<QListWidget>("listWidget_TagGroupChoose"); }
    QListWidget* tags() const { return child<QListWidget>("listWidget_SelectTags"); }
    QListWidget* devices() const { return child<QListWidget>("listWidget_Device"); }
    QPushButton* compartment() const { return child<QPushButton>("Btn_InputCompartment"); }
    QPushButton* confirm() const { return child<QPushButton>("Btn_Confirm"); }

    void clickRow(QListWidget* list, int row) const
    {
        SelectableListItemButton* button = rowButton(list, row);
        ASSERT_NE(button, nullptr) << row;
        button->click();
    }

    // Presses `button`, answers the keypad with `keys` and confirm (or cancel); true if it opened.
    static bool pressWithKeypad(QPushButton* button, std::vector<int> keys, bool cancel = false)
    {
        auto answered = std::make_shared<bool>(false);
        QTimer::singleShot(0, [keys, cancel, answered] {
            ASSERT_TRUE(kavrel::test::waitUntil([] { return QApplication::activeModalWidget() != nullptr; }, 3000));
            auto* keyboard = qobject_cast<Popupkeyboard*>(QApplication::activeModalWidget());
            ASSERT_NE(keyboard, nullptr);
            *answered = true;
            for (int key : keys)
                keyboard->key(key)->click();
            if (cancel)
                keyboard->reject();
            else
                keyboard->key(Popupkeyboard::kConfirmKey)->click();
        });
        button->click();
        return *answered;
    }

    std::string scenarioPath_;
    std::unique_ptr<InformationCollectionWidget> page_;
};

} // namespace

TEST_F(InformationPageTest, PickingAScenarioSelectsTheFirstTaskAndGroupAndAnotherGroupClearsTheTags)
{
    EXPECT_EQ(rowTexts(tasks()), QStringList({"货架", "门口", "空任务", "柜子"}));
    EXPECT_TRUE(rowButton(tasks(), 0)->selected);
    EXPECT_TRUE(rowButton(groups(), 0)->selected);
    // Tags in identifier order, none chosen yet.
    EXPECT_EQ(rowTexts(tags()), QStringList({"明亮", "昏暗"}));
    // The mode comes from the task: shown, not chosen.
    EXPECT_FALSE(child<QRadioButton>("radioButton_ContinueShot")->isEnabled());

    clickRow(tags(), 0);
    clickRow(tags(), 1);
    clickRow(tags(), 0);  // a second click takes it back
    EXPECT_EQ(page_->selectedTags(), QStringList({"dim"}));
    EXPECT_EQ(child<QLabel>("label_SelectTagsTitle")->text(), QString::fromUtf8("具体标签(1已选)"));

    clickRow(groups(), 1);
    EXPECT_EQ(rowTexts(tags()), QStringList({"bag", "盒装", "罐头"}));
    EXPECT_TRUE(page_->selectedTags().isEmpty());
}

TEST_F(InformationPageTest, EnterAsksForTheNumberUntilOneIsGivenAndWritesTheCollectionInfo)
{
    QSignalSpy enter(page_.get(), &InformationCollectionWidget::signalEnterDataCollectionRequested);
    EXPECT_TRUE(pressWithKeypad(confirm(), {}));  // confirmed empty
    EXPECT_TRUE(pressWithKeypad(confirm(), {3}, /*cancel=*/true));
    EXPECT_EQ(page_->partNumber(), "");
    EXPECT_TRUE(pressWithKeypad(confirm(), {4, 0, 7, 9}));
    EXPECT_EQ(enter.count(), 0) << "the keypad only fills the number in";
    EXPECT_EQ(compartment()->text(), QString::fromUtf8("隔间号:407")) << "the keypad stops at three digits";

    clickRow(tags(), 1);
    confirm()->click();
    EXPECT_EQ(enter.count(), 1);
    const CollectionInfo info = CollectionContext::instance().collectionInfo();
    EXPECT_EQ(info.machine_id + "|" + info.scene_name + "|" + info.task_name + "|" + info.devices + "|"
            + info.part_number,
        "EMP-7|便利店|货架|gemini2,usb_cam|407");
    EXPECT_EQ(info.session_tags, std::vector<std::string>{"dim"});

    // A stored number is offered again and survives a cancelled edit.
    EXPECT_TRUE(pressWithKeypad(compartment(), {Popupkeyboard::kDeleteKey, 6}, /*cancel=*/true));
    EXPECT_EQ(page_->partNumber(), "407");
    EXPECT_TRUE(pressWithKeypad(compartment(), {Popupkeyboard::kDeleteKey, Popupkeyboard::kDeleteKey, 5}));
    EXPECT_EQ(page_->partNumber(), "45");

    // Toggling a device off removes it, toggling it on again appends it.
    clickRow(devices(), 0);
    confirm()->click();
    EXPECT_EQ(CollectionContext::instance().collectionInfo().devices, "usb_cam");
    clickRow(devices(), 0);
    confirm()->click();
    EXPECT_EQ(CollectionContext::instance().collectionInfo().devices, "usb_cam,gemini2");
}

TEST_F(InformationPageTest, NumberStaysAcrossNumberedTasksAndGoesWithATaskWithoutOne)
{
    EXPECT_TRUE(pressWithKeypad(compartment(), {8}));
    clickRow(tasks(), 3);
    EXPECT_EQ(compartment()->text(), QString::fromUtf8("柜号:8"));
    // Empty caption: the button falls back to "编号".
    clickRow(tasks(), 2);
    EXPECT_EQ(compartment()->text(), QString::fromUtf8("编号:8"));

    clickRow(tasks(), 1);
    EXPECT_TRUE(compartment()->isHidden());
    EXPECT_TRUE(child<QRadioButton>("radioButton_ContinueShot")->isChecked());
    QSignalSpy enter(page_.get(), &InformationCollectionWidget::signalEnterDataCollectionRequested);
    confirm()->click();  // no keypad: nothing to number
    ASSERT_EQ(enter.count(), 1);
    const CollectionInfo info = CollectionContext::instance().collectionInfo();
    EXPECT_EQ(info.part_number, "0");
    EXPECT_EQ(info.shot_interval_ms, 250);

    // The number was dropped with the task that needed none.
    clickRow(tasks(), 0);
    EXPECT_EQ(page_->partNumber(), "");
    EXPECT_FALSE(compartment()->isHidden());
}
