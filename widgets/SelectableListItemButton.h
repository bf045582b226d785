#pragma once
// A list row drawn as a large touch button that shows whether it is chosen.
// It is not a checkable QPushButton: `selected` is its own state, and the owner
// decides what a click does (usually toggleSelected()).

#include <QPushButton>
#include <QString>

class SelectableListItemButton : public QPushButton {
    Q_OBJECT
public:
    explicit SelectableListItemButton(const QString& text, QWidget* parent = nullptr);

    // Re-applies the style for the current `selected` value.
    void applySelectionStyle();

    bool isSelected() const { return selected; }
    // Sets the state and restyles when it changes.
    void setSelected(bool value);
    // What a click handler normally does: flip the state and restyle.
    void toggleSelected();

    // Style templates (one "%1" each for the font size in pixels).
    static QString selectedStyleTemplate();
    static QString unselectedStyleTemplate();

    bool selected = false;
};
