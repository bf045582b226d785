// The preview's input handling and frame bookkeeping; no OpenGL needed (the
// widget is never shown here). Rendering is covered by NV12RenderTest.
#include <vector>

#include <QEvent>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTouchEvent>

#include <gtest/gtest.h>

#include "Log.h"
#include "NV12Widget.h"
#include "TestSupport.h"

using kavrel::log::LogCapture;

namespace {

// Tests reach the protected event() through this.
class TapWidget : public NV12Widget {
public:
    using NV12Widget::event;
};

// Sends one touch event with a point per position straight to the widget:
// it is never shown, so no window would route the event.
void sendTouch(TapWidget& w, QEvent::Type type, std::initializer_list<QPointF> positions)
{
    static QTouchDevice* const touchScreen = QTest::createTouchDevice();
    const Qt::TouchPointState state = type == QEvent::TouchBegin ? Qt::TouchPointPressed
                                    : type == QEvent::TouchEnd   ? Qt::TouchPointReleased
                                                                 : Qt::TouchPointMoved;
    QList<QTouchEvent::TouchPoint> points;
    for (const QPointF& p : positions) {
        QTouchEvent::TouchPoint point(points.size());
        point.setPos(p);
        point.setScreenPos(p);
        point.setState(state);
        points << point;
    }
    QTouchEvent ev(type, touchScreen, Qt::NoModifier, state, points);
    w.event(&ev);
}

class DoubleTap : public ::testing::Test {
protected:
    void SetUp() override
    {
        widget.resize(400, 300);
        widget.setTapClockForTest([this] { return now; });
    }

    void tap(qint64 ms, QPointF pos)
    {
        now = ms;
        sendTouch(widget, QEvent::TouchBegin, {pos});
        sendTouch(widget, QEvent::TouchEnd, {pos});
    }

    TapWidget widget;
    QSignalSpy spy{&widget, &NV12Widget::doubleClicked};
    qint64 now = 1000;
};

} // namespace

TEST_F(DoubleTap, OnlyOneFingerTapsWithinThreeHundredMillisecondsAndFiftyPixelsOrALeftDoubleClickEmit)
{
    struct Case {
        const char* what;
        std::vector<std::pair<qint64, QPointF>> taps;
        int doubleTaps;
    };
    const Case cases[] = {
        {"299 ms and 49 px apart", {{1000, {100, 100}}, {1299, {130, 119}}}, 1},
        {"300 ms apart", {{1000, {100, 100}}, {1300, {100, 100}}}, 0},
        {"exactly 50 px apart", {{1000, {100, 100}}, {1010, {125, 125}}}, 0},
        {"a late tap starts a new pair", {{1000, {100, 100}}, {1400, {100, 100}}, {1600, {110, 100}}}, 1},
        {"a far tap starts a new pair", {{1000, {0, 0}}, {1050, {200, 0}}, {1100, {220, 0}}}, 1},
        {"a third quick tap starts over", {{1000, {50, 50}}, {1100, {50, 50}}, {1200, {50, 50}}, {1300, {50, 50}}}, 2},
    };
    qint64 offset = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        spy.clear();
        offset += 100000;  // far from the previous case's taps
        for (const auto& [ms, pos] : c.taps)
            tap(offset + ms, pos);
        EXPECT_EQ(spy.count(), c.doubleTaps);
    }

    spy.clear();
    // Two-finger touches never count, nor fingers lifted one after the other.
    for (qint64 t : {1001000, 1001100}) {
        now = t;
        sendTouch(widget, QEvent::TouchBegin, {{100, 100}, {150, 100}});
        sendTouch(widget, QEvent::TouchEnd, {{100, 100}});
    }
    EXPECT_EQ(spy.count(), 0);

    for (Qt::MouseButton button : {Qt::RightButton, Qt::MiddleButton, Qt::LeftButton}) {
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
