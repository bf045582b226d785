// The two dialogs of the single-shot flow, driven through their real buttons.

#include <gtest/gtest.h>

#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include "ConfirmationDialog.h"
#include "SelectableListItemButton.h"
#include "TagSelectionDialog.h"

namespace {

enum Answer { Confirm, Cancel, Close };  // Close: the window's own control

// Once the dialog's event loop runs (so exec() returns): `before`, then the answer.
template <typename Dialog, typename Action>
void answerWhenShown(Dialog& dialog, Answer answer, Action before)
{
    QTimer::singleShot(0, &dialog, [&dialog, answer, before] {
        ASSERT_TRUE(dialog.isVisible());
        before();
        if (answer == Close)
            dialog.close();
        else
            (answer == Confirm ? dialog.confirmButton_ : dialog.cancelButton_)->click();
    });
}

// The operator paths test confirms and cancels; closing and a tag tapped twice are seen here.
TEST(Dialogs, OnlyTheConfirmButtonKeepsTheSnapshotAndTheTagsLeftOn)
{
    QWidget window;
    for (const Answer answer : {Confirm, Cancel, Close}) {
        SCOPED_TRACE(answer);
        const bool yes = answer == Confirm;
        ConfirmationDialog confirmation("确认保存", "是否保存此次拍照数据?", &window);
        answerWhenShown(confirmation, answer, [] {});
        EXPECT_EQ(confirmation.exec(), yes ? QDialog::Accepted : QDialog::Rejected);
        EXPECT_EQ(confirmation.confirmed_, yes);

        TagSelectionDialog tags({{"t3", "污渍"}, {"t1", "裂纹"}, {"t2", "水渍"}}, &window);
        answerWhenShown(tags, answer, [&] {
            for (int row : {2, 0, 1, 1})  // the second row toggled back off
                tags.items_[row].second->click();
        });
        EXPECT_EQ(tags.exec(), yes ? QDialog::Accepted : QDialog::Rejected);
        const std::vector<std::string> kept = yes ? std::vector<std::string>{"t3", "t2"} : std::vector<std::string>{};
        EXPECT_EQ(tags.selectedTags(), kept);
    }
}

} // namespace
