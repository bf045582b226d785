// The two dialogs of the single-shot flow, driven through their real buttons.

#include <gtest/gtest.h>

#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include "ConfirmationDialog.h"
#include "SelectableListItemButton.h"
#include "TagSelectionDialog.h"
#include "TestSupport.h"
#include "config_manager.h"

namespace {

enum Answer { Confirm, Cancel, Close };  // Close: the window's own control

// Once the dialog's event loop runs (so exec() returns): `before`, then the answer.
template <typename Dialog, typename Action>
void answerWhenShown(Dialog& dialog, Answer answer, Action before)
{
    QTimer::singleShot(0, &dialog, [&dialog, answer, before] {
        ASSERT_TRUE(dialog.isVisible());
        before();
        if (answer == Answer::Close)
            dialog.close();
        else
            (answer == Answer::Confirm ? dialog.confirmButton_ : dialog.cancelButton_)->click();
    });
}

class DialogsTest : public ::testing::TestWithParam<Answer> {
protected:
    void SetUp() override { config_manager::instance().resetForTest(); }
    void TearDown() override { config_manager::instance().resetForTest(); }

    QWidget window_;
};

TEST_P(DialogsTest, ConfirmationAnswersYesOnlyThroughItsConfirmButton)
{
    ConfirmationDialog dialog("确认保存", "是否保存此次拍照数据?", &window_);
    answerWhenShown(dialog, GetParam(), [] {});
    const bool yes = GetParam() == Answer::Confirm;
    EXPECT_EQ(dialog.exec(), yes ? QDialog::Accepted : QDialog::Rejected);
    EXPECT_EQ(dialog.confirmed_, yes);
}

TEST_P(DialogsTest, TagDialogGivesTheToggledValuesInDisplayOrderOnlyOnConfirm)
{
    TagSelectionDialog dialog({{"t3", "污渍"}, {"t1", "裂纹"}, {"t2", "水渍"}}, &window_);
    ASSERT_EQ(dialog.items_.size(), 3u);
    // Rows show the label; the value is what is stored.
    EXPECT_EQ(dialog.items_[0].second->text(), QString::fromUtf8("污渍"));
    answerWhenShown(dialog, GetParam(), [&] {
        dialog.items_[2].second->click();
        dialog.items_[0].second->click();
        dialog.items_[1].second->click();
        dialog.items_[1].second->click();  // toggled back off
    });
    const bool yes = GetParam() == Answer::Confirm;
    EXPECT_EQ(dialog.exec(), yes ? QDialog::Accepted : QDialog::Rejected);
    const std::vector<std::string> expected = yes ? std::vector<std::string>{"t3", "t2"} : std::vector<std::string>{};
    EXPECT_EQ(dialog.selectedTags(), expected) << "取消 and closing keep no extra tags";
}

INSTANTIATE_TEST_SUITE_P(Answers, DialogsTest, ::testing::Values(Answer::Confirm, Answer::Cancel, Answer::Close));

} // namespace
