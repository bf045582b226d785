// The preview's frames (never shown: no OpenGL), styles, font fitting and list rows' accessible press.
#include <functional>

#include <QAccessible>
#include <QGuiApplication>
#include <QListWidget>
#include <QScreen>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "ConfigFixture.h"
#include "Log.h"
#include "NV12Widget.h"
#include "SelectableListItemButton.h"
#include "WidgetUtils.h"

using ConfigReset = kavrel::test::FreshConfigTest;
using kavrel::log::LogCapture;

TEST(NV12Frames, UpdateReplacesTheFrameAndAMissingOrShortFileDropsIt)
{
    NV12Widget w;
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

TEST_F(ConfigReset, AFontSizeTooLargeForTheScreenIsMadeSmallerInProportionAndTheChangeIsLoggedOnce)
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

    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    config_manager::instance().font_size_px_ = 500;  // too large for any panel
    LogCapture capture;
    EXPECT_EQ(WidgetUtils::fontSizePx(), WidgetUtils::fittingFontSizePx(500, screen));
    WidgetUtils::fontSizePx();
    EXPECT_EQ(capture.count("Font size 500 px does not fit"), 1) << "said once, not on every page";
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
