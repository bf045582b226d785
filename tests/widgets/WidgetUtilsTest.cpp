// Style loading and list row buttons, driven through the real widgets on the
// offscreen platform.
#include <tuple>

#include <QListWidget>

#include <gtest/gtest.h>

#include "Log.h"
#include "SelectableListItemButton.h"
#include "ConfigFixture.h"
#include "WidgetUtils.h"

using ConfigReset = kavrel::test::FreshConfigTest;
using kavrel::log::LogCapture;

TEST(LoadStyles, MissingFileIsLoggedAndTheWidgetKeepsItsStyle)
{
    QWidget w;
    w.setStyleSheet("QWidget { color: #123456; }");
    LogCapture capture;
    WidgetUtils::loadStyles(&w, ":/Qss/NoSuchPage.qss");
    EXPECT_TRUE(capture.contains("Failed to load stylesheet::/Qss/NoSuchPage.qss"));
    EXPECT_EQ(w.styleSheet(), "QWidget { color: #123456; }");
    for (const char* page : {"DataCollectionWidget", "InformationCollectionWidget", "Popupkeyboard"}) {
        LogCapture compiledIn;
        WidgetUtils::loadStyles(&w, QString(":/Qss/%1.qss").arg(page));
        EXPECT_FALSE(compiledIn.contains("Failed to load stylesheet")) << page;
    }
}

TEST_F(ConfigReset, ListRowsAreOwnedByTheListNamedForAssistiveToolsAndFitTheHeight)
{
    EXPECT_EQ(addSelectableListItem(nullptr, "x", true, 50), nullptr);
    fitListItemsToRows(nullptr, 5);

    QListWidget list;
    for (int i = 0; i < 7; ++i)
        addSelectableListItem(&list, QString("row %1").arg(i), i == 1, 56);
    ASSERT_EQ(list.count(), 7);
    auto* second = qobject_cast<SelectableListItemButton*>(list.itemWidget(list.item(1)));
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(second->selected);
    EXPECT_TRUE(list.isAncestorOf(second));
    // Screen readers see the list's cells, not the buttons over them.
    EXPECT_EQ(list.item(1)->data(Qt::AccessibleTextRole).toString(), "row 1");

    // (list height, rows) -> row height: shared out, never below 40; bad input changes nothing.
    for (auto [height, rows, expected] : {std::tuple{150, 5, 40}, {400, 5, 80}, {400, 0, 80}, {0, 5, 80}}) {
        list.resize(300, height);
        fitListItemsToRows(&list, rows);
        EXPECT_EQ(list.item(6)->sizeHint().height(), expected) << height << "/" << rows;
        EXPECT_EQ(list.itemWidget(list.item(6))->minimumHeight(), expected);
    }
}
