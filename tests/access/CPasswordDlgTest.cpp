#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
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

TEST(CPasswordDlg, LaysOutTheTemplateAndShowsTheCurrentRowOnlyWithAPassword) {
    TempSysDir dir;
    for (bool exists : {false, true}) {
        SCOPED_TRACE(exists);
        CPasswordDlg dlg(exists);
        ShowActive(dlg);
        EXPECT_EQ(dlg.windowTitle(), "Password Setup");
        EXPECT_EQ(dlg.size(), QSize(374, 200));
        EXPECT_EQ(Edit(dlg, CPasswordDlg::kIdNewPassword)->geometry(), QRect(174, 54, 160, 24));
        EXPECT_EQ(FindControl(&dlg, CPasswordDlg::kIdSave)->geometry(), QRect(244, 150, 100, 28));
        EXPECT_EQ(dlg.focusWidget(), FindControl(&dlg, CPasswordDlg::kIdSave));
        EXPECT_FALSE(Message(dlg)->isVisible());
        EXPECT_EQ(FindControl(&dlg, CPasswordDlg::kIdCurrentLabel)->isVisible(), exists);
        EXPECT_EQ(Edit(dlg, CPasswordDlg::kIdCurrentPassword)->isVisible(), exists);
        EXPECT_EQ(dlg.palette().color(QPalette::Window), QColor(kDialogBackground));
        EXPECT_EQ(dlg.grab().toImage().pixelColor(2, 2), QColor(kDialogBackground));
    }
}

TEST(CPasswordDlg, SaveChecksInOrderAndWritesTheNewPasswordAsTyped) {
    struct Case {
        const char* name;
        std::optional<std::string> stored;  // password file before; nullopt = none
        bool exists;                        // what the login dialog passes
        const char* current;
        const char* newPassword;
        const char* confirmation;
        const char* message;  // nullptr: saved and accepted
        std::optional<std::string> after;
    };
    const Case cases[] = {
        {"first password", std::nullopt, false, "", "abc", "abc", nullptr, "abc"},
        {"empty first password", std::nullopt, false, "", "", "", nullptr, ""},
        {"blank kept in both", std::nullopt, false, "", "abc ", "abc ", CPasswordDlg::kMsgMismatch,
         std::nullopt},
        {"blank only in new", std::nullopt, false, "", "abc \t", "abc", nullptr, "abc \t"},
        {"blank only in confirmation", std::nullopt, false, "", "abc", "abc ",
         CPasswordDlg::kMsgMismatch, std::nullopt},
        {"change", "old", true, "old", "new", "new", nullptr, "new"},
        {"wrong current", "old", true, "bad", "new", "new", CPasswordDlg::kMsgCurrentWrong, "old"},
        {"wrong current wins", "old", true, "bad", "a", "b", CPasswordDlg::kMsgCurrentWrong, "old"},
        {"current case", "Old", true, "old", "new", "new", CPasswordDlg::kMsgCurrentWrong, "Old"},
        {"mismatch after current", "old", true, "old", "a", "b", CPasswordDlg::kMsgMismatch, "old"},
        {"file gone since login", std::nullopt, true, "", "new", "new",
         CPasswordDlg::kMsgCurrentWrong, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempSysDir dir;
        if (c.stored) {
            ASSERT_TRUE(SavePassword(*c.stored));
        }
        CPasswordDlg dlg(c.exists);
        dlg.show();
        Edit(dlg, CPasswordDlg::kIdCurrentPassword)->setText(QString::fromUtf8(c.current));
        Edit(dlg, CPasswordDlg::kIdNewPassword)->setText(QString::fromUtf8(c.newPassword));
        Edit(dlg, CPasswordDlg::kIdConfirmPassword)->setText(QString::fromUtf8(c.confirmation));
        QTest::mouseClick(FindControl(&dlg, CPasswordDlg::kIdSave), Qt::LeftButton);

        if (c.message == nullptr) {
            EXPECT_EQ(dlg.result(), QDialog::Accepted);
            EXPECT_FALSE(dlg.isVisible());
        } else {
            EXPECT_TRUE(dlg.isVisible());
            EXPECT_TRUE(Message(dlg)->isVisible());
            EXPECT_EQ(Message(dlg)->text(), c.message);
        }
        std::string bytes;
        const bool present = TempSysDir::ReadFile(PasswordFilePath(), bytes);
        EXPECT_EQ(present, c.after.has_value());
        if (c.after) {
            EXPECT_EQ(bytes, *c.after);
        }
    }
}

TEST(CPasswordDlg, SaveFailureIsReportedAndTheDialogStays) {
    TempSysDir dir;
    dir.MakeUnwritable();
    CPasswordDlg dlg(false);
    dlg.show();
    Edit(dlg, CPasswordDlg::kIdNewPassword)->setText("abc");
    Edit(dlg, CPasswordDlg::kIdConfirmPassword)->setText("abc");
    dlg.OnSave();
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(Message(dlg)->text(), CPasswordDlg::kMsgSaveFailed);
    EXPECT_TRUE(Message(dlg)->isVisible());
}

TEST(CPasswordDlg, NewAndConfirmationTakeSixteenCharactersAndSixteenBytes) {
    TempSysDir dir;
    CPasswordDlg dlg(false);
    ShowActive(dlg);
    for (int id : {CPasswordDlg::kIdNewPassword, CPasswordDlg::kIdConfirmPassword}) {
        QLineEdit* edit = Edit(dlg, id);
        QTest::keyClicks(edit, "0123456789abcdefgh");
        EXPECT_EQ(edit->text(), "0123456789abcdef");
        edit->clear();
        // Two bytes each in UTF-8: only eight fit in what the readers look at.
        for (int i = 0; i < 12; ++i) {
            QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_Eacute, QString(QChar(0xe9)),
                                Qt::NoModifier);
        }
        EXPECT_EQ(edit->text(), QString(8, QChar(0xe9)));
    }
    QLineEdit* current = Edit(dlg, CPasswordDlg::kIdCurrentPassword);
    current->setText(QString(40, 'x'));
    EXPECT_EQ(current->text().size(), 40);
}

TEST(CPasswordDlg, MessageHidesWhenNewOrConfirmationTakesTheFocus) {
    TempSysDir dir;
    ASSERT_TRUE(SavePassword("old"));
    CPasswordDlg dlg(true);
    ShowActive(dlg);
    for (int id : {CPasswordDlg::kIdNewPassword, CPasswordDlg::kIdConfirmPassword}) {
        SCOPED_TRACE(id);
        Edit(dlg, CPasswordDlg::kIdCurrentPassword)->setFocus();
        dlg.OnSave();
        ASSERT_TRUE(Message(dlg)->isVisible());
        QTest::mouseClick(Edit(dlg, CPasswordDlg::kIdCurrentPassword), Qt::LeftButton);
        EXPECT_TRUE(Message(dlg)->isVisible());
        QTest::mouseClick(Edit(dlg, id), Qt::LeftButton);
        EXPECT_FALSE(Message(dlg)->isVisible());
    }
}

TEST(CPasswordDlg, ReturnInAFieldSaves) {
    TempSysDir dir;
    CPasswordDlg dlg(false);
    ShowActive(dlg);
    QTest::keyClicks(Edit(dlg, CPasswordDlg::kIdNewPassword), "pw");
    QTest::keyClicks(Edit(dlg, CPasswordDlg::kIdConfirmPassword), "pw");
    QTest::keyClick(Edit(dlg, CPasswordDlg::kIdConfirmPassword), Qt::Key_Return);
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_TRUE(CheckPassword("pw"));
}

TEST(CPasswordDlg, CancelEscapeAndCloseLeaveWithoutWriting) {
    enum class Way { kCancel, kEscape, kClose };
    for (Way way : {Way::kCancel, Way::kEscape, Way::kClose}) {
        SCOPED_TRACE(static_cast<int>(way));
        TempSysDir dir;
        CPasswordDlg dlg(false);
        ShowActive(dlg);
        Edit(dlg, CPasswordDlg::kIdNewPassword)->setText("abc");
        Edit(dlg, CPasswordDlg::kIdConfirmPassword)->setText("abc");
        switch (way) {
            case Way::kCancel:
                QTest::mouseClick(FindControl(&dlg, CPasswordDlg::kIdCancel), Qt::LeftButton);
                break;
            case Way::kEscape:
                QTest::keyClick(&dlg, Qt::Key_Escape);
                break;
            case Way::kClose:
                dlg.close();
                break;
        }
        EXPECT_FALSE(dlg.isVisible());
        EXPECT_EQ(dlg.result(), QDialog::Rejected);
        EXPECT_FALSE(HasPasswordFile());
    }
}
