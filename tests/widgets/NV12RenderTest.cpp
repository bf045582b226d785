// Known NV12 frames drawn by the preview and read back, under xvfb-run (KAVREL_TEST_GLES=2 or 3:
// OpenGL ES through EGL). KAVREL_GRAB_DIR keeps the grabs as PNG files.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QSurfaceFormat>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include "NV12Widget.h"
#include "Resources.h"
#include "TestSupport.h"

namespace {

struct Yuv {
    uint8_t y, u, v;
};

uint8_t toByte(double v)
{
    return uint8_t(std::clamp(int(std::lround(v * 255.0)), 0, 255));
}

// The colour the shader draws for these bytes.
QColor expectedColor(Yuv p)
{
    const double y = p.y / 255.0 - 0.0625;
    const double u = p.u / 255.0 - 0.5;
    const double v = p.v / 255.0 - 0.5;
    return QColor(toByte(y + 1.13983 * v), toByte(y - 0.39465 * u - 0.58060 * v),
                  toByte(y + 2.03211 * u));
}

const QColor kWindowColour("#204060");

// Colour blocks (YUV bytes) with distinct U and V so swapped or sheared chroma shows.
const Yuv kRed{91, 103, 229};
const Yuv kGreen{134, 94, 46};
const Yuv kBlue{81, 196, 104};
const Yuv kYellow{179, 53, 152};

// A frame in quadrants (red, green / blue, yellow); chroma from each 2x2 block's top left.
std::unique_ptr<uint8_t[]> makeFrame(int w, int h)
{
    auto at = [&](int x, int y) {
        const bool right = x >= (w / 4) * 2;
        return y >= (h / 4) * 2 ? (right ? kYellow : kBlue) : (right ? kGreen : kRed);
    };
    const size_t size = size_t(w) * h * 3 / 2;
    auto buf = std::make_unique<uint8_t[]>(size);
    std::fill(buf.get(), buf.get() + size, uint8_t(0x55));  // junk in the unused bytes
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            buf[size_t(y) * w + x] = at(x, y).y;
    uint8_t* uv = buf.get() + size_t(w) * h;
    for (int cy = 0; cy < h / 2; ++cy)
        for (int cx = 0; cx < w / 2; ++cx) {
            const Yuv p = at(2 * cx, 2 * cy);
            uv[size_t(cy) * w + 2 * cx] = p.u;
            uv[size_t(cy) * w + 2 * cx + 1] = p.v;
        }
    return buf;
}

::testing::AssertionResult pixelIs(const QImage& img, int x, int y, const QColor& want)
{
    const QColor got = img.pixelColor(x, y);
    if (std::abs(got.red() - want.red()) <= 4 && std::abs(got.green() - want.green()) <= 4
        && std::abs(got.blue() - want.blue()) <= 4)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") is " << got.name().toStdString()
                                         << ", expected " << want.name().toStdString();
}

// The quadrant frame's colours at the given corners of the drawn picture.
void expectQuadrants(const QImage& img, int left, int top, int right, int bottom)
{
    EXPECT_TRUE(pixelIs(img, left, top, expectedColor(kRed)));
    EXPECT_TRUE(pixelIs(img, right, top, expectedColor(kGreen)));
    EXPECT_TRUE(pixelIs(img, left, bottom, expectedColor(kBlue)));
    EXPECT_TRUE(pixelIs(img, right, bottom, expectedColor(kYellow)));
}

class Render : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            GTEST_SKIP() << "no display: run under xvfb-run";
    }

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

    QImage grab(NV12Widget& w, const QString& name)
    {
        kavrel::test::processEventsFor(20);
        QImage img = w.grabFramebuffer().convertToFormat(QImage::Format_RGB32);
        const QString dir = qEnvironmentVariable("KAVREL_GRAB_DIR");
        if (!dir.isEmpty())
            img.save(QDir(dir).filePath(name + ".png"));
        return img;
    }
};

} // namespace

TEST_F(Render, ColoursFollowTheConversionTheFirstRowIsAtTheTopOddWidthsDoNotShearAndAMoveDrawsAgain)
{
    const int height = 40;
    std::unique_ptr<NV12Widget> w;
    for (int width : {33, 61, 63, 64}) {
        SCOPED_TRACE(width);
        w = makeWidget(width, height);
        EXPECT_TRUE(pixelIs(grab(*w, "empty"), width / 2, 20, kWindowColour)) << "no frame: the window colour";
        // The ES runs must really draw through ES (the other shaders; luminance-alpha chroma on ES 2).
        if (const int gles = qEnvironmentVariableIntValue("KAVREL_TEST_GLES"); gles > 0) {
            EXPECT_TRUE(w->isOpenGLES());
            EXPECT_EQ(w->usesLumaAlphaUV(), gles < 3);
        }
        w->updateFrameNV12(makeFrame(width, height), width, height);
        const QImage img = grab(*w, QString("quadrants-%1").arg(width));
        expectQuadrants(img, 4, 3, width - 5, height - 3);
        EXPECT_TRUE(pixelIs(img, 4, height / 2 + 4, expectedColor(kBlue)));
    }

    // In another window the widget gets a new context: the old one's textures go and all is made again.
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    window.resize(64, height);
    NV12Widget* moved = w.release();  // the window owns it now
    layout->addWidget(moved);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    expectQuadrants(grab(*moved, "after-move"), 12, 8, 52, 32);
}

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("DISPLAY") ? "offscreen" : "xcb");
    if (const int gles = qEnvironmentVariableIntValue("KAVREL_TEST_GLES"); gles > 0) {
        QSurfaceFormat format;
        format.setRenderableType(QSurfaceFormat::OpenGLES);
        format.setVersion(gles, 0);
        QSurfaceFormat::setDefaultFormat(format);
    }
    QApplication app(argc, argv);
    kavrel::initResources();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
