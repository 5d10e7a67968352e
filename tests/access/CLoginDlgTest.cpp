#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "access/CLoginDlg.h"
#include "access/CPasswordDlg.h"
#include "access/SettingsFiles.h"
#include "access/TempSysDir.h"
#include "platform/qt/ControlId.h"
#include "platform/qt/DialogColours.h"

namespace {

// The dialog with the caller's variables, which the main window starts at 0.
struct Login {
    std::string model;
    int inputs = 0;
    int outputs = 0;
    CLoginDlg dlg{model, inputs, outputs};

    QLineEdit* Edit(int id) const { return FindControlAs<QLineEdit>(&dlg, id); }
    QLabel* Error() const { return FindControlAs<QLabel>(&dlg, CLoginDlg::kIdError); }
    QString Caption(int id) const { return FindControlAs<QPushButton>(&dlg, id)->text(); }
    void Click(int id) { QTest::mouseClick(FindControl(&dlg, id), Qt::LeftButton); }
};

// With a password file in place that cannot be read, the login asks for a password and takes
// none, the empty one least of all.
void ExpectEveryPasswordRefused() {
    for (const char* typed : {"", "x"}) {
        SCOPED_TRACE(typed);
        Login l;
        l.dlg.show();
        EXPECT_TRUE(l.Edit(CLoginDlg::kIdPassword)->isVisible());
        l.Edit(CLoginDlg::kIdPassword)->setText(typed);
        l.Click(CLoginDlg::kIdEnter);
        EXPECT_EQ(l.dlg.result(), QDialog::Rejected);
        EXPECT_TRUE(l.Error()->isVisible());
        EXPECT_EQ(l.Error()->text(), CLoginDlg::kMsgPasswordWrong);
        EXPECT_EQ(TempSysDir::Read(LastLoginFilePath()), "<none>");
    }
}

}  // namespace

TEST(CLoginDlg, FirstStartShowsDefaultsAndEnterStoresThem) {
    TempSysDir dir;
    Login l;
    l.dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&l.dlg));
    EXPECT_EQ(l.dlg.windowTitle(), "Vantrel Matrix");
    EXPECT_FALSE(l.dlg.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_EQ(l.dlg.size(), QSize(512, 292));
    EXPECT_EQ(l.Edit(CLoginDlg::kIdInput)->geometry(), QRect(236, 80, 130, 24));
    EXPECT_EQ(l.dlg.focusWidget(), FindControl(&l.dlg, CLoginDlg::kIdEnter));
    auto* list = FindControlAs<QComboBox>(&l.dlg, CLoginDlg::kIdModelList);
    EXPECT_FALSE(list->isEnabled());
    QStringList names;
    for (int i = 0; i < list->count(); ++i) {
        names << list->itemText(i);
    }
    EXPECT_EQ(names, QStringList({"Audio Matrix (KQF)", "AV matrix (KQE)", "DVI matrix (KQD)",
                                  "HDMI matrix", "RGBHV matrix (KQC)", "S-Video matrix (KQB)",
                                  "VGA matrix (KQA)"}));
    EXPECT_EQ(list->currentIndex(), 3);
    EXPECT_EQ(l.Edit(CLoginDlg::kIdInput)->text(), "8");
    EXPECT_EQ(l.Edit(CLoginDlg::kIdOutput)->text(), "8");
    EXPECT_FALSE(l.Edit(CLoginDlg::kIdPassword)->isVisible());
    EXPECT_FALSE(FindControl(&l.dlg, CLoginDlg::kIdPasswordLabel)->isVisible());
    EXPECT_EQ(l.Caption(CLoginDlg::kIdPasswordSetup), "Password Setup");
    EXPECT_FALSE(l.Error()->isVisible());
    // The dialog is blue; its labels are teal.
    const QImage image = l.dlg.grab().toImage();
    const QRect label = FindControl(&l.dlg, CLoginDlg::kIdInputLabel)->geometry();
    EXPECT_EQ(image.pixelColor(2, 2), QColor(kWindowBackground));
    EXPECT_EQ(image.pixelColor(label.left() + 1, label.bottom() - 1), QColor(kDialogBackground));

    l.Click(CLoginDlg::kIdEnter);
    EXPECT_EQ(l.dlg.result(), QDialog::Accepted);
    EXPECT_EQ(l.model, "HDMI matrix");
    EXPECT_EQ(TempSysDir::Read(LastLoginFilePath()), "3,8,8");
}

TEST(CLoginDlg, EditsStartFromTheLastLoginFile) {
    // A malformed file leaves the caller's values.
    for (auto [content, shown] : {std::pair{"3,16,4", "16/4"}, std::pair{"12", "0/0"}}) {
        TempSysDir dir;
        TempSysDir::Write(LastLoginFilePath(), content);
        Login l;
        EXPECT_EQ(l.Edit(CLoginDlg::kIdInput)->text() + "/" + l.Edit(CLoginDlg::kIdOutput)->text(),
                  shown);
    }
}

TEST(CLoginDlg, CountsAreLeadingNumbersAndMustBePositive) {
    struct Case {
        const char *input, *output;
        int inputs, outputs;  // what the caller holds afterwards, accepted or not
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
        Login l;
        l.dlg.show();
        l.Edit(CLoginDlg::kIdInput)->setText(c.input);
        l.Edit(CLoginDlg::kIdOutput)->setText(c.output);
        l.Click(CLoginDlg::kIdEnter);
        EXPECT_EQ(l.inputs, c.inputs);
        EXPECT_EQ(l.outputs, c.outputs);
        EXPECT_EQ(l.dlg.result(), c.accepted ? QDialog::Accepted : QDialog::Rejected);
        EXPECT_EQ(l.Error()->isVisible(), !c.accepted);
        EXPECT_EQ(TempSysDir::Read(LastLoginFilePath()),
                  c.accepted ? "3," + std::to_string(c.inputs) + "," + std::to_string(c.outputs)
                             : "<none>");
        if (!c.accepted) {
            EXPECT_EQ(l.Error()->text(), CLoginDlg::kMsgNumberError);
        }
    }
}

TEST(CLoginDlg, AStoredPasswordMustBeTypedExactly) {
    struct Case {
        const char *stored, *typed;
        bool accepted;
    };
    const Case cases[] = {{"Secret", "Secret", true},
                          {"Secret", "secret", false},
                          {"Secret", "", false},
                          {"", "", true},  // an empty file counts
                          {"", " ", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.stored) + "/" + c.typed);
        TempSysDir dir;
        ASSERT_TRUE(SavePassword(c.stored));
        Login l;
        l.dlg.show();
        EXPECT_TRUE(l.Edit(CLoginDlg::kIdPassword)->isVisible());
        EXPECT_TRUE(FindControl(&l.dlg, CLoginDlg::kIdPasswordLabel)->isVisible());
        EXPECT_EQ(l.Caption(CLoginDlg::kIdPasswordSetup), "Edit Password");
        l.Edit(CLoginDlg::kIdPassword)->setText(c.typed);
        l.Click(CLoginDlg::kIdEnter);
        EXPECT_EQ(l.dlg.result(), c.accepted ? QDialog::Accepted : QDialog::Rejected);
        EXPECT_EQ(l.Error()->isVisible(), !c.accepted);
        if (!c.accepted) {
            EXPECT_EQ(l.Error()->text(), CLoginDlg::kMsgPasswordWrong);
        }
    }
}

TEST(CLoginDlg, ErrorLineHidesWhenAnEditTakesTheFocus) {
    TempSysDir dir;
    ASSERT_TRUE(SavePassword("pw"));
    Login l;
    l.dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&l.dlg));
    for (int id : {CLoginDlg::kIdInput, CLoginDlg::kIdOutput, CLoginDlg::kIdPassword}) {
        FindControl(&l.dlg, CLoginDlg::kIdEnter)->setFocus();
        l.dlg.OnEnter();
        ASSERT_TRUE(l.Error()->isVisible());
        QTest::mouseClick(l.Edit(id), Qt::LeftButton);
        EXPECT_FALSE(l.Error()->isVisible());
    }
}

TEST(CLoginDlg, EscapeIsIgnoredAndExitCancels) {
    TempSysDir dir;
    Login l;
    bool openAfterEscape = false;
    QTimer::singleShot(0, &l.dlg, [&] {
        QTest::keyClick(&l.dlg, Qt::Key_Escape);
        QTest::keyClick(l.Edit(CLoginDlg::kIdInput), Qt::Key_Escape);
        openAfterEscape = l.dlg.isVisible();
        l.Click(CLoginDlg::kIdExit);
    });
    EXPECT_EQ(l.dlg.exec(), QDialog::Rejected);
    EXPECT_TRUE(openAfterEscape);
    EXPECT_EQ(TempSysDir::Read(LastLoginFilePath()), "<none>");
}

TEST(CLoginDlg, APasswordSetThroughTheSetupButtonIsRequiredAtOnce) {
    TempSysDir dir;
    Login l;
    bool hiddenDuringSetup = false;
    bool rowShownAfterSetup = false;
    QString errorWithoutPassword;
    auto setPassword = [&] {  // inside the setup dialog's loop
        auto* setup = l.dlg.findChild<CPasswordDlg*>();
        ASSERT_NE(setup, nullptr);
        hiddenDuringSetup = !l.dlg.isVisible();
        FindControlAs<QLineEdit>(setup, CPasswordDlg::kIdNewPassword)->setText("Key1");
        FindControlAs<QLineEdit>(setup, CPasswordDlg::kIdConfirmPassword)->setText("Key1");
        QTest::mouseClick(FindControl(setup, CPasswordDlg::kIdSave), Qt::LeftButton);
    };
    auto logIn = [&] {  // back in the login's own loop, which the setup must not have ended
        rowShownAfterSetup = l.dlg.isVisible() && l.Edit(CLoginDlg::kIdPassword)->isVisible();
        l.Click(CLoginDlg::kIdEnter);
        errorWithoutPassword = l.Error()->text();
        l.Edit(CLoginDlg::kIdPassword)->setText("Key1");
        l.Click(CLoginDlg::kIdEnter);
    };
    QTimer::singleShot(0, &l.dlg, [&] {
        QTimer::singleShot(0, &l.dlg, setPassword);
        l.Click(CLoginDlg::kIdPasswordSetup);
        QTimer::singleShot(0, &l.dlg, logIn);
    });
    EXPECT_EQ(l.dlg.exec(), QDialog::Accepted);
    EXPECT_TRUE(hiddenDuringSetup);
    EXPECT_TRUE(rowShownAfterSetup);
    EXPECT_EQ(errorWithoutPassword, CLoginDlg::kMsgPasswordWrong);
    EXPECT_EQ(l.Caption(CLoginDlg::kIdPasswordSetup), "Password Setup");
    EXPECT_EQ(TempSysDir::Read(PasswordFilePath()), "Key1");
}

TEST(CLoginDlg, APasswordFileThatIsADirectoryAcceptsNoPassword) {
    TempSysDir dir;
    std::filesystem::create_directory(PasswordFilePath());
    ExpectEveryPasswordRefused();
}

TEST(CLoginDlg, APasswordFileWithoutReadPermissionAcceptsNoPassword) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root reads the file whatever its permission bits say";
    }
    TempSysDir dir;
    ASSERT_TRUE(SavePassword(""));
    ASSERT_EQ(::chmod(PasswordFilePath().c_str(), 0), 0);
    ExpectEveryPasswordRefused();
}
