// Shows the terminal's screens on a real display (xvfb) for checks from the
// outside, on a copy of a catalogue home (normally demo/home):
//   ui_probe HOME   prints every entry an operator can tap ("ENTRY\t<text>") and
//                   dialog title ("WINDOW\t<title>"), then "READY"; after "drive"
//                   on stdin prints the information page's state ("STATE\t{...}")
//                   on every change (accessible_names.py drives it).
//   ui_probe HOME --shots DIR [--font PX]   screenshots each page, dialog and
//                   window into DIR and prints every control off the screen.
#include <cstdio>
#include <filesystem>
#include <iostream>

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTimer>

#include "Application.h"
#include "CollectionContext.h"
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
#include "file_manager.h"

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

// The rows of one of the information page's lists: [[text, selected], ...].
QJsonArray listState(const QWidget* page, const char* name)
{
    QJsonArray rows;
    const auto* list = page->findChild<QListWidget*>(QString::fromLatin1(name));
    for (int i = 0; list && list->isVisible() && i < list->count(); ++i) {
        if (const auto* button = qobject_cast<SelectableListItemButton*>(list->itemWidget(list->item(i))))
            rows.append(QJsonArray{button->text(), button->isSelected()});
    }
    return rows;
}

// What the operator has chosen on the information page, and the page shown.
QByteArray informationState(Kavrel& window)
{
    const QWidget* page = window.informationPage();
    const auto* part = page->findChild<QPushButton*>(QStringLiteral("Btn_InputCompartment"));
    const QJsonObject state{
        {QStringLiteral("page"), window.currentPageIndex()},
        {QStringLiteral("tasks"), listState(page, "listWidget_TaskSelect")},
        {QStringLiteral("groups"), listState(page, "listWidget_TagGroupChoose")},
        {QStringLiteral("tags"), listState(page, "listWidget_SelectTags")},
        {QStringLiteral("devices"), listState(page, "listWidget_Device")},
        {QStringLiteral("part"), part && part->isVisible() ? part->text() : QString()},
    };
    return QJsonDocument(state).toJson(QJsonDocument::Compact);
}

int printEntriesAndWait(Kavrel& window)
{
    auto scenarios = std::make_unique<ScenarioSelectWidget>();
    scenarios->setWindowTitle(QStringLiteral("场景选择"));
    scenarios->show();
    window.show();
    auto dialogs = std::make_unique<Dialogs>(window);
    for (QWidget* dialog : {static_cast<QWidget*>(&dialogs->tags), static_cast<QWidget*>(&dialogs->question),
             static_cast<QWidget*>(&dialogs->keypad)}) {
        dialog->show();
        std::cout << "WINDOW\t" << dialog->windowTitle().toStdString() << "\n";
    }
    kavrel::test::processEventsFor(300);

    for (QWidget* top : {static_cast<QWidget*>(scenarios.get()), static_cast<QWidget*>(&window),
             static_cast<QWidget*>(&dialogs->tags)}) {
        for (const auto* button : top->findChildren<ScenarioSelectButton*>())
            std::cout << "ENTRY\t" << button->text().toStdString() << "\n";
        for (const auto* button : top->findChildren<SelectableListItemButton*>())
            std::cout << "ENTRY\t" << button->text().toStdString() << "\n";
    }
    std::cout << "READY" << std::endl;

    QTimer stateTimer;
    QByteArray lastState;
    QObject::connect(&stateTimer, &QTimer::timeout, [&] {
        const QByteArray state = informationState(window);
        if (state != lastState) {
            lastState = state;
            std::cout << "STATE\t" << state.toStdString() << std::endl;
        }
    });
    QSocketNotifier input(fileno(stdin), QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char line[64] = {};
        if (!std::fgets(line, sizeof line, stdin)) {
            input.setEnabled(false);
            QApplication::quit();
        } else if (std::string(line).rfind("drive", 0) == 0) {
            // Only the main window stays: entries are found once, by their text.
            dialogs.reset();
            scenarios.reset();
            stateTimer.start(50);
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

int takeShots(Kavrel& window, const QString& folder, const QString& card)
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
    // An empty card: the records and upload pages' own controls (their rows scroll).
    CollectionContext::instance().setStorageRoot(card.toStdString());
    file_manager::instance().init((card + QStringLiteral("/file_manager.csv")).toStdString(), card.toStdString());
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
    if (const int shots = args.indexOf(QStringLiteral("--shots")); shots > 0 && shots + 1 < args.size()) {
        const QTemporaryDir card;
        return takeShots(window, args[shots + 1], card.path());
    }
    if (!openFirstScenario(window)) {
        std::cerr << "no scenario in " << args[1].toStdString() << "\n";
        return 2;
    }
    return printEntriesAndWait(window);
}
