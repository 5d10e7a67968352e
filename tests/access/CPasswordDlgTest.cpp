#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include <optional>
#include <string>

#include "access/CPasswordDlg.h"
#include "access/SettingsFiles.h"
#include "access/TempSysDir.h"
#include "platform/qt/ControlId.h"
#include "platform/qt/DialogColours.h"

namespace {

QLineEdit* Edit(const QWidget& dlg, int id) {
    return FindControlAs<QLineEdit>(&dlg, id);
}

QLabel* Message(const QWidget& dlg) {
    return FindControlAs<QLabel>(&dlg, CPasswordDlg::kIdMessage);
}

void ShowActive(QWidget& dlg) {
    dlg.show();
    dlg.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
}

}  // namespace

TEST(CPasswordDlg, LayoutShowsTheCurrentRowOnlyWithAPassword) {
    TempSysDir dir;
    for (bool exists : {false, true}) {
        CPasswordDlg dlg(exists);
        ShowActive(dlg);
        EXPECT_EQ(dlg.size(), QSize(374, 200));
        EXPECT_EQ(Edit(dlg, CPasswordDlg::kIdNewPassword)->geometry(), QRect(174, 54, 160, 24));
        EXPECT_EQ(dlg.focusWidget(), FindControl(&dlg, CPasswordDlg::kIdSave));
        EXPECT_FALSE(Message(dlg)->isVisible());
        EXPECT_EQ(FindControl(&dlg, CPasswordDlg::kIdCurrentLabel)->isVisible(), exists);
        EXPECT_EQ(Edit(dlg, CPasswordDlg::kIdCurrentPassword)->isVisible(), exists);
        EXPECT_EQ(dlg.grab().toImage().pixelColor(2, 2), QColor(kDialogBackground));
    }
}

TEST(CPasswordDlg, SaveChecksInOrderAndWritesTheNewPasswordAsTyped) {
    using File = std::optional<std::string>;  // the password file; nullopt = none
    struct Case {
        File before;
        bool exists;  // what the login dialog passes
        const char *current, *typed, *confirmation;
        const char* message;  // nullptr: saved and accepted
        File after;
    };
    const char* kWrong = CPasswordDlg::kMsgCurrentWrong;
    const char* kMismatch = CPasswordDlg::kMsgMismatch;
    const Case cases[] = {
        {{}, false, "", "abc", "abc", nullptr, "abc"},
        {{}, false, "", "", "", nullptr, ""},
        {{}, false, "", "abc ", "abc ", kMismatch, {}},  // only the new one is trimmed
        {{}, false, "", "abc \t", "abc", nullptr, "abc \t"},
        {{}, false, "", "abc", "abc ", kMismatch, {}},
        {"old", true, "old", "new", "new", nullptr, "new"},
        {"old", true, "bad", "a", "b", kWrong, "old"},  // the current one is checked first
        {"Old", true, "old", "new", "new", kWrong, "Old"},
        {"old", true, "old", "a", "b", kMismatch, "old"},
        {{}, true, "", "new", "new", kWrong, {}},  // the file went away since the login
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.current) + "|" + c.typed + "|" + c.confirmation);
        TempSysDir dir;
        if (c.before) {
            ASSERT_TRUE(SavePassword(*c.before));
        }
        CPasswordDlg dlg(c.exists);
        dlg.show();
        Edit(dlg, CPasswordDlg::kIdCurrentPassword)->setText(c.current);
        Edit(dlg, CPasswordDlg::kIdNewPassword)->setText(c.typed);
        Edit(dlg, CPasswordDlg::kIdConfirmPassword)->setText(c.confirmation);
        QTest::mouseClick(FindControl(&dlg, CPasswordDlg::kIdSave), Qt::LeftButton);
        EXPECT_EQ(dlg.isVisible(), c.message != nullptr);
        EXPECT_EQ(Message(dlg)->isVisible(), c.message != nullptr);
        EXPECT_EQ(dlg.result(), c.message ? QDialog::Rejected : QDialog::Accepted);
        if (c.message) {
            EXPECT_EQ(Message(dlg)->text(), c.message);
        }
        EXPECT_EQ(TempSysDir::Read(PasswordFilePath()), c.after.value_or("<none>"));
    }
}

TEST(CPasswordDlg, AFailedSaveIsReported) {
    TempSysDir dir;
    dir.MakeUnwritable();
    CPasswordDlg dlg(false);
    dlg.show();
    dlg.OnSave();
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(Message(dlg)->text(), CPasswordDlg::kMsgSaveFailed);
}

TEST(CPasswordDlg, FieldsTakeSixteenCharactersAndReturnSaves) {
    TempSysDir dir;
    CPasswordDlg dlg(false);
    ShowActive(dlg);
    for (int id : {CPasswordDlg::kIdNewPassword, CPasswordDlg::kIdConfirmPassword}) {
        QLineEdit* edit = Edit(dlg, id);
        // Two bytes each in UTF-8: eight fill what the readers of the file look at.
        for (int i = 0; i < 12; ++i) {
            QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_Eacute, QChar(0xe9), Qt::NoModifier);
        }
        EXPECT_EQ(edit->text(), QString(8, QChar(0xe9)));
        edit->clear();
        QTest::keyClicks(edit, "0123456789abcdefgh");
        EXPECT_EQ(edit->text(), "0123456789abcdef");
    }
    QTest::keyClick(Edit(dlg, CPasswordDlg::kIdConfirmPassword), Qt::Key_Return);
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_TRUE(CheckPassword("0123456789abcdef"));
}

TEST(CPasswordDlg, MessageHidesWhenNewOrConfirmationTakesTheFocus) {
    TempSysDir dir;
    CPasswordDlg dlg(true);  // no file: the current password is always wrong
    ShowActive(dlg);
    for (int id : {CPasswordDlg::kIdNewPassword, CPasswordDlg::kIdConfirmPassword}) {
        FindControl(&dlg, CPasswordDlg::kIdSave)->setFocus();
        dlg.OnSave();
        QTest::mouseClick(Edit(dlg, CPasswordDlg::kIdCurrentPassword), Qt::LeftButton);
        EXPECT_TRUE(Message(dlg)->isVisible());
        QTest::mouseClick(Edit(dlg, id), Qt::LeftButton);
        EXPECT_FALSE(Message(dlg)->isVisible());
    }
}

TEST(CPasswordDlg, CancelEscapeAndCloseWriteNothing) {
    for (int way = 0; way < 3; ++way) {
        TempSysDir dir;
        CPasswordDlg dlg(false);
        ShowActive(dlg);
        Edit(dlg, CPasswordDlg::kIdNewPassword)->setText("abc");
        Edit(dlg, CPasswordDlg::kIdConfirmPassword)->setText("abc");
        if (way == 0) {
            QTest::mouseClick(FindControl(&dlg, CPasswordDlg::kIdCancel), Qt::LeftButton);
        } else if (way == 1) {
            QTest::keyClick(&dlg, Qt::Key_Escape);
        } else {
            dlg.close();
        }
        EXPECT_FALSE(dlg.isVisible());
        EXPECT_EQ(dlg.result(), QDialog::Rejected);
        EXPECT_FALSE(HasPasswordFile());
    }
}
