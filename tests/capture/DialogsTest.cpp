// The two dialogs of the single-shot flow, driven through their real buttons.

#include <gtest/gtest.h>

#include <QApplication>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include "ConfirmationDialog.h"
#include "SelectableListItemButton.h"
#include "TagSelectionDialog.h"
#include "TestSupport.h"
#include "config_manager.h"

namespace {

// Runs `action` once the dialog's event loop is running, so exec() returns.
template <typename Action>
void whenShown(QDialog& dialog, Action action)
{
    QTimer::singleShot(0, &dialog, [&dialog, action] {
        ASSERT_TRUE(dialog.isVisible());
        action();
    });
}

class DialogsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        config_manager::instance().resetForTest();
        window_.resize(1280, 800);
    }
    void TearDown() override { config_manager::instance().resetForTest(); }

    QWidget window_;
};

TEST_F(DialogsTest, ConfirmationAnswersYesOnlyThroughItsConfirmButton)
{
    enum class Answer { Confirm, Cancel, Close };  // Close: the window's own control
    for (const Answer answer : {Answer::Confirm, Answer::Cancel, Answer::Close}) {
        SCOPED_TRACE(static_cast<int>(answer));
        ConfirmationDialog dialog("确认保存", "是否保存此次拍照数据?", &window_);
        whenShown(dialog, [&] {
            if (answer == Answer::Close)
                dialog.close();
            else
                (answer == Answer::Confirm ? dialog.confirmButton_ : dialog.cancelButton_)->click();
        });
        const bool yes = answer == Answer::Confirm;
        EXPECT_EQ(dialog.exec(), yes ? QDialog::Accepted : QDialog::Rejected);
        EXPECT_EQ(dialog.confirmed_, yes);
    }
}

TEST_F(DialogsTest, TagDialogReturnsTheToggledValuesInDisplayOrder)
{
    TagSelectionDialog dialog({{"t3", "污渍"}, {"t1", "裂纹"}, {"t2", "水渍"}}, &window_);
    ASSERT_EQ(dialog.items_.size(), 3u);
    ASSERT_EQ(dialog.listWidget_->count(), 3);
    // Rows show the label; the value is what is stored.
    EXPECT_EQ(dialog.items_[0].second->text(), QString::fromUtf8("污渍"));
    EXPECT_EQ(dialog.listWidget_->itemWidget(dialog.listWidget_->item(2)), dialog.items_[2].second);

    whenShown(dialog, [&] {
        dialog.items_[2].second->click();
        dialog.items_[0].second->click();
        dialog.items_[1].second->click();
        dialog.items_[1].second->click();  // toggled back off
        dialog.confirmButton_->click();
    });
    EXPECT_EQ(dialog.exec(), QDialog::Accepted);
    EXPECT_EQ(dialog.selectedTags(), (std::vector<std::string>{"t3", "t2"}));
}

TEST_F(DialogsTest, TagDialogClosedOrCancelledGivesNoTags)
{
    TagSelectionDialog dialog({{"a", "A"}, {"b", "B"}}, &window_);
    whenShown(dialog, [&] { dialog.close(); });
    EXPECT_EQ(dialog.exec(), QDialog::Rejected);
    EXPECT_TRUE(dialog.selectedTags().empty());

    TagSelectionDialog cancelled({{"a", "A"}, {"b", "B"}}, &window_);
    EXPECT_EQ(cancelled.cancelButton_->text(), QString::fromUtf8("取消"));
    whenShown(cancelled, [&] {
        cancelled.items_[1].second->click();
        cancelled.cancelButton_->click();
    });
    EXPECT_EQ(cancelled.exec(), QDialog::Rejected);
    EXPECT_TRUE(cancelled.selectedTags().empty()) << "取消 keeps no extra tags";
}

TEST(PopupTagCandidates, LeaveOutTheTagsChosenOnTheInformationPage)
{
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {"scratch", "划痕"}, {"stain", "污渍"}, {"crack", "裂纹"}};
    EXPECT_EQ(popupTagCandidates(pairs, {"stain"}),
        (std::vector<TagSelectionDialog::Candidate>{{"scratch", "划痕"}, {"crack", "裂纹"}}));
    EXPECT_EQ(popupTagCandidates(pairs, {}), pairs);
    EXPECT_TRUE(popupTagCandidates(pairs, {"crack", "scratch", "stain"}).empty());
    EXPECT_TRUE(popupTagCandidates({}, {"x"}).empty());
}

} // namespace
