// Renders known NV12 frames with the real preview widget and reads the
// framebuffer back. Set KAVREL_GRAB_DIR to keep the grabs as PNG files.
#include <QDir>
#include <QImage>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include "NV12TestSupport.h"
#include "NV12Widget.h"
#include "TestSupport.h"

using namespace nv12test;

namespace {

const QColor kWindowColour("#204060");

// Colour blocks with distinct U and V so swapped or sheared chroma shows.
const Yuv kRed = fromRgb(0.75, 0.10, 0.10);
const Yuv kGreen = fromRgb(0.10, 0.70, 0.20);
const Yuv kBlue = fromRgb(0.15, 0.20, 0.80);
const Yuv kYellow = fromRgb(0.75, 0.70, 0.05);

class Render : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            GTEST_SKIP() << "no display: run under xvfb-run";
    }

    // A shown preview of the given size with a distinctive window colour.
    std::unique_ptr<NV12Widget> makeWidget(int w, int h)
    {
        auto widget = std::make_unique<NV12Widget>();
        QPalette pal = widget->palette();
        pal.setColor(QPalette::Window, kWindowColour);
        widget->setPalette(pal);
        widget->resize(w, h);
        widget->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(widget.get()));
        EXPECT_NE(widget->context(), nullptr) << "no OpenGL context";
        return widget;
    }

    QImage grab(NV12Widget& w, const char* name)
    {
        kavrel::test::processEventsFor(20);
        QImage img = w.grabFramebuffer().convertToFormat(QImage::Format_RGB32);
        const QString dir = qEnvironmentVariable("KAVREL_GRAB_DIR");
        if (!dir.isEmpty())
            img.save(QDir(dir).filePath(QString("%1.png").arg(name)));
        return img;
    }
};

::testing::AssertionResult pixelIs(const QImage& img, int x, int y, const QColor& want, int tolerance = 4)
{
    const QColor got = img.pixelColor(x, y);
    if (near(got, want, tolerance))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") is " << got.name().toStdString()
                                         << ", expected " << want.name().toStdString();
}

// Quadrants: red top left, green top right, blue bottom left, yellow bottom right.
Yuv quadrant(int x, int y, int w, int h)
{
    const bool right = x >= (w / 4) * 2;
    const bool bottom = y >= (h / 4) * 2;
    return bottom ? (right ? kYellow : kBlue) : (right ? kGreen : kRed);
}

} // namespace

TEST_F(Render, ColoursFollowTheConversionAndTheFirstRowIsAtTheTop)
{
    auto w = makeWidget(64, 48);
    EXPECT_TRUE(pixelIs(grab(*w, "empty"), 32, 24, kWindowColour)) << "no frame: the window colour";
    // The ES runs must really draw through ES (the other shaders; luminance-alpha chroma on ES 2).
    if (const int gles = qEnvironmentVariableIntValue("KAVREL_TEST_GLES"); gles > 0) {
        EXPECT_TRUE(w->isOpenGLES());
        EXPECT_EQ(w->usesLumaAlphaUV(), gles < 3);
    }
    w->updateFrameNV12(makeFrame(64, 48, [](int x, int y) { return quadrant(x, y, 64, 48); }), 64, 48);
    const QImage img = grab(*w, "quadrants");
    EXPECT_TRUE(pixelIs(img, 12, 10, expectedColor(kRed)));
    EXPECT_TRUE(pixelIs(img, 52, 10, expectedColor(kGreen)));
    EXPECT_TRUE(pixelIs(img, 12, 38, expectedColor(kBlue)));
    EXPECT_TRUE(pixelIs(img, 52, 38, expectedColor(kYellow)));
}

TEST_F(Render, OddWidthsDrawWithoutShear)
{
    for (int width : {63, 61, 33}) {
        SCOPED_TRACE(width);
        const int height = 40;
        auto w = makeWidget(width, height);
        w->updateFrameNV12(makeFrame(width, height, [&](int x, int y) { return quadrant(x, y, width, height); }),
                           width, height);
        const QImage img = grab(*w, qPrintable(QString("odd-%1").arg(width)));
        const int left = 4, right = width - 5, top = 3, bottom = height - 3;
        EXPECT_TRUE(pixelIs(img, left, top, expectedColor(kRed)));
        EXPECT_TRUE(pixelIs(img, right, top, expectedColor(kGreen)));
        EXPECT_TRUE(pixelIs(img, left, bottom, expectedColor(kBlue)));
        EXPECT_TRUE(pixelIs(img, right, bottom, expectedColor(kYellow)));
        EXPECT_TRUE(pixelIs(img, left, height / 2 + 4, expectedColor(kBlue)));
    }
}

TEST_F(Render, ANewFrameSizeOrWidgetSizeMovesTheBands)
{
    auto w = makeWidget(400, 300);
    w->updateFrameNV12(makeFrame(160, 90, [](int, int) { return kGreen; }), 160, 90);
    QImage img = grab(*w, "size-1");
    // A wide frame is letterboxed: 400 x 225 from row 37 (GL's origin is the bottom).
    EXPECT_EQ(w->lastViewport(), QRect(0, 37, 400, 225));
    EXPECT_TRUE(pixelIs(img, 0, 35, kWindowColour));
    EXPECT_TRUE(pixelIs(img, 0, 40, expectedColor(kGreen)));

    // 4:3 fills the 4:3 widget: no bands, without any resize in between.
    w->updateFrameNV12(makeFrame(120, 90, [](int, int) { return kBlue; }), 120, 90);
    img = grab(*w, "size-2");
    EXPECT_TRUE(pixelIs(img, 200, 5, expectedColor(kBlue)));
    EXPECT_TRUE(pixelIs(img, 200, 295, expectedColor(kBlue)));

    // A tall frame is pillarboxed: 168 columns from x = 116.
    w->updateFrameNV12(makeFrame(90, 160, [](int, int) { return kRed; }), 90, 160);
    img = grab(*w, "size-3");
    EXPECT_TRUE(pixelIs(img, 50, 150, kWindowColour));
    EXPECT_TRUE(pixelIs(img, 200, 150, expectedColor(kRed)));
    EXPECT_TRUE(pixelIs(img, 350, 150, kWindowColour));

    // The widget grows wider than the tall frame's aspect: bands follow.
    w->resize(600, 300);
    img = grab(*w, "size-4");
    EXPECT_EQ(w->lastViewport(), QRect(216, 0, 168, 300));
    EXPECT_TRUE(pixelIs(img, 150, 150, kWindowColour));
    EXPECT_TRUE(pixelIs(img, 300, 150, expectedColor(kRed)));
}

TEST_F(Render, DrawsAgainAfterMovingToAnotherWindow)
{
    // The move gives the widget a new context: the old one's textures are
    // released and everything is created again in the new one.
    auto w = makeWidget(64, 48);
    w->updateFrameNV12(makeFrame(64, 48, [](int x, int y) { return quadrant(x, y, 64, 48); }), 64, 48);
    grab(*w, "before-move");

    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    window.resize(64, 48);
    NV12Widget* raw = w.get();
    layout->addWidget(raw);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QImage img = grab(*raw, "after-move");
    EXPECT_TRUE(pixelIs(img, 12, 10, expectedColor(kRed)));
    EXPECT_TRUE(pixelIs(img, 52, 38, expectedColor(kYellow)));
    layout->removeWidget(raw);
    raw->setParent(nullptr);
}

