#pragma once
// Modal touch keypad for short numbers (the compartment number). The owner
// sets the maximum length and the initial text, calls exec() and reads text()
// when it returns QDialog::Accepted (only the confirm key accepts).

#include <memory>

#include <QDialog>
#include <QMap>
#include <QString>

#include "WidgetUtils.h"

class QAbstractButton;
class QLabel;

namespace Ui {
class Popupkeyboard;
}

class Popupkeyboard : public QDialog, public WidgetUtils {
    Q_OBJECT
public:
    // Key codes: 0-9 are the digits.
    static constexpr int kConfirmKey = 10;
    static constexpr int kDeleteKey = 11;

    explicit Popupkeyboard(QWidget* parent = nullptr);
    ~Popupkeyboard() override;

    // At most this many digits; 0 or less means no limit.
    void setMaxLength(int maxLength);
    int maxLength() const { return maxLength_; }

    void setText(const QString& text);
    QString text() const { return text_; }

    // The button of a key code (0-11); null for anything else.
    QAbstractButton* key(int code) const;
    // The field that shows the digits typed so far.
    QLabel* display() const { return display_; }

signals:
    void valueConfirmed();
    void valueDeleted();
    void digitPressed(int digit);

private:
    void onKeyClicked(int code);
    void sizeToParentWindow();

    std::unique_ptr<Ui::Popupkeyboard> ui;
    QMap<QAbstractButton*, int> keyCodes_;
    QLabel* display_ = nullptr;
    QString text_;
    int maxLength_ = 0;
};
