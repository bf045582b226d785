// Shows each page, dialog and window of the terminal on a real display (xvfb),
// on a copy of a catalogue home (normally demo/home), screenshots it into DIR
// at the given font size and prints every control off the screen; exits 1 if any:
//   ui_probe HOME DIR FONT_PX
#include <filesystem>
#include <iostream>

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QPushButton>
#include <QScreen>
#include <QTabBar>
#include <QTemporaryDir>

#include "Application.h"
#include "CollectionContext.h"
#include "ConfirmationDialog.h"
#include "InformationCollectionWidget.h"
#include "Kavrel.h"
#include "Popupkeyboard.h"
#include "Resources.h"
#include "ScenarioSelectButton.h"
#include "TagSelectionDialog.h"
#include "UploadWidget.h"
#include "TestSupport.h"
#include "ToolsWidget.h"
#include "config_manager.h"
#include "file_manager.h"

namespace {

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

// Every visible button, list or tab bar of `top` not wholly on `screen` or cut off by a parent.
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
            QString line;
            QDebug(&line) << widget->objectName() << global << (clipped ? "(cut off)" : "");
            outside << line;
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

    check(QStringLiteral("scenarios"), &window);
    const auto scenarios = window.findChildren<ScenarioSelectButton*>();
    if (scenarios.isEmpty())
        return 2;
    scenarios.first()->click();
    check(QStringLiteral("information"), &window);
    Popupkeyboard keypad(window.informationPage());
    check(QStringLiteral("keypad"), &keypad);
    ConfirmationDialog question(QStringLiteral("提示"), QStringLiteral("是否保存此次拍照数据?"), &window);
    check(QStringLiteral("confirmation"), &question);
    TagSelectionDialog tags(popupTagCandidates(config_manager::instance().tag_pairs_, {}), &window);
    check(QStringLiteral("tags"), &tags);
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
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() != 4) {
        std::cerr << "usage: ui_probe HOME DIR FONT_PX\n";
        return 2;
    }
    QTemporaryDir home;
    std::filesystem::copy(args[1].toStdString(), home.path().toStdString(),
        std::filesystem::copy_options::recursive);
    qputenv("HOME", QFile::encodeName(home.path()));

    kavrel::initResources();
    loadApplicationFont();
    config_manager::instance().init(QDir(home.path()).filePath(QStringLiteral("no-device-config.json")).toStdString());
    config_manager::instance().font_size_px_ = args[3].toInt();
    Kavrel window;
    window.setGeometry(QGuiApplication::primaryScreen()->geometry());
    const QTemporaryDir card;
    return takeShots(window, args[2], card.path());
}
