// Style loading, font fitting and list rows, on the offscreen platform.
#include <tuple>

#include <QGuiApplication>
#include <QListWidget>
#include <QScreen>

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
    EXPECT_EQ(w.styleSheet(), "QWidget { color: #123456; }");
    WidgetUtils::loadStyles(&w, ":/Qss/InformationCollectionWidget.qss");
    EXPECT_EQ(capture.count("Failed to load stylesheet"), 1) << "the compiled-in sheet loads";
    EXPECT_TRUE(capture.contains("Failed to load stylesheet::/Qss/NoSuchPage.qss"));
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
    EXPECT_EQ(WidgetUtils::fontSizePx(), used);
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
}

TEST_F(ConfigReset, ListRowsShareTheHeightButNeverGetTooSmallToTouch)
{
    EXPECT_EQ(addSelectableListItem(nullptr, "x", true, 50), nullptr);
    fitListItemsToRows(nullptr, 5);

    QListWidget list;
    for (int i = 0; i < 7; ++i)
        addSelectableListItem(&list, QString("row %1").arg(i), i == 1, 56);
    auto* second = qobject_cast<SelectableListItemButton*>(list.itemWidget(list.item(1)));
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(second->selected);

    // (list height, rows) -> row height: never below 40; bad input changes nothing.
    for (auto [height, rows, expected] : {std::tuple{150, 5, 40}, {400, 5, 80}, {400, 0, 80}, {0, 5, 80}}) {
        list.resize(300, height);
        fitListItemsToRows(&list, rows);
        EXPECT_EQ(list.itemWidget(list.item(6))->minimumHeight(), expected) << height << "/" << rows;
    }
}
