// The preview's input and frames (never shown: no OpenGL), styles, font fitting and list rows.
#include <functional>
#include <tuple>
#include <vector>

#include <QAccessible>
#include <QEvent>
#include <QGuiApplication>
#include <QListWidget>
#include <QMouseEvent>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTouchEvent>

#include <gtest/gtest.h>

#include "ConfigFixture.h"
#include "Log.h"
#include "NV12Widget.h"
#include "SelectableListItemButton.h"
#include "WidgetUtils.h"

using ConfigReset = kavrel::test::FreshConfigTest;
using kavrel::log::LogCapture;

namespace {

// Tests reach the protected event() through this.
class TapWidget : public NV12Widget {
public:
    using NV12Widget::event;
};

// One touch event with a point per position, straight to the widget (no window routes it).
void sendTouch(TapWidget& w, QEvent::Type type, std::initializer_list<QPointF> positions)
{
    static QTouchDevice* const touchScreen = QTest::createTouchDevice();
    const Qt::TouchPointState state = type == QEvent::TouchBegin ? Qt::TouchPointPressed : Qt::TouchPointReleased;
    QList<QTouchEvent::TouchPoint> points;
    for (const QPointF& p : positions) {
        QTouchEvent::TouchPoint point(points.size());
        point.setPos(p);
        point.setState(state);
        points << point;
    }
    QTouchEvent ev(type, touchScreen, Qt::NoModifier, state, points);
    w.event(&ev);
}

} // namespace

TEST(DoubleTap, OnlyOneFingerTapsCloseInTimeAndPlaceOrALeftDoubleClickEmit)
{
    TapWidget widget;
    qint64 now = 0;
    widget.setTapClockForTest([&] { return now; });
    QSignalSpy spy(&widget, &NV12Widget::doubleClicked);
    auto touch = [&](qint64 ms, std::initializer_list<QPointF> down, std::initializer_list<QPointF> up) {
        now = ms;
        sendTouch(widget, QEvent::TouchBegin, down);
        sendTouch(widget, QEvent::TouchEnd, up);
    };
    // One-finger taps as (ms, x) -> double taps; each case far from the one before.
    const std::pair<std::vector<std::pair<qint64, qreal>>, int> cases[] = {
        {{{1000, 100}, {1299, 149}}, 1},                         // 299 ms and 49 px apart
        {{{1000, 100}, {1300, 100}}, 0},                         // 300 ms
        {{{1000, 100}, {1010, 150}}, 0},                         // 50 px
        {{{1000, 100}, {1400, 100}, {1600, 110}}, 1},            // a late tap starts a new pair
        {{{1000, 0}, {1050, 200}, {1100, 220}}, 1},              // so does a far one
        {{{1000, 50}, {1100, 50}, {1200, 50}, {1300, 50}}, 2},   // a third quick tap starts over
    };
    qint64 offset = 0;
    for (const auto& [taps, doubleTaps] : cases) {
        spy.clear();
        offset += 100000;
        for (const auto& [ms, x] : taps)
            touch(offset + ms, {{x, 100}}, {{x, 100}});
        EXPECT_EQ(spy.count(), doubleTaps) << "case from " << offset;
    }
    // Two fingers never count, even when one is lifted first.
    spy.clear();
    touch(2000000, {{100, 100}, {150, 100}}, {{100, 100}});
    touch(2000100, {{100, 100}, {150, 100}}, {{100, 100}});
    EXPECT_EQ(spy.count(), 0);
    for (Qt::MouseButton button : {Qt::RightButton, Qt::LeftButton}) {
        QMouseEvent click(QEvent::MouseButtonDblClick, {20, 20}, button, button, Qt::NoModifier);
        widget.event(&click);
    }
    EXPECT_EQ(spy.count(), 1) << "only the left button's double click";
}

TEST(NV12Frames, UpdateReplacesTheFrameAndAMissingOrShortFileDropsIt)
{
    NV12Widget w;
    EXPECT_FALSE(w.hasFrame());
    w.updateFrameNV12(new uint8_t[280 * 250 * 3 / 2](), 280, 250);
    w.updateFrameNV12(std::make_unique<uint8_t[]>(64 * 36 * 3 / 2), 64, 36);
    EXPECT_EQ(w.frameSize(), QSize(64, 36));
    // No buffer, or no chroma row to draw: background only.
    w.updateFrameNV12(nullptr, 640, 480);
    EXPECT_FALSE(w.hasFrame());
    w.updateFrameNV12(new uint8_t[3](), 1, 2);
    EXPECT_FALSE(w.hasFrame());

    QTemporaryDir dir;
    const QString shortFile = dir.filePath("short.nv12");
    kavrel::test::writeFile(shortFile.toStdString(), std::string(1000, '\x10'));
    for (const auto& [path, message] : {
             std::pair{QString("/no/such/frame.nv12"), "Failed to open NV12 file: /no/such/frame.nv12"},
             {shortFile, "Failed to read complete NV12 data. Read: 1000 bytes, Expected: 105000 bytes"}}) {
        w.updateFrameNV12(new uint8_t[16 * 16 * 3 / 2](), 16, 16);
        LogCapture capture;
        // A larger size with the old, smaller planes would read past their end.
        w.updateFrameNV12FromFile(path, 280, 250);
        EXPECT_TRUE(capture.contains(message)) << message;
        EXPECT_FALSE(w.hasFrame());
    }
}

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

// Assistive tools find a touch list's row buttons named by their text and press them.
TEST_F(ConfigReset, AssistiveToolsPressTheRowButtonsAsATapWould)
{
    QListWidget list;
    std::vector<SelectableListItemButton*> rows;
    for (int i = 0; i < 3; ++i) {
        rows.push_back(addSelectableListItem(&list, QString("row %1").arg(i), false, 56));
        QObject::connect(rows.back(), &QPushButton::clicked, rows.back(), &SelectableListItemButton::toggleSelected);
    }
    list.show();
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
    find(QAccessible::queryAccessibleInterface(&list), 0);
    ASSERT_NE(row, nullptr) << "the row button is not below the list for assistive tools";
    EXPECT_EQ(row->text(QAccessible::Name), "row 1");
    ASSERT_NE(row->actionInterface(), nullptr);
    row->actionInterface()->doAction(row->actionInterface()->actionNames().value(0));
    EXPECT_TRUE(kavrel::test::waitUntil([&] { return rows[1]->selected; }, 2000));
    EXPECT_FALSE(rows[0]->selected || rows[2]->selected);
}
