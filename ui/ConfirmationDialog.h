#pragma once
// A modal yes/no question sized for the touch screen: one third of the main
// window (or of the screen when it has no parent). The answer is yes only when
// exec() returned Accepted *and* confirmed_ is set, so closing the window with
// its close control counts as no.

#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;

class ConfirmationDialog : public QDialog {
    Q_OBJECT
public:
    ConfirmationDialog(const QString& title, const QString& message, QWidget* parent = nullptr);

    bool isConfirmed() const { return confirmed_; }

    bool confirmed_ = false;
    QLabel* messageLabel_ = nullptr;
    QPushButton* confirmButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QString title_;
    QString message_;
};

// The size both dialogs start from: the parent's top-level window, or the
// primary screen's available area when there is no parent.
QSize dialogReferenceSize(QWidget* parent);

// A notice for the operator (why capture did not start or stopped): the same
// dialog with its confirm button only, shown window-modal without blocking,
// deleted when closed. Named "noticeDialog".
ConfirmationDialog* showNotice(QWidget* parent, const QString& title, const QString& message);
