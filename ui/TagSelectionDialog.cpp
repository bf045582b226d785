#include "TagSelectionDialog.h"

#include <algorithm>

#include <QHBoxLayout>
#include <QListWidget>
#include <QListWidgetItem>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "ConfirmationDialog.h"
#include "SelectableListItemButton.h"
#include "config_manager.h"

namespace {
constexpr int kVisibleRows = 5;
constexpr int kMinRowHeight = 40;
}

TagSelectionDialog::TagSelectionDialog(const std::vector<Candidate>& candidates, QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QString::fromUtf8("选择标签"));
    setModal(true);
    auto* layout = new QVBoxLayout(this);

    listWidget_ = new QListWidget(this);
    listWidget_->setObjectName("listWidget_Tags");
    // The row buttons show the selection; the list's own would only confuse.
    listWidget_->setSelectionMode(QAbstractItemView::NoSelection);
    layout->addWidget(listWidget_);

    const QSize reference = dialogReferenceSize(parent);
    QSize size(640, 480);
    if (reference.width() > 0 && reference.height() > 0)
        size = QSize(reference.width() * 4 / 5, reference.height() * 4 / 5);
    setMinimumSize(size);
    resize(size);
    listWidget_->setMinimumHeight(std::max(200, size.height() - 120));

    for (const auto& [value, label] : candidates) {
        auto* button = new SelectableListItemButton(QString::fromStdString(label), listWidget_);
        auto* item = new QListWidgetItem(listWidget_);
        listWidget_->setItemWidget(item, button);
        items_.emplace_back(value, button);
        connect(button, &QPushButton::clicked, button, [button] {
            button->selected = !button->selected;
            button->applySelectionStyle();
        });
    }

    QFont font = this->font();
    font.setPixelSize(configuredFontSizePx());
    confirmButton_ = new QPushButton(QString::fromUtf8("确认"), this);
    confirmButton_->setObjectName("Btn_Confirm");
    confirmButton_->setFont(font);
    confirmButton_->setMinimumSize(80, 40);
    confirmButton_->setAutoDefault(false);
    connect(confirmButton_, &QPushButton::clicked, this, &QDialog::accept);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(confirmButton_);
    layout->addLayout(buttons);

    // The list has its final height only once the dialog is laid out.
    QTimer::singleShot(50, this, [this] { fitRows(); });
}

void TagSelectionDialog::fitRows()
{
    const int height = listWidget_->height();
    if (height < 1)
        return;
    const int rowHeight = std::max(kMinRowHeight, height / kVisibleRows);
    for (int row = 0; row < listWidget_->count(); ++row)
        listWidget_->item(row)->setSizeHint(QSize(0, rowHeight));
    for (auto& entry : items_)
        entry.second->setMinimumHeight(rowHeight);
}

std::vector<std::string> TagSelectionDialog::selectedTags() const
{
    std::vector<std::string> tags;
    for (const auto& [value, button] : items_) {
        if (button->selected)
            tags.push_back(value);
    }
    return tags;
}

std::vector<TagSelectionDialog::Candidate> popupTagCandidates(
    const std::vector<std::pair<std::string, std::string>>& tagPairs,
    const std::vector<std::string>& selectedTags)
{
    std::vector<TagSelectionDialog::Candidate> candidates;
    for (const auto& pair : tagPairs) {
        if (std::find(selectedTags.begin(), selectedTags.end(), pair.first) == selectedTags.end())
            candidates.push_back(pair);
    }
    return candidates;
}
