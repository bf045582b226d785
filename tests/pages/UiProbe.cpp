// Shows the terminal's screens on a real display (xvfb) for checks from the
// outside, on a copy of a catalogue home (normally demo/home):
//   ui_probe HOME   shows the scenarios, the information page and the dialogs,
//                   prints every entry an operator can tap ("ENTRY\t<text>"),
//                   every dialog title ("WINDOW\t<title>"), then "READY"; quits
//                   when stdin closes (accessible_names.py drives it).
//   ui_probe HOME --shots DIR [--font PX]   screenshots each page, dialog and
//                   window in turn into DIR and prints every control off the
//                   screen; exits 1 if any.
#include <cstdio>
#include <filesystem>
#include <iostream>

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QSocketNotifier>
#include <QTabBar>
#include <QTemporaryDir>

#include "Application.h"
#include "ConfirmationDialog.h"
#include "InformationCollectionWidget.h"
#include "Kavrel.h"
#include "Popupkeyboard.h"
#include "Resources.h"
#include "ScenarioSelectButton.h"
#include "ScenarioSelectWidget.h"
#include "SelectableListItemButton.h"
#include "TagSelectionDialog.h"
#include "UploadWidget.h"
#include "TestSupport.h"
#include "ToolsWidget.h"
#include "config_manager.h"

namespace {

bool openFirstScenario(Kavrel& window)
{
    const auto buttons = window.findChildren<ScenarioSelectButton*>();
    if (buttons.isEmpty())
        return false;
    window.onScenarioSelected(buttons.first()->scenarioName, buttons.first()->scenarioPath);
    return window.currentPageIndex() == 1;
}

// The dialogs an operator meets on the information and capture pages.
struct Dialogs {
    explicit Dialogs(Kavrel& window)
        : keypad(window.informationPage()),
          question(QStringLiteral("提示"), QStringLiteral("是否保存此次拍照数据?"), &window),
          tags(popupTagCandidates(config_manager::instance().tag_pairs_, {}), &window)
    {
    }
    Popupkeyboard keypad;
    ConfirmationDialog question;
    TagSelectionDialog tags;
};

int printEntriesAndWait(Kavrel& window)
{
    ScenarioSelectWidget scenarios;
    scenarios.setWindowTitle(QStringLiteral("场景选择"));
    scenarios.show();
    window.show();
    Dialogs dialogs(window);
    for (QWidget* dialog : {static_cast<QWidget*>(&dialogs.tags), static_cast<QWidget*>(&dialogs.question),
             static_cast<QWidget*>(&dialogs.keypad)}) {
        dialog->show();
        std::cout << "WINDOW\t" << dialog->windowTitle().toStdString() << "\n";
    }
    kavrel::test::processEventsFor(300);

    for (QWidget* top : {static_cast<QWidget*>(&scenarios), static_cast<QWidget*>(&window), static_cast<QWidget*>(&dialogs.tags)}) {
        for (const auto* button : top->findChildren<ScenarioSelectButton*>())
            std::cout << "ENTRY\t" << button->text().toStdString() << "\n";
        for (const auto* button : top->findChildren<SelectableListItemButton*>())
            std::cout << "ENTRY\t" << button->text().toStdString() << "\n";
    }
    std::cout << "READY" << std::endl;
    QSocketNotifier input(fileno(stdin), QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&input] {
        char buffer[64];
        if (std::fread(buffer, 1, sizeof buffer, stdin) == 0 || std::feof(stdin)) {
            input.setEnabled(false);
            QApplication::quit();
        }
    });
    return QApplication::exec();
}

// Rows inside a scrolling list are left out: the list scrolls them into view.
bool insideScrollingView(const QWidget* widget, const QWidget* top)
{
    for (const QWidget* w = widget->parentWidget(); w && w != top; w = w->parentWidget()) {
        const auto* area = qobject_cast<const QAbstractScrollArea*>(w->parentWidget());
        if (area && area->viewport() == w)
            return true;
    }
    return false;
}

// Describes every visible button, list or tab bar of `top` an operator could
// not reach: not wholly on `screen` (global coordinates) or cut off by a
// parent, e.g. "Btn_Confirm '进入采集' at 900,560 120x72".
QStringList controlsOutside(const QWidget* top, const QRect& screen)
{
    QStringList outside;
    const QList<QWidget*> widgets = top->findChildren<QWidget*>();
    for (const QWidget* widget : widgets) {
        const bool control = qobject_cast<const QAbstractButton*>(widget)
            || qobject_cast<const QAbstractScrollArea*>(widget) || qobject_cast<const QTabBar*>(widget);
        if (!widget->isVisible() || !control || insideScrollingView(widget, top))
            continue;
        const QRect global(widget->mapToGlobal(QPoint(0, 0)), widget->size());
        // A button its frame cannot hold is partly painted, as bad as off screen.
        QRect shown = global;
        for (const QWidget* w = widget->parentWidget(); w; w = w->isWindow() ? nullptr : w->parentWidget())
            shown &= QRect(w->mapToGlobal(QPoint(0, 0)), w->size());
        const bool clipped = shown != global;
        if (!screen.contains(global) || clipped) {
            const auto* button = qobject_cast<const QAbstractButton*>(widget);
            outside << QStringLiteral("%1 '%2' at %3,%4 %5x%6%7")
                           .arg(widget->objectName(), button ? button->text() : QString())
                           .arg(global.x()).arg(global.y()).arg(global.width()).arg(global.height())
                           .arg(clipped ? QStringLiteral(" (cut off)") : QString());
        }
    }
    return outside;
}

int takeShots(Kavrel& window, const QString& folder)
{
    QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area = screen->geometry();
    QDir().mkpath(folder);
    const QString prefix = QStringLiteral("%1/%2x%3-").arg(folder).arg(area.width()).arg(area.height());
    int problems = 0;
    auto check = [&](const QString& name, QWidget* top) {
        top->show();
        kavrel::test::processEventsFor(300);
        screen->grabWindow(0).save(prefix + name + QStringLiteral(".png"));
        for (const QString& control : controlsOutside(top, area)) {
            std::cout << name.toStdString() << ": off screen: " << control.toStdString() << "\n";
            ++problems;
        }
        if (top != &window)
            top->hide();  // one dialog at a time in each screenshot
    };

    window.setGeometry(area);
    check(QStringLiteral("scenarios"), &window);
    openFirstScenario(window);
    check(QStringLiteral("information"), &window);
    Dialogs dialogs(window);
    check(QStringLiteral("keypad"), &dialogs.keypad);
    check(QStringLiteral("confirmation"), &dialogs.question);
    check(QStringLiteral("tags"), &dialogs.tags);
    ToolsWidget tools(&window);
    check(QStringLiteral("tools"), &tools);
    window.switchToDataCollectionPage();
    check(QStringLiteral("capture"), &window);
    QMetaObject::invokeMethod(&window, "openRecordsPage");
    check(QStringLiteral("records"), &window);
    QMetaObject::invokeMethod(&window, "openUploadWindow");
    if (window.uploadWindow())
        check(QStringLiteral("upload"), window.uploadWindow());
    else
        ++problems;
    std::cout << problems << " controls off screen at " << area.width() << "x" << area.height() << std::endl;
    return problems == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    // Qt talks to the accessibility bus only when asked or when a screen reader runs.
    qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kavrel_ui_probe"));
    const QStringList args = QApplication::arguments();
    if (args.size() < 2) {
        std::cerr << "usage: ui_probe HOME [--shots DIR]\n";
        return 2;
    }
    QTemporaryDir home;
    std::filesystem::copy(args[1].toStdString(), home.path().toStdString(),
        std::filesystem::copy_options::recursive);
    qputenv("HOME", QFile::encodeName(home.path()));

    kavrel::initResources();
    loadApplicationFont();
    config_manager::instance().init(QDir(home.path()).filePath(QStringLiteral("no-device-config.json")).toStdString());

    if (const int font = args.indexOf(QStringLiteral("--font")); font > 0 && font + 1 < args.size())
        config_manager::instance().font_size_px_ = args[font + 1].toInt();
    Kavrel window;
    window.setGeometry(QGuiApplication::primaryScreen()->geometry());
    if (const int shots = args.indexOf(QStringLiteral("--shots")); shots > 0 && shots + 1 < args.size())
        return takeShots(window, args[shots + 1]);
    if (!openFirstScenario(window)) {
        std::cerr << "no scenario in " << args[1].toStdString() << "\n";
        return 2;
    }
    return printEntriesAndWait(window);
}
