// The two dialogs of the single-shot flow, driven through their real buttons.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
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
    {
        ConfirmationDialog dialog("确认保存", "是否保存此次拍照数据?", &window_);
        whenShown(dialog, [&] { dialog.confirmButton_->click(); });
        EXPECT_EQ(dialog.exec(), QDialog::Accepted);
        EXPECT_TRUE(dialog.confirmed_);
    }
    {
        ConfirmationDialog dialog("确认保存", "是否保存此次拍照数据?", &window_);
        whenShown(dialog, [&] { dialog.cancelButton_->click(); });
        EXPECT_EQ(dialog.exec(), QDialog::Rejected);
        EXPECT_FALSE(dialog.confirmed_);
    }
    {
        // The window's close control: rejected, and the flag stays false.
        ConfirmationDialog dialog("错误", "未检测到 TF 卡!", &window_);
        whenShown(dialog, [&] { dialog.close(); });
        EXPECT_EQ(dialog.exec(), QDialog::Rejected);
        EXPECT_FALSE(dialog.confirmed_);
    }
}

TEST_F(DialogsTest, ConfirmationShowsItsTextsAndIsAThirdOfTheWindow)
{
    ConfirmationDialog dialog("确认保存", "是否保存此次拍照数据?", &window_);
    EXPECT_EQ(dialog.windowTitle(), QString::fromUtf8("确认保存"));
    EXPECT_TRUE(dialog.isModal());
    EXPECT_EQ(dialog.messageLabel_->text(), QString::fromUtf8("是否保存此次拍照数据?"));
    EXPECT_TRUE(dialog.messageLabel_->wordWrap());
    EXPECT_EQ(dialog.confirmButton_->text(), QString::fromUtf8("确认"));
    EXPECT_EQ(dialog.cancelButton_->text(), QString::fromUtf8("取消"));
    EXPECT_EQ(dialog.minimumSize(), QSize(426, 266));
    EXPECT_EQ(dialog.size(), QSize(426, 266));
    EXPECT_GE(dialog.confirmButton_->minimumWidth(), 80);
    EXPECT_GE(dialog.cancelButton_->minimumHeight(), 40);
}

TEST_F(DialogsTest, ConfirmationFontFollowsTheConfiguredSize)
{
    config_manager::instance().font_size_px_ = 24;
    ConfirmationDialog sized("t", "m", &window_);
    EXPECT_EQ(sized.messageLabel_->font().pixelSize(), 24);
    EXPECT_EQ(sized.confirmButton_->font().pixelSize(), 24);

    for (int bad : {0, -5}) {
        config_manager::instance().font_size_px_ = bad;
        ConfirmationDialog fallback("t", "m", &window_);
        EXPECT_EQ(fallback.messageLabel_->font().pixelSize(), 36) << bad;
        EXPECT_EQ(fallback.cancelButton_->font().pixelSize(), 36) << bad;
    }
}

TEST_F(DialogsTest, ConfirmationWithoutParentUsesTheScreen)
{
    ConfirmationDialog dialog("t", "m", nullptr);
    const QSize screen = QGuiApplication::primaryScreen()->availableGeometry().size();
    EXPECT_EQ(dialog.minimumSize(), QSize(screen.width() / 3, screen.height() / 3));
}

TEST_F(DialogsTest, TagDialogIsFourFifthsOfTheWindow)
{
    TagSelectionDialog dialog({{"a", "A"}}, &window_);
    EXPECT_EQ(dialog.windowTitle(), QString::fromUtf8("选择标签"));
    EXPECT_EQ(dialog.minimumSize(), QSize(1024, 640));
    EXPECT_EQ(dialog.size(), QSize(1024, 640));
    EXPECT_GE(dialog.listWidget_->minimumHeight(), 520);
    EXPECT_EQ(dialog.listWidget_->selectionMode(), QAbstractItemView::NoSelection);
    EXPECT_EQ(dialog.confirmButton_->text(), QString::fromUtf8("确认"));

    QWidget small;
    small.resize(300, 200);
    TagSelectionDialog tiny({{"a", "A"}}, &small);
    EXPECT_EQ(tiny.listWidget_->minimumHeight(), 200);
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

TEST_F(DialogsTest, TagDialogFitsFiveRowsOnceShown)
{
    std::vector<TagSelectionDialog::Candidate> candidates;
    for (int i = 0; i < 8; ++i)
        candidates.emplace_back("v" + std::to_string(i), "label " + std::to_string(i));
    TagSelectionDialog dialog(candidates, &window_);
    dialog.show();
    kavrel::test::processEventsFor(150);
    const int expected = std::max(40, dialog.listWidget_->height() / 5);
    EXPECT_GE(dialog.listWidget_->height(), 520);
    for (int row = 0; row < dialog.listWidget_->count(); ++row)
        EXPECT_EQ(dialog.listWidget_->item(row)->sizeHint().height(), expected);
    EXPECT_EQ(dialog.items_[7].second->minimumHeight(), expected);
    dialog.close();
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
