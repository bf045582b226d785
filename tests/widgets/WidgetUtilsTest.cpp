// Style loading and list row buttons, driven through the real widgets on the
// offscreen platform.
#include <functional>
#include <tuple>
#include <vector>

#include <QAccessible>
#include <QGuiApplication>
#include <QListWidget>
#include <QScreen>
#include <QTest>

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

TEST(FontSize, ASizeTooLargeForTheScreenIsMadeSmallerInProportion)
{
    struct Case {
        int configured, width, height, expected;
    };
    const Case cases[] = {
        {36, 1024, 600, 36},   // the panel the pages are laid out for
        {36, 800, 480, 28},    // 800/1024 of it
        {36, 1280, 400, 24},   // the shorter side decides
        {48, 1024, 600, 36},   // larger than the panel takes
        {24, 800, 480, 24},    // small enough already
        {60, 1920, 1080, 60},
        {36, 320, 240, 14},    // never below readable
        {36, 0, 0, 36},        // no screen known: as configured
    };
    for (const Case& c : cases)
        EXPECT_EQ(WidgetUtils::fittingFontSizePx(c.configured, QSize(c.width, c.height)), c.expected)
            << c.configured << " px on " << c.width << "x" << c.height;
}

TEST_F(ConfigReset, TheFontSizeUsedFitsThisScreenAndTheChangeIsLoggedOnce)
{
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    config_manager::instance().font_size_px_ = 500;  // too large for any panel
    LogCapture capture;
    const int used = WidgetUtils::fontSizePx();
    EXPECT_EQ(used, WidgetUtils::fittingFontSizePx(500, screen));
    EXPECT_LT(used, 500);
    EXPECT_EQ(WidgetUtils::fontSizePx(), used);
    EXPECT_TRUE(WidgetUtils::withFontSize("%1px").startsWith(QString::number(used)));
    EXPECT_EQ(capture.count("Font size 500 px does not fit"), 1) << "said once, not on every page";
}

TEST_F(ConfigReset, PageStyleSheetsShrinkWithTheFontButStayReadableAndTouchable)
{
    const QString sheet = "QLabel { font-size: 24px; min-height: 96px; padding: 8px; }"
                          "QPushButton { font-size: 12px; min-height: 30px; }";
    config_manager::instance().font_size_px_ = 72;  // twice what a 1024x600 panel takes
    const int used = WidgetUtils::fontSizePx();
    ASSERT_LT(used, 72);
    EXPECT_EQ(WidgetUtils::scaledToScreen(sheet),
        QString("QLabel { font-size: %1px; min-height: %2px; padding: 8px; }"
                "QPushButton { font-size: 12px; min-height: 30px; }")
            .arg(std::max(14, 24 * used / 72))
            .arg(std::max(40, 96 * used / 72)))
        << "type no smaller than 14 px, heights than 40 px, unless they were; padding as it was";
    config_manager::instance().font_size_px_ = 14;  // fits any panel
    EXPECT_EQ(WidgetUtils::scaledToScreen(sheet), sheet);
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

    // (list height, rows) -> row height: shared out, never below 40; bad input changes nothing.
    for (auto [height, rows, expected] : {std::tuple{150, 5, 40}, {400, 5, 80}, {400, 0, 80}, {0, 5, 80}}) {
        list.resize(300, height);
        fitListItemsToRows(&list, rows);
        EXPECT_EQ(list.item(6)->sizeHint().height(), expected) << height << "/" << rows;
        EXPECT_EQ(list.itemWidget(list.item(6))->minimumHeight(), expected);
    }
}

TEST_F(ConfigReset, AssistiveToolsPressTheRowButtonsAsATapWould)
{
    QListWidget list;
    std::vector<SelectableListItemButton*> rows;
    for (int i = 0; i < 3; ++i) {
        rows.push_back(addSelectableListItem(&list, QString("row %1").arg(i), false, 56));
        QObject::connect(rows.back(), &QPushButton::clicked, rows.back(), &SelectableListItemButton::toggleSelected);
    }
    list.show();

    // Below the list, by way of its viewport, are the row buttons: named by
    // their text, pressed by their first action.
    QAccessibleInterface* access = QAccessible::queryAccessibleInterface(&list);
    ASSERT_NE(access, nullptr);
    QAccessibleInterface* row = nullptr;
    std::function<void(QAccessibleInterface*, int)> find = [&](QAccessibleInterface* node, int depth) {
        for (int i = 0; node && depth < 4 && i < node->childCount() && !row; ++i) {
            QAccessibleInterface* child = node->child(i);
            if (child && child->object() == rows[1])
                row = child;
            else
                find(child, depth + 1);
        }
    };
    find(access, 0);
    ASSERT_NE(row, nullptr) << "the row button is not below the list for assistive tools";
    EXPECT_EQ(row->text(QAccessible::Name), "row 1");
    ASSERT_NE(row->actionInterface(), nullptr);
    EXPECT_EQ(row->actionInterface()->actionNames().value(0), QAccessibleActionInterface::pressAction());
    row->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_TRUE(kavrel::test::waitUntil([&] { return rows[1]->selected; }, 2000));
    EXPECT_FALSE(rows[0]->selected || rows[2]->selected);
}
