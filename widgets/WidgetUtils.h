#pragma once
// Small helpers shared by the pages: the style-sheet loader the pages mix in,
// the configured font size for inline style templates, and the helpers that
// fill list widgets with selectable row buttons.

#include <QString>

class QAbstractButton;
class QListWidget;
class QWidget;
class SelectableListItemButton;

// Mixin for pages: `class Page : public QWidget, public WidgetUtils`.
// No data and no virtual functions, so it adds nothing to the page's layout.
class WidgetUtils {
public:
    // Reads a style sheet (normally a ":/Qss/..." resource) and applies it to
    // widget. A file that cannot be opened is logged and the widget keeps its style.
    static void loadStyles(QWidget* widget, const QString& path);

    // The configured font size in pixels: 36 when unset or below 1.
    static int fontSizePx();

    // Fills the "%1px" of a style template with fontSizePx().
    static QString withFontSize(const QString& styleTemplate);

    // Inline templates (each has one "%1" for the font size in pixels).
    static QString mainButtonStyleTemplate();     // main window and scenario buttons
    static QString keypadDisplayStyleTemplate();  // the keypad's display label

    // Filled versions of the two templates above.
    static QString mainButtonStyle();
    static QString keypadDisplayStyle();

    // Gives an icon-only button its icon and a name that assistive tools and
    // UI automation can find it by (also shown as its tool tip).
    static void setIconButton(QAbstractButton* button, const QString& iconPath,
                              const QString& accessibleName, int iconSizePx = 0);
};

// Appends a row button to list (owned by the list); null when list is null.
SelectableListItemButton* addSelectableListItem(QListWidget* list, const QString& text,
                                                bool selected, int minHeight);

// Sizes every row so that `rows` rows fill the list's height (at least 40 px
// each). Call it from the owner's resize handling.
void fitListItemsToRows(QListWidget* list, int rows);
