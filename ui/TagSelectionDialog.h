#pragma once
// Lets the operator attach extra tags to a confirmed snapshot: one large
// toggle row per candidate, five rows to a screen, and a confirm button.
// There is no cancel: closing the window rejects it, and the caller reads
// selectedTags() either way.

#include <string>
#include <utility>
#include <vector>

#include <QDialog>
#include <QString>

class QListWidget;
class QPushButton;
class SelectableListItemButton;

class TagSelectionDialog : public QDialog {
    Q_OBJECT
public:
    // (value, label): the tag identifier that is stored and the name shown.
    using Candidate = std::pair<std::string, std::string>;

    explicit TagSelectionDialog(const std::vector<Candidate>& candidates, QWidget* parent = nullptr);

    // Values of the selected rows, in display order.
    std::vector<std::string> selectedTags() const;

    // Sizes the rows so that five fill the list; runs 50 ms after construction.
    void fitRows();

    QListWidget* listWidget_ = nullptr;
    QPushButton* confirmButton_ = nullptr;
    std::vector<std::pair<std::string, SelectableListItemButton*>> items_;
};

// The tags offered after a confirmed snapshot: the tag pairs of the group last
// chosen on the information page, minus the tags already chosen there.
std::vector<TagSelectionDialog::Candidate> popupTagCandidates(
    const std::vector<std::pair<std::string, std::string>>& tagPairs,
    const std::vector<std::string>& selectedTags);
