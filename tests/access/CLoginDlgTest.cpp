#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <string>

#include "access/CLoginDlg.h"
#include "access/CPasswordDlg.h"
#include "access/SettingsFiles.h"
#include "access/TempSysDir.h"
#include "platform/qt/ControlId.h"
#include "platform/qt/DialogColours.h"

namespace {

// The caller's variables, as the main window holds them before the login.
struct Session {
    std::string model;
    int inputs = 0;
    int outputs = 0;
};

QLineEdit* Edit(const QWidget& dlg, int id) {
    return FindControlAs<QLineEdit>(&dlg, id);
}

QLabel* ErrorLine(const QWidget& dlg) {
    return FindControlAs<QLabel>(&dlg, CLoginDlg::kIdError);
}

void Click(const QWidget& dlg, int id) {
    QTest::mouseClick(FindControl(&dlg, id), Qt::LeftButton);
}

std::string LastLoginBytes() {
    std::string bytes;
    return TempSysDir::ReadFile(LastLoginFilePath(), bytes) ? bytes : "<none>";
}

void ShowActive(QWidget& dlg) {
    dlg.show();
    dlg.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
}

}  // namespace

TEST(CLoginDlg, FirstStartShowsTheDefaultsAndEnterStoresThem) {
    TempSysDir dir;
    Session s;
    CLoginDlg dlg(s.model, s.inputs, s.outputs);
    ShowActive(dlg);

    EXPECT_EQ(dlg.windowTitle(), "Vantrel Matrix");
    EXPECT_FALSE(dlg.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_EQ(dlg.size(), QSize(512, 292));
    EXPECT_EQ(Edit(dlg, CLoginDlg::kIdInput)->geometry(), QRect(236, 80, 130, 24));
    EXPECT_EQ(dlg.focusWidget(), FindControl(&dlg, CLoginDlg::kIdEnter));
    auto* list = FindControlAs<QComboBox>(&dlg, CLoginDlg::kIdModelList);
    ASSERT_NE(list, nullptr);
    EXPECT_FALSE(list->isEnabled());
    const char* names[] = {"Audio Matrix (KQF)", "AV matrix (KQE)",    "DVI matrix (KQD)",
                           "HDMI matrix",        "RGBHV matrix (KQC)", "S-Video matrix (KQB)",
                           "VGA matrix (KQA)"};
    ASSERT_EQ(list->count(), 7);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(list->itemText(i), names[i]);
    }
    EXPECT_EQ(list->currentText(), "HDMI matrix");
    EXPECT_EQ(Edit(dlg, CLoginDlg::kIdInput)->text(), "8");
    EXPECT_EQ(Edit(dlg, CLoginDlg::kIdOutput)->text(), "8");
    EXPECT_FALSE(FindControl(&dlg, CLoginDlg::kIdPasswordLabel)->isVisible());
    EXPECT_FALSE(Edit(dlg, CLoginDlg::kIdPassword)->isVisible());
    EXPECT_EQ(FindControlAs<QPushButton>(&dlg, CLoginDlg::kIdPasswordSetup)->text(),
              "Password Setup");
    EXPECT_FALSE(ErrorLine(dlg)->isVisible());

    // The dialog is blue; its labels carry the teal dialog colour.
    const QImage image = dlg.grab().toImage();
    EXPECT_EQ(image.pixelColor(2, 2), QColor(kWindowBackground));
    const QRect label = FindControl(&dlg, CLoginDlg::kIdInputLabel)->geometry();
    EXPECT_EQ(image.pixelColor(label.left() + 1, label.bottom() - 1), QColor(kDialogBackground));

    Click(dlg, CLoginDlg::kIdEnter);
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(s.model, "HDMI matrix");
    EXPECT_EQ(s.inputs, 8);
    EXPECT_EQ(s.outputs, 8);
    EXPECT_EQ(LastLoginBytes(), "3,8,8");
}

TEST(CLoginDlg, EditsStartFromTheLastLoginFile) {
    struct Case {
        const char* content;
        const char* input;
        const char* output;
    };
    // A malformed file leaves the caller's values, which start at 0.
    const Case cases[] = {{"3,16,4", "16", "4"}, {"12", "0", "0"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        TempSysDir dir;
        TempSysDir::WriteFile(LastLoginFilePath(), c.content);
        Session s;
        CLoginDlg dlg(s.model, s.inputs, s.outputs);
        EXPECT_EQ(Edit(dlg, CLoginDlg::kIdInput)->text(), c.input);
        EXPECT_EQ(Edit(dlg, CLoginDlg::kIdOutput)->text(), c.output);
    }
}

TEST(CLoginDlg, CountsAreReadAsLeadingNumbersAndMustBePositive) {
    struct Case {
        const char* input;
        const char* output;
        int inputs;  // what the caller holds afterwards, accepted or not
        int outputs;
        bool accepted;
    };
    const Case cases[] = {
        {"12abc", "8", 12, 8, true}, {" 7", "8", 7, 8, true},  {"500", "1000", 500, 1000, true},
        {"abc", "8", 0, 8, false},   {"", "8", 0, 8, false},   {"0", "8", 0, 8, false},
        {"-2", "8", -2, 8, false},   {"4", "x9", 4, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.input) + "/" + c.output);
        TempSysDir dir;
        Session s;
        CLoginDlg dlg(s.model, s.inputs, s.outputs);
        dlg.show();
        Edit(dlg, CLoginDlg::kIdInput)->setText(c.input);
        Edit(dlg, CLoginDlg::kIdOutput)->setText(c.output);
        Click(dlg, CLoginDlg::kIdEnter);
        EXPECT_EQ(s.inputs, c.inputs);
        EXPECT_EQ(s.outputs, c.outputs);
        if (c.accepted) {
            EXPECT_EQ(dlg.result(), QDialog::Accepted);
            EXPECT_EQ(LastLoginBytes(),
                      "3," + std::to_string(c.inputs) + "," + std::to_string(c.outputs));
        } else {
            EXPECT_TRUE(dlg.isVisible());
            EXPECT_TRUE(ErrorLine(dlg)->isVisible());
            EXPECT_EQ(ErrorLine(dlg)->text(), CLoginDlg::kMsgNumberError);
            EXPECT_EQ(LastLoginBytes(), "<none>");
        }
    }
}

TEST(CLoginDlg, AStoredPasswordMustBeTypedExactly) {
    struct Case {
        const char* stored;
        const char* typed;
        bool accepted;
    };
    const Case cases[] = {
        {"Secret", "Secret", true},
        {"Secret", "secret", false},
        {"Secret", "", false},
        {"", "", true},  // an empty file is an empty password, and it is still asked for
        {"", " ", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.stored) + "/" + c.typed);
        TempSysDir dir;
        ASSERT_TRUE(SavePassword(c.stored));
        Session s;
        CLoginDlg dlg(s.model, s.inputs, s.outputs);
        dlg.show();
        EXPECT_TRUE(dlg.PasswordRequired());
        EXPECT_TRUE(Edit(dlg, CLoginDlg::kIdPassword)->isVisible());
        EXPECT_TRUE(FindControl(&dlg, CLoginDlg::kIdPasswordLabel)->isVisible());
        EXPECT_EQ(FindControlAs<QPushButton>(&dlg, CLoginDlg::kIdPasswordSetup)->text(),
                  "Edit Password");
        Edit(dlg, CLoginDlg::kIdPassword)->setText(c.typed);
        Click(dlg, CLoginDlg::kIdEnter);
        if (c.accepted) {
            EXPECT_EQ(dlg.result(), QDialog::Accepted);
        } else {
            EXPECT_TRUE(dlg.isVisible());
            EXPECT_EQ(ErrorLine(dlg)->text(), CLoginDlg::kMsgPasswordWrong);
            EXPECT_TRUE(ErrorLine(dlg)->isVisible());
            EXPECT_EQ(LastLoginBytes(), "<none>");
        }
    }
}

TEST(CLoginDlg, ErrorLineHidesWhenAnEditTakesTheFocus) {
    TempSysDir dir;
    ASSERT_TRUE(SavePassword("pw"));
    Session s;
    CLoginDlg dlg(s.model, s.inputs, s.outputs);
    ShowActive(dlg);
    for (int id : {CLoginDlg::kIdInput, CLoginDlg::kIdOutput, CLoginDlg::kIdPassword}) {
        SCOPED_TRACE(id);
        FindControl(&dlg, CLoginDlg::kIdEnter)->setFocus();
        dlg.OnEnter();
        ASSERT_TRUE(ErrorLine(dlg)->isVisible());
        QTest::mouseClick(Edit(dlg, id), Qt::LeftButton);
        EXPECT_FALSE(ErrorLine(dlg)->isVisible());
    }
}

TEST(CLoginDlg, EscapeIsIgnoredAndExitCancels) {
    TempSysDir dir;
    Session s;
    CLoginDlg dlg(s.model, s.inputs, s.outputs);
    bool stillOpenAfterEscape = false;
    QTimer::singleShot(0, &dlg, [&] {
        QTest::keyClick(&dlg, Qt::Key_Escape);
        QTest::keyClick(Edit(dlg, CLoginDlg::kIdInput), Qt::Key_Escape);
        stillOpenAfterEscape = dlg.isVisible();
        Click(dlg, CLoginDlg::kIdExit);
    });
    EXPECT_EQ(dlg.exec(), QDialog::Rejected);
    EXPECT_TRUE(stillOpenAfterEscape);
    EXPECT_EQ(LastLoginBytes(), "<none>");
}

TEST(CLoginDlg, APasswordSetThroughTheSetupButtonIsRequiredAtOnce) {
    TempSysDir dir;
    Session s;
    CLoginDlg dlg(s.model, s.inputs, s.outputs);
    bool loginHiddenDuringSetup = false;
    bool rowShownAfterSetup = false;
    QString errorWithoutPassword;

    // Runs inside the password dialog's own loop.
    auto setPassword = [&] {
        auto* setup = dlg.findChild<CPasswordDlg*>();
        ASSERT_NE(setup, nullptr);
        loginHiddenDuringSetup = !dlg.isVisible();
        EXPECT_FALSE(FindControl(setup, CPasswordDlg::kIdCurrentPassword)->isVisible());
        Edit(*setup, CPasswordDlg::kIdNewPassword)->setText("Key1");
        Edit(*setup, CPasswordDlg::kIdConfirmPassword)->setText("Key1");
        Click(*setup, CPasswordDlg::kIdSave);
    };
    // Runs inside the login's loop once the setup is over; the setup must not have ended it.
    auto logIn = [&] {
        rowShownAfterSetup = dlg.isVisible() && Edit(dlg, CLoginDlg::kIdPassword)->isVisible() &&
                             FindControl(&dlg, CLoginDlg::kIdPasswordLabel)->isVisible();
        Click(dlg, CLoginDlg::kIdEnter);
        errorWithoutPassword = ErrorLine(dlg)->text();
        Edit(dlg, CLoginDlg::kIdPassword)->setText("Key1");
        Click(dlg, CLoginDlg::kIdEnter);
    };
    QTimer::singleShot(0, &dlg, [&] {
        QTimer::singleShot(0, &dlg, setPassword);
        Click(dlg, CLoginDlg::kIdPasswordSetup);
        QTimer::singleShot(0, &dlg, logIn);
    });
    EXPECT_EQ(dlg.exec(), QDialog::Accepted);
    EXPECT_TRUE(loginHiddenDuringSetup);
    EXPECT_TRUE(rowShownAfterSetup);
    EXPECT_EQ(errorWithoutPassword, CLoginDlg::kMsgPasswordWrong);
    EXPECT_TRUE(CheckPassword("Key1"));
    EXPECT_EQ(FindControlAs<QPushButton>(&dlg, CLoginDlg::kIdPasswordSetup)->text(),
              "Password Setup");
    EXPECT_EQ(LastLoginBytes(), "3,8,8");
}

TEST(CLoginDlg, CancelledSetupLeavesNoPasswordRow) {
    TempSysDir dir;
    Session s;
    CLoginDlg dlg(s.model, s.inputs, s.outputs);
    dlg.show();
    QTimer::singleShot(0, &dlg, [&] {
        auto* setup = dlg.findChild<CPasswordDlg*>();
        ASSERT_NE(setup, nullptr);
        Click(*setup, CPasswordDlg::kIdCancel);
    });
    Click(dlg, CLoginDlg::kIdPasswordSetup);
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_FALSE(dlg.PasswordRequired());
    EXPECT_FALSE(Edit(dlg, CLoginDlg::kIdPassword)->isVisible());
    EXPECT_FALSE(HasPasswordFile());
}
