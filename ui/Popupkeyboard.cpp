#include "Popupkeyboard.h"

#include <QFont>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QScreen>

#include "ui_Popupkeyboard.h"

namespace {

constexpr int kFallbackWidth = 640;
constexpr int kFallbackHeight = 384;

} // namespace

Popupkeyboard::Popupkeyboard(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::Popupkeyboard>())
{
    ui->setupUi(this);
    setModal(true);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setWindowTitle(QString::fromUtf8("数字键盘"));
    setWindowIcon(QIcon(QStringLiteral(":/Svg/keyboard.svg")));
    sizeToParentWindow();

    display_ = new QLabel(ui->widget_body);
    display_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    display_->setStyleSheet(keypadDisplayStyle());
    ui->verticalLayout->insertWidget(0, display_);

    const QList<QPushButton*> keys = {
        ui->Btn_Digit_0, ui->Btn_Digit_1, ui->Btn_Digit_2, ui->Btn_Digit_3, ui->Btn_Digit_4, ui->Btn_Digit_5,
        ui->Btn_Digit_6, ui->Btn_Digit_7, ui->Btn_Digit_8, ui->Btn_Digit_9, ui->Btn_Confirm, ui->Btn_Delete,
    };
    QFont keyFont = font();
    keyFont.setPixelSize(fontSizePx());
    for (int code = 0; code < keys.size(); ++code) {
        QPushButton* button = keys[code];
        keyCodes_.insert(button, code);
        connect(button, &QPushButton::clicked, this, [this, code] { onKeyClicked(code); });
        // One style rule covers every key.
        button->setObjectName(QStringLiteral("Btn_keyboard"));
        button->setFont(keyFont);
    }
    setIconButton(ui->Btn_Delete, QStringLiteral(":/Svg/DeleteKey.svg"), QString::fromUtf8("删除"));
    setIconButton(ui->Btn_Confirm, QStringLiteral(":/Svg/ConfirmKey.svg"), QString::fromUtf8("确认"));
    loadStyles(this, QStringLiteral(":/Qss/Popupkeyboard.qss"));
}

Popupkeyboard::~Popupkeyboard() = default;

void Popupkeyboard::sizeToParentWindow()
{
    QSize size;
    const QWidget* top = parentWidget() ? parentWidget()->window() : nullptr;
    if (top && top->width() > 0 && top->height() > 0) {
        size = QSize(top->width() * 4 / 5, top->height() * 4 / 5);
    } else if (const QScreen* screen = QGuiApplication::primaryScreen();
               screen && screen->availableGeometry().width() > 0 && screen->availableGeometry().height() > 0) {
        const QRect area = screen->availableGeometry();
        size = QSize(area.width() * 4 / 5, area.height() * 4 / 5);
    } else {
        size = QSize(kFallbackWidth, kFallbackHeight);
    }
    setMinimumSize(size);
    resize(size);
}

void Popupkeyboard::setMaxLength(int maxLength)
{
    maxLength_ = maxLength;
}

void Popupkeyboard::setText(const QString& text)
{
    text_ = text;
    display_->setText(text_);
}

QAbstractButton* Popupkeyboard::key(int code) const
{
    for (auto it = keyCodes_.cbegin(); it != keyCodes_.cend(); ++it) {
        if (it.value() == code)
            return it.key();
    }
    return nullptr;
}

void Popupkeyboard::onKeyClicked(int code)
{
    if (code >= 0 && code <= 9) {
        if (maxLength_ > 0 && text_.size() >= maxLength_)
            return;
        text_.append(QChar('0' + code));
        display_->setText(text_);
        emit digitPressed(code);
    } else if (code == kDeleteKey) {
        if (!text_.isEmpty()) {
            text_.chop(1);
            display_->setText(text_);
        }
        emit valueDeleted();
    } else if (code == kConfirmKey) {
        emit valueConfirmed();
        accept();
    }
}
