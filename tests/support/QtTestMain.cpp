// GoogleTest entry point for tests that need a QApplication (widgets,
// queued signals, timers). Runs on the offscreen platform unless told otherwise.
#include <QApplication>
#include <gtest/gtest.h>

#include "Resources.h"

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    kavrel::initResources();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
