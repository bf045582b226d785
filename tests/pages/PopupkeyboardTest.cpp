// The compartment-number keypad on its own.

#include <QAbstractButton>
#include <QLabel>
#include <QSignalSpy>
#include <QTest>

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

TEST_F(PagesTest, KeypadStopsAtItsMaximumLength)
{
    Popupkeyboard keyboard;
    keyboard.setMaxLength(3);
    QSignalSpy digits(&keyboard, &Popupkeyboard::digitPressed);
    for (int code : {1, 2, 3, 4})
        press(keyboard, code);
    EXPECT_EQ(keyboard.text(), "123");
    EXPECT_EQ(keyboard.display()->text(), "123");
    ASSERT_EQ(digits.count(), 3);
    EXPECT_EQ(digits.at(2).at(0).toInt(), 3);
    EXPECT_EQ(keyboard.key(12), nullptr);

    // No limit at 0 or below.
    Popupkeyboard unlimited;
    unlimited.setMaxLength(0);
    for (int i = 0; i < 12; ++i)
        press(unlimited, i % 10);
    EXPECT_EQ(unlimited.text(), "012345678901");
}

TEST_F(PagesTest, KeypadDeleteAndConfirm)
{
    Popupkeyboard keyboard;
    keyboard.setMaxLength(3);
    keyboard.setText("45");
    EXPECT_EQ(keyboard.display()->text(), "45");
    QSignalSpy deleted(&keyboard, &Popupkeyboard::valueDeleted);
    QSignalSpy confirmed(&keyboard, &Popupkeyboard::valueConfirmed);

    press(keyboard, Popupkeyboard::kDeleteKey);
    EXPECT_EQ(keyboard.text(), "4");
    press(keyboard, 7);
    press(keyboard, 0);
    EXPECT_EQ(keyboard.text(), "470");
    for (int i = 0; i < 4; ++i)
        press(keyboard, Popupkeyboard::kDeleteKey);
    EXPECT_EQ(keyboard.text(), "");
    EXPECT_EQ(keyboard.display()->text(), "");
    EXPECT_EQ(deleted.count(), 5);  // also on the empty display

    press(keyboard, Popupkeyboard::kConfirmKey);
    EXPECT_EQ(confirmed.count(), 1);
    EXPECT_EQ(keyboard.result(), QDialog::Accepted);
    EXPECT_EQ(keyboard.text(), "");
}

TEST_F(PagesTest, KeypadOnlyAcceptsThroughItsConfirmKey)
{
    QWidget owner;
    owner.resize(1280, 800);
    Popupkeyboard keyboard(&owner);
    auto answered = kavrel::test::answerNextModal([](QWidget* modal) {
        QTest::keyClick(modal, Qt::Key_Escape);
    });
    EXPECT_EQ(keyboard.exec(), QDialog::Rejected);
    EXPECT_TRUE(*answered);

    answered = kavrel::test::answerNextModal([&keyboard](QWidget* modal) {
        EXPECT_EQ(modal, &keyboard);
        keyboard.key(9)->click();
        keyboard.key(Popupkeyboard::kConfirmKey)->click();
    });
    EXPECT_EQ(keyboard.exec(), QDialog::Accepted);
    EXPECT_TRUE(*answered);
    EXPECT_EQ(keyboard.text(), "9");
}

TEST_F(PagesTest, KeypadTakesFourFifthsOfItsWindow)
{
    QWidget window;
    window.resize(1280, 800);
    auto* child = new QWidget(&window);
    Popupkeyboard keyboard(child);
    EXPECT_EQ(keyboard.size(), QSize(1024, 640));
    EXPECT_EQ(keyboard.minimumSize(), QSize(1024, 640));

    window.resize(1001, 603);
    Popupkeyboard odd(&window);
    EXPECT_EQ(odd.size(), QSize(800, 482));

}
