// The compartment-number keypad on its own.

#include <QAbstractButton>
#include <QLabel>
#include <QSignalSpy>

#include "PagesFixture.h"
#include "Popupkeyboard.h"

using kavrel::test::PagesTest;

namespace {

void press(Popupkeyboard& keyboard, int code)
{
    QAbstractButton* key = keyboard.key(code);
    ASSERT_NE(key, nullptr) << code;
    key->click();
}

} // namespace

TEST_F(PagesTest, KeypadDeleteAndConfirm)
{
    Popupkeyboard keyboard;
    keyboard.setMaxLength(3);
    keyboard.setText("45");
    QSignalSpy deleted(&keyboard, &Popupkeyboard::valueDeleted);
    QSignalSpy confirmed(&keyboard, &Popupkeyboard::valueConfirmed);

    press(keyboard, Popupkeyboard::kDeleteKey);
    EXPECT_EQ(keyboard.text(), "4");
    press(keyboard, 7);
    press(keyboard, 0);
    EXPECT_EQ(keyboard.text(), "470");
    for (int i = 0; i < 4; ++i)
        press(keyboard, Popupkeyboard::kDeleteKey);
    EXPECT_EQ(keyboard.display()->text(), "");
    EXPECT_EQ(deleted.count(), 5);  // also on the empty display

    press(keyboard, Popupkeyboard::kConfirmKey);
    EXPECT_EQ(confirmed.count(), 1);
    EXPECT_EQ(keyboard.result(), QDialog::Accepted);
    EXPECT_EQ(keyboard.text(), "");
}
