#pragma once
// Answers the capture page's modal dialogs from a script through their buttons,
// polling for the active one, so no test waits on a box nobody answers.

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include <QApplication>
#include <QObject>
#include <QPushButton>
#include <QTimer>

#include "ConfirmationDialog.h"
#include "SelectableListItemButton.h"
#include "TagSelectionDialog.h"

namespace kavrel::test {

class DialogScript : public QObject {
public:
    DialogScript()
    {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { answer(); });
        timer_.start();
    }

    void confirm() { confirmations_.push_back(true); }
    void decline() { confirmations_.push_back(false); }
    // Labels of the rows to tap in the next tag dialog (none: just confirm).
    void chooseTags(std::vector<std::string> labels) { tagChoices_.push_back(std::move(labels)); }

    int confirmationsShown() const { return confirmationsShown_; }
    std::vector<std::string> lastTagLabelsOffered() const { return lastOffered_; }

private:
    void answer()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* confirmation = qobject_cast<ConfirmationDialog*>(modal)) {
            if (confirmations_.empty())
                return;  // nothing scripted: leave it for the test to see
            ++confirmationsShown_;
            const bool yes = confirmations_.front();
            confirmations_.pop_front();
            (yes ? confirmation->confirmButton_ : confirmation->cancelButton_)->click();
        } else if (auto* tags = qobject_cast<TagSelectionDialog*>(modal)) {
            if (tagChoices_.empty())
                return;
            const std::vector<std::string> wanted = tagChoices_.front();
            tagChoices_.pop_front();
            lastOffered_.clear();
            for (auto& [value, button] : tags->items_) {
                lastOffered_.push_back(button->text().toStdString());
                if (std::find(wanted.begin(), wanted.end(), lastOffered_.back()) != wanted.end())
                    button->click();
            }
            tags->confirmButton_->click();
        }
    }

    QTimer timer_;
    std::deque<bool> confirmations_;
    std::deque<std::vector<std::string>> tagChoices_;
    int confirmationsShown_ = 0;
    std::vector<std::string> lastOffered_;
};

} // namespace kavrel::test
