#pragma once
// Finds controls an operator could not reach on a panel: any visible button,
// list, tab bar or text field of a window that is not wholly on the screen
// or is cut off by its parent. Rows inside a scrolling list are left out:
// the list scrolls them into view.

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QApplication>
#include <QRect>
#include <QStringList>
#include <QTabBar>
#include <QWidget>

namespace kavrel::test {

inline bool insideScrollingView(const QWidget* widget, const QWidget* top)
{
    for (const QWidget* w = widget->parentWidget(); w && w != top; w = w->parentWidget()) {
        const auto* area = qobject_cast<const QAbstractScrollArea*>(w->parentWidget());
        if (area && area->viewport() == w)
            return true;
    }
    return false;
}

inline bool isControl(const QWidget* widget)
{
    return qobject_cast<const QAbstractButton*>(widget) || qobject_cast<const QAbstractScrollArea*>(widget)
        || qobject_cast<const QTabBar*>(widget);
}

// Describes every visible control of `top` outside `screen` (global
// coordinates), e.g. "Btn_Confirm '进入采集' at 900,560 120x72".
inline QStringList controlsOutside(const QWidget* top, const QRect& screen)
{
    QStringList outside;
    const QList<QWidget*> widgets = top->findChildren<QWidget*>();
    for (const QWidget* widget : widgets) {
        if (!widget->isVisible() || !isControl(widget) || insideScrollingView(widget, top))
            continue;
        const QRect global(widget->mapToGlobal(QPoint(0, 0)), widget->size());
        // The part left after every parent's clipping: a button its frame
        // cannot hold is partly painted, which is as bad as off screen.
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

} // namespace kavrel::test
