#include "TagSelectionDialog.h"

#include <algorithm>

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "ConfirmationDialog.h"
#include "SelectableListItemButton.h"
#include "WidgetUtils.h"

namespace {
constexpr int kVisibleRows = 5;
// Room for the title and the button row below the list.
constexpr int kChromeHeight = 120;
}

TagSelectionDialog::TagSelectionDialog(const std::vector<Candidate>& candidates, QWidget* parent)
    : QDialog(parent)
{
    setObjectName("TagSelectionDialog");
    setWindowTitle(QString::fromUtf8("选择标签"));
    setModal(true);
    setAttribute(Qt::WA_StyledBackground, true);
    // The panel has no window manager to frame dialogs: the dialog draws its own edge.
    setStyleSheet(QStringLiteral("QDialog#TagSelectionDialog { background-color: #F3F4F6; border: 2px solid #9CA3AF; }"
                                 "QListWidget { background: transparent; border: none; }"));

    const QSize reference = dialogReferenceSize(parent);
    QSize size(640, 480);
    if (reference.width() > 0 && reference.height() > 0)
        size = QSize(reference.width() * 4 / 5, reference.height() * 4 / 5);
    setMinimumSize(size);
    resize(size);

    QFont font = this->font();
    font.setPixelSize(WidgetUtils::fontSizePx());

    // Dialogs carry no window frame on the board, so the title is shown inside too.
    titleLabel_ = new QLabel(windowTitle(), this);
    titleLabel_->setObjectName("label_Title");
    titleLabel_->setFont(font);
    titleLabel_->setAlignment(Qt::AlignCenter);

    listWidget_ = new QListWidget(this);
    listWidget_->setObjectName("listWidget_Tags");
    listWidget_->setAccessibleName(windowTitle());
    // The row buttons show the selection; the list's own would only confuse.
    listWidget_->setSelectionMode(QAbstractItemView::NoSelection);
    listWidget_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    listWidget_->setSpacing(4);
    listWidget_->setMinimumHeight(std::max(200, size.height() - kChromeHeight));
    for (const auto& [value, label] : candidates) {
        SelectableListItemButton* button =
            addSelectableListItem(listWidget_, QString::fromStdString(label), false, WidgetUtils::fontSizePx() * 2);
        items_.emplace_back(value, button);
        connect(button, &QPushButton::clicked, button, &SelectableListItemButton::toggleSelected);
    }

    confirmButton_ = new QPushButton(QString::fromUtf8("确认"), this);
    confirmButton_->setObjectName("Btn_Confirm");
    cancelButton_ = new QPushButton(QString::fromUtf8("取消"), this);
    cancelButton_->setObjectName("Btn_Cancel");
    // The confirming answer in the blue of a chosen row, the other in the plain button grey.
    confirmButton_->setStyleSheet(WidgetUtils::withFontSize(SelectableListItemButton::selectedStyleTemplate())
                                      .replace(QLatin1String("text-align: left"), QLatin1String("text-align: center")));
    cancelButton_->setStyleSheet(WidgetUtils::mainButtonStyle());
    for (QPushButton* button : {confirmButton_, cancelButton_}) {
        button->setFont(font);
        // A finger-sized target: twice the text height, and never narrow.
        button->setMinimumSize(font.pixelSize() * 4, font.pixelSize() * 2);
        // Enter on a touch keyboard must not answer by accident.
        button->setAutoDefault(false);
    }
    connect(confirmButton_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancelButton_, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(confirmButton_);
    buttons->addWidget(cancelButton_);
    buttons->addStretch();

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(titleLabel_);
    layout->addWidget(listWidget_, 1);
    layout->addLayout(buttons);
}

// 取消, Esc and the window's close control all end here: no extra tags.
void TagSelectionDialog::reject()
{
    for (auto& entry : items_)
        entry.second->setSelected(false);
    QDialog::reject();
}

void TagSelectionDialog::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    fitRows();
}

void TagSelectionDialog::fitRows()
{
    fitListItemsToRows(listWidget_, kVisibleRows);
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
