#pragma once
// Lets the operator attach extra tags to a confirmed snapshot: a title, one
// large toggle row per candidate (five rows to a screen) and the terminal's
// 确认 and 取消 buttons. 取消 (or closing the window) keeps no extra tags;
// the caller reads selectedTags() either way.

#include <string>
#include <utility>
#include <vector>

#include <QDialog>
#include <QString>

#include "SnapshotTags.h"

class QLabel;
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

    void reject() override;

    // Sizes the rows so that five fill the list; runs once the dialog is laid out.
    void fitRows();

    QLabel* titleLabel_ = nullptr;
    QListWidget* listWidget_ = nullptr;
    QPushButton* confirmButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    std::vector<std::pair<std::string, SelectableListItemButton*>> items_;

protected:
    void resizeEvent(QResizeEvent* event) override;
};
