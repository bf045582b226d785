#pragma once
// Small helpers shared by the pages: the style-sheet loader the pages mix in,
// the configured font size for inline style templates, and the helpers that
// fill list widgets with selectable row buttons.

#include <QSize>
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
    // widget, its sizes scaled as scaledToScreen() does. A file that cannot
    // be opened is logged and the widget keeps its style.
    static void loadStyles(QWidget* widget, const QString& path);
    // The style sheet with every "font-size: Npx" and "min-height: Npx" made
    // smaller in the ratio fontSizePx() bears to the configured size (never
    // below 14 px type or 40 px height); unchanged when they agree.
    static QString scaledToScreen(const QString& styleSheet);

    // The font size the pages use, in pixels: the configured one (36 when
    // unset or below 1), made smaller on a screen too small for it. The first
    // time a size is made smaller for a screen, a warning says so.
    static int fontSizePx();

    // The configured size as a screen of `screen` pixels can take: the pages
    // are laid out for 36 px on a 1024x600 panel, so a smaller panel gets a
    // proportionally smaller font (never below 14 px); a larger font than the
    // screen takes is made smaller, a smaller one is kept.
    static int fittingFontSizePx(int configuredPx, const QSize& screen);

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

// Appends `row` (a button, usually) as a row `height` pixels high; the list
// takes it over. The list then shows assistive tools its row widgets rather
// than its cells, so a row button's default action ("press") does what a
// tap does.
void addListRow(QListWidget* list, QWidget* row, int height);

// Appends a row button to list (owned by the list); null when list is null.
SelectableListItemButton* addSelectableListItem(QListWidget* list, const QString& text,
                                                bool selected, int minHeight);

// Sizes every row so that `rows` rows fill the list's height (at least 40 px
// each). Call it from the owner's resize handling.
void fitListItemsToRows(QListWidget* list, int rows);
