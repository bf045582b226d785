#include "WidgetUtils.h"

#include <algorithm>

#include <QAbstractButton>
#include <QFile>
#include <QIcon>
#include <QListWidget>
#include <QListWidgetItem>
#include <QWidget>

#include "Log.h"
#include "SelectableListItemButton.h"
#include "config_manager.h"

namespace {
// Rows shorter than this are too small to hit with a finger.
constexpr int kMinRowHeightPx = 40;
}

void WidgetUtils::loadStyles(QWidget* widget, const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        LOGE << "Failed to load stylesheet:" << path;
        return;
    }
    const QByteArray bytes = file.readAll();
    file.close();
    if (widget) {
        // constData() is NUL-terminated, so decoding stops at the first NUL.
        widget->setStyleSheet(QString::fromLatin1(bytes.constData()));
    }
}

int WidgetUtils::fontSizePx()
{
    return configuredFontSizePx();
}

QString WidgetUtils::withFontSize(const QString& styleTemplate)
{
    return styleTemplate.arg(fontSizePx());
}

QString WidgetUtils::mainButtonStyleTemplate()
{
    return QStringLiteral(
        "QPushButton { background-color: #E5E7EB; color: #374151; border: 1px solid #D1D5DB; "
        "border-radius: 12px; font-size: %1px; font-weight: 600; padding: 10px;}"
        "QPushButton:hover { background-color: #DDE1E7;}"
        "QPushButton:pressed { background-color: #2D7FFF; color: #FFFFFF; border: 1px solid #1F64D1;}");
}

QString WidgetUtils::keypadDisplayStyleTemplate()
{
    return QStringLiteral(
        "QLabel { background-color: #FFFFFF; color: #1F2937; border: 2px solid #D1D5DB; "
        "border-radius: 8px; font-size: %1px; font-weight: 600; padding: 8px 16px;}");
}

QString WidgetUtils::mainButtonStyle()
{
    return withFontSize(mainButtonStyleTemplate());
}

QString WidgetUtils::keypadDisplayStyle()
{
    return withFontSize(keypadDisplayStyleTemplate());
}

void WidgetUtils::setIconButton(QAbstractButton* button, const QString& iconPath,
                                const QString& accessibleName, int iconSizePx)
{
    if (!button)
        return;
    button->setIcon(QIcon(iconPath));
    if (iconSizePx > 0)
        button->setIconSize(QSize(iconSizePx, iconSizePx));
    button->setAccessibleName(accessibleName);
    button->setToolTip(accessibleName);
}

SelectableListItemButton* addSelectableListItem(QListWidget* list, const QString& text,
                                                bool selected, int minHeight)
{
    if (!list)
        return nullptr;
    auto* item = new QListWidgetItem(list);  // the list owns the item
    // Assistive tools see the list's cells, not the buttons drawn over them:
    // the cell carries the button's text as its accessible name.
    item->setData(Qt::AccessibleTextRole, text);
    auto* button = new SelectableListItemButton(text, list);
    if (button->selected != selected) {
        button->selected = selected;
        button->applySelectionStyle();
    }
    button->setMinimumHeight(minHeight);
    item->setSizeHint(QSize(0, minHeight));
    list->addItem(item);
    list->setItemWidget(item, button);
    return button;
}

void fitListItemsToRows(QListWidget* list, int rows)
{
    if (!list || list->height() < 1 || rows < 1)
        return;
    const int rowHeight = std::max(list->height() / rows, kMinRowHeightPx);
    for (int i = 0; i < list->count(); ++i) {
        QListWidgetItem* item = list->item(i);
        item->setSizeHint(QSize(0, rowHeight));
        if (QWidget* w = list->itemWidget(item))
            w->setMinimumHeight(rowHeight);
    }
}
