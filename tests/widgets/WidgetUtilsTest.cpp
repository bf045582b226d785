// Style loading, the font-size rule, list row buttons and the vector label,
// driven through the real widgets on the offscreen platform.
#include <tuple>

#include <QImage>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "Log.h"
#include "SelectableListItemButton.h"
#include "SvgLabel.h"
#include "ConfigFixture.h"
#include "WidgetUtils.h"

using kavrel::log::LogCapture;

namespace {

using ConfigReset = kavrel::test::FreshConfigTest;

QColor pixel(QWidget& w, int x, int y)
{
    return w.grab().toImage().pixelColor(x, y);
}

} // namespace

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

TEST_F(ConfigReset, SelectedRowLooksChosenAndTogglesBack)
{
    SelectableListItemButton button("标签");
    button.resize(300, 80);
    const QColor idle = pixel(button, 150, 40);
    button.toggleSelected();
    EXPECT_TRUE(button.selected);
    EXPECT_NE(pixel(button, 150, 40), idle);
    button.toggleSelected();
    EXPECT_FALSE(button.selected);
    EXPECT_EQ(pixel(button, 150, 40), idle);
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

TEST(SvgLabelTest, GraphicIsDrawnRotatedAndAMissingOneIsReported)
{
    SvgLabel label;
    label.resize(100, 100);
    QTemporaryDir dir;
    const QString path = dir.filePath("halves.svg");
    kavrel::test::writeFile(path.toStdString(),
        R"(<svg xmlns="http://www.w3.org/2000/svg" width="20" height="20">)"
        R"(<rect x="0" y="0" width="10" height="20" fill="#FF0000"/>)"
        R"(<rect x="10" y="0" width="10" height="20" fill="#0000FF"/></svg>)");
    ASSERT_TRUE(label.setSvg(path));
    EXPECT_EQ(pixel(label, 20, 50), QColor("#FF0000"));
    EXPECT_EQ(pixel(label, 80, 50), QColor("#0000FF"));
    label.setRotation(180);
    EXPECT_EQ(pixel(label, 20, 50), QColor("#0000FF"));
    EXPECT_EQ(pixel(label, 80, 50), QColor("#FF0000"));

    LogCapture capture;
    EXPECT_FALSE(label.setSvg(":/Svg/NoSuchIcon.svg"));
    EXPECT_TRUE(capture.contains("Failed to load SVG::/Svg/NoSuchIcon.svg"));
    EXPECT_FALSE(label.hasSvg());
}
