// Shows the terminal's screens on a real display (xvfb) for checks from the
// outside, on a copy of a catalogue home (normally demo/home):
//   ui_probe HOME            the scenario buttons, the information page with a
//                            scenario loaded and the dialogs stay open; every
//                            entry an operator can tap is printed ("ENTRY\t<text>"),
//                            and every dialog's title ("WINDOW\t<title>"), then
//                            "READY"; it quits when stdin closes. The accessibility
//                            check (accessible_names.py) drives it.
//   ui_probe HOME --shots DIR [--font PX]
//                            shows each screen in turn at the display's size
//                            (and at font size PX instead of the configured one),
//                            saves a screenshot of it to DIR and prints every
//                            control that is off the screen; exits 1 if any is.
#include <cstdio>
#include <filesystem>
#include <iostream>

#include <QApplication>
#include <QDir>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>

#include "Application.h"
#include "ConfirmationDialog.h"
#include "InformationCollectionWidget.h"
#include "Kavrel.h"
#include "Popupkeyboard.h"
#include "Resources.h"
#include "ScenarioSelectButton.h"
#include "ScenarioSelectWidget.h"
#include "ScreenFit.h"
#include "SelectableListItemButton.h"
#include "TagSelectionDialog.h"
#include "ToolsWidget.h"
#include "config_manager.h"

namespace {

void settle(int ms = 300)
{
    QTimer timer;
    timer.start(ms);
    QEventLoop loop;
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    loop.exec();
}

// Opens the first scenario button's catalogue on the window's information page.
bool openFirstScenario(Kavrel& window)
{
    const auto buttons = window.findChildren<ScenarioSelectButton*>();
    if (buttons.isEmpty())
        return false;
    window.onScenarioSelected(buttons.first()->scenarioName, buttons.first()->scenarioPath);
    return window.currentPageIndex() == 1;
}

std::unique_ptr<TagSelectionDialog> popupTagDialog(QWidget* parent)
{
    const config_manager& config = config_manager::instance();
    return std::make_unique<TagSelectionDialog>(popupTagCandidates(config.tag_pairs_, {}), parent);
}

int printEntriesAndWait(Kavrel& window)
{
    ScenarioSelectWidget scenarios;
    scenarios.setWindowTitle(QStringLiteral("场景选择"));
    scenarios.show();
    window.show();
    auto tags = popupTagDialog(&window);
    tags->show();
    ConfirmationDialog question(QStringLiteral("提示"), QStringLiteral("是否保存此次拍照数据?"), &window);
    question.show();
    Popupkeyboard keypad(window.informationPage());
    keypad.show();
    settle();

    for (QWidget* top : {static_cast<QWidget*>(&scenarios), static_cast<QWidget*>(&window), static_cast<QWidget*>(tags.get())}) {
        for (const auto* button : top->findChildren<ScenarioSelectButton*>())
            std::cout << "ENTRY\t" << button->text().toStdString() << "\n";
        for (const auto* button : top->findChildren<SelectableListItemButton*>())
            std::cout << "ENTRY\t" << button->text().toStdString() << "\n";
    }
    for (const QWidget* dialog : {static_cast<QWidget*>(tags.get()), static_cast<QWidget*>(&question),
             static_cast<QWidget*>(&keypad)})
        std::cout << "WINDOW\t" << dialog->windowTitle().toStdString() << "\n";
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

int takeShots(Kavrel& window, const QString& folder)
{
    QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area = screen->geometry();
    QDir().mkpath(folder);
    const QString prefix = QStringLiteral("%1/%2x%3-").arg(folder).arg(area.width()).arg(area.height());
    int problems = 0;
    auto check = [&](const QString& name, const QWidget* top) {
        settle();
        screen->grabWindow(0).save(prefix + name + QStringLiteral(".png"));
        for (const QString& control : kavrel::test::controlsOutside(top, area)) {
            std::cout << name.toStdString() << ": off screen: " << control.toStdString() << "\n";
            ++problems;
        }
    };

    window.setGeometry(area);
    window.show();
    check(QStringLiteral("scenarios"), &window);
    openFirstScenario(window);
    check(QStringLiteral("information"), &window);
    {
        Popupkeyboard keypad(window.informationPage());
        keypad.show();
        check(QStringLiteral("keypad"), &keypad);
    }
    {
        ConfirmationDialog question(QStringLiteral("提示"), QStringLiteral("是否保存此次拍照数据?"), &window);
        question.show();
        check(QStringLiteral("confirmation"), &question);
    }
    {
        auto tags = popupTagDialog(&window);
        tags->show();
        check(QStringLiteral("tags"), tags.get());
    }
    {
        ToolsWidget tools(&window);
        tools.show();
        check(QStringLiteral("tools"), &tools);
    }
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
