// Entry point of the preview rendering tests. They need a real OpenGL
// context, so they run on the X server that xvfb-run provides (Mesa gives a
// desktop context there; KAVREL_TEST_GLES=2 or 3 asks for OpenGL ES through
// EGL instead). Without a display the rendering tests skip.
#include <QApplication>
#include <QSurfaceFormat>
#include <gtest/gtest.h>

#include "Resources.h"

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("DISPLAY") ? "offscreen" : "xcb");
    const int gles = qEnvironmentVariableIntValue("KAVREL_TEST_GLES");
    if (gles > 0) {
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
