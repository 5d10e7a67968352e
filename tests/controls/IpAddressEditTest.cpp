#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QTest>

#include "controls/CIpAddressEdit.h"

namespace {

using Address = std::array<std::uint8_t, 4>;

// Types into whichever field has the focus, the way the operator's keys arrive.
void Type(const QString& text) {
    for (const QChar c : text) {
        QWidget* target = QApplication::focusWidget();
        ASSERT_NE(target, nullptr);
        if (c == '\b') {
            QTest::keyClick(target, Qt::Key_Backspace);
        } else {
            QTest::keyClick(target, c.toLatin1());
        }
    }
}

struct ShownEdit {
    ShownEdit() {
        edit.setGeometry(50, 50, 200, 22);
        edit.show();
        edit.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&edit));
        edit.Field(0)->setFocus();
    }
    CIpAddressEdit edit;
};

}  // namespace

TEST(IpAddressEdit, TypingMovesFromFieldToField) {
    struct Case {
        const char* typed;
        Address address;
    };
    const Case cases[] = {
        {"127.0.0.1", {127, 0, 0, 1}},
        {"192168001020", {192, 168, 1, 20}},  // a third digit moves on by itself
        {"10.1", {10, 1, 0, 0}},              // blank fields read 0
        {"", {0, 0, 0, 0}},
        {"999.300.1.2", {255, 255, 1, 2}},  // above 255 is cut to 255
        {"1..2", {1, 2, 0, 0}},             // a dot in an empty field does not move on
        {"12a.3x4.5.6", {12, 34, 5, 6}},    // letters are refused
        {"1.2\b\b3", {13, 0, 0, 0}},        // Backspace in an empty field goes back
    };
    for (const Case& c : cases) {
        ShownEdit shown;
        Type(c.typed);
        EXPECT_EQ(shown.edit.Address(), c.address) << c.typed;
    }
}

TEST(IpAddressEdit, BlankUntilSomethingIsTyped) {
    ShownEdit shown;
    EXPECT_TRUE(shown.edit.IsBlank());
    Type("0");
    EXPECT_FALSE(shown.edit.IsBlank());
}
