// The two dialogs of the single-shot flow, driven through their real buttons. The operator paths
// test confirms and cancels them; closing and a tag tapped twice are seen here.

#include <gtest/gtest.h>

#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include "ConfirmationDialog.h"
#include "SelectableListItemButton.h"
#include "TagSelectionDialog.h"

namespace {

TEST(Dialogs, TheWindowsCloseKeepsNothingAndATagTappedTwiceIsLeftOff)
{
    QWidget window;
    ConfirmationDialog confirmation("确认保存", "是否保存此次拍照数据?", &window);
    QTimer::singleShot(0, &confirmation, [&] { confirmation.close(); });
    EXPECT_EQ(confirmation.exec(), QDialog::Rejected);
    EXPECT_FALSE(confirmation.confirmed_);

    for (const bool confirm : {true, false}) {
        TagSelectionDialog tags({{"t3", "污渍"}, {"t1", "裂纹"}, {"t2", "水渍"}}, &window);
        QTimer::singleShot(0, &tags, [&] {
            for (int row : {2, 0, 1, 1})  // the second row toggled back off
                tags.items_[row].second->click();
            if (confirm)
                tags.confirmButton_->click();
            else
                tags.close();
        });
        EXPECT_EQ(tags.exec(), confirm ? QDialog::Accepted : QDialog::Rejected);
        using Tags = std::vector<std::string>;
        EXPECT_EQ(tags.selectedTags(), (confirm ? Tags{"t3", "t2"} : Tags{}));
    }
}

} // namespace
