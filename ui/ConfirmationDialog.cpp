#include "ConfirmationDialog.h"

#include <QApplication>
#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "WidgetUtils.h"

QSize dialogReferenceSize(QWidget* parent)
{
    if (parent)
        return parent->window()->size();
    if (QScreen* screen = QGuiApplication::primaryScreen())
        return screen->availableGeometry().size();
    return {};
}

ConfirmationDialog::ConfirmationDialog(const QString& title, const QString& message, QWidget* parent)
    : QDialog(parent)
    , title_(title)
    , message_(message)
{
    setWindowTitle(title_);
    setModal(true);

    const QSize reference = dialogReferenceSize(parent);
    QSize size(266, 200);
    if (reference.width() > 0 && reference.height() > 0)
        size = QSize(reference.width() / 3, reference.height() / 3);
    setMinimumSize(size);
    resize(size);

    QFont font = this->font();
    font.setPixelSize(WidgetUtils::fontSizePx());

    messageLabel_ = new QLabel(message_, this);
    messageLabel_->setObjectName("label_Message");
    messageLabel_->setWordWrap(true);
    messageLabel_->setAlignment(Qt::AlignCenter);
    messageLabel_->setFont(font);

    confirmButton_ = new QPushButton(QString::fromUtf8("确认"), this);
    confirmButton_->setObjectName("Btn_Confirm");
    cancelButton_ = new QPushButton(QString::fromUtf8("取消"), this);
    cancelButton_->setObjectName("Btn_Cancel");
    for (QPushButton* button : {confirmButton_, cancelButton_}) {
        button->setFont(font);
        button->setMinimumSize(80, 40);
        // Enter on a touch keyboard must not answer the question by accident.
        button->setAutoDefault(false);
    }

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(confirmButton_);
    buttons->addWidget(cancelButton_);
    buttons->addStretch();

    auto* layout = new QVBoxLayout(this);
    layout->addSpacing(20);
    layout->addWidget(messageLabel_);
    layout->addSpacing(20);
    layout->addLayout(buttons);
    layout->addSpacing(10);

    connect(confirmButton_, &QPushButton::clicked, this, [this] {
        confirmed_ = true;
        accept();
    });
    connect(cancelButton_, &QPushButton::clicked, this, [this] {
        confirmed_ = false;
        reject();
    });
}

ConfirmationDialog* showNotice(QWidget* parent, const QString& title, const QString& message)
{
    auto* dialog = new ConfirmationDialog(title, message, parent);
    dialog->setObjectName("noticeDialog");
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->cancelButton_->hide();
    dialog->open();
    return dialog;
}
