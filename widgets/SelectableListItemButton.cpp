#include "SelectableListItemButton.h"

#include <QSizePolicy>

#include "WidgetUtils.h"

SelectableListItemButton::SelectableListItemButton(const QString& text, QWidget* parent)
    : QPushButton(text, parent)
{
    setCheckable(false);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    setMinimumHeight(56);
    applySelectionStyle();
}

QString SelectableListItemButton::selectedStyleTemplate()
{
    return QStringLiteral(
        "QPushButton { background-color: #2D7FFF; color: #FFFFFF; border: 1px solid #1F64D1; "
        "border-radius: 8px; font-weight: 600; font-size: %1px; padding: 12px 16px; text-align: left;}"
        "QPushButton:pressed { background-color: #1F64D1;}");
}

QString SelectableListItemButton::unselectedStyleTemplate()
{
    return QStringLiteral(
        "QPushButton { background-color: #E5E7EB; color: #374151; border: 1px solid #D1D5DB; "
        "border-radius: 8px; font-weight: 500; font-size: %1px; padding: 12px 16px; text-align: left;}"
        "QPushButton:hover { background-color: #DDE1E7;}"
        "QPushButton:pressed { background-color: #D1D5DB;}");
}

void SelectableListItemButton::applySelectionStyle()
{
    setStyleSheet(WidgetUtils::withFontSize(selected ? selectedStyleTemplate()
                                                     : unselectedStyleTemplate()));
}

void SelectableListItemButton::setSelected(bool value)
{
    if (selected == value)
        return;
    selected = value;
    applySelectionStyle();
}

void SelectableListItemButton::toggleSelected()
{
    setSelected(!selected);
}
