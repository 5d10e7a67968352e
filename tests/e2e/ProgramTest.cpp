// The whole program in-process: start-up, layout, and the serial link end to end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QTest>

#include <memory>

#include "ProgramDriver.h"
#include "app/CToolView.h"
#include "controls/CGradientButton.h"
#include "controls/CTextLabel.h"
#include "link/CSerialPort.h"
#include "panel/CStFunView.h"
#include "panel/PanelLayout.h"
#include "platform/SocketLibrary.h"
#include "platform/qt/ControlId.h"
#include "support/SimProcess.h"
#include "terminal/CAdFunView.h"

TEST(Program, ExitAtLoginEndsWithoutAWindow) {
    Program program;
    EXPECT_FALSE(program.StartAndExit());
    EXPECT_EQ(program.window->Panel(), nullptr);
    EXPECT_EQ(program.window->Terminal(), nullptr);
    EXPECT_EQ(program.app->Serial().State(), CSerialPort::PortState::Closed);
}

TEST(Program, WindowIsLaidOutForTheCounts) {
    struct Case {
        const char* inputs;
        const char* outputs;
        int panelHeight;
        const char* model;
    };
    const Case cases[] = {
        {"4", "4", 175, "Model Name: QR-KS-N44M"},   {"16", "16", 475, "Model Name: QR-KS-N1616M"},
        {"17", "1", 250, "Model Name: QR-KS-N171M"}, {"1", "17", 250, "Model Name: QR-KS-N117M"},
        {"8", "4", 175, "Model Name: QR-KS-N84M"},   {"64", "64", 250, "Model Name: QR-KS-N6464M"},
    };
    for (const Case& c : cases) {
        Program program;
        ASSERT_TRUE(program.Start(c.inputs, c.outputs));
        CMainPanelDlg& w = program.Window();
        const QRect panel = w.Panel()->geometry();
        EXPECT_EQ(panel, QRect(0, 70, 717, c.panelHeight)) << c.inputs << "x" << c.outputs;
        EXPECT_EQ(w.TitleStrip()->geometry(), QRect(0, 40, 717, 30));
        EXPECT_EQ(w.BottomStrip()->geometry(), QRect(0, 75 + c.panelHeight, 717, 30));
        // The window ends at the bottom strip.
        EXPECT_EQ(w.size(), QSize(717, 105 + c.panelHeight));
        EXPECT_EQ(w.ModelLabel()->Caption().toStdString(), c.model);
        EXPECT_FALSE(w.Terminal()->isVisible());
        EXPECT_FALSE(w.Terminal()->isEnabled());
        EXPECT_EQ(w.LinkModeNow(), LinkMode::Serial);
        EXPECT_TRUE(w.ComChecked());
        EXPECT_FALSE(w.NetChecked());
    }
    Program program;
    ASSERT_TRUE(program.Start("16", "16"));
    EXPECT_EQ(program.Window().BottomStrip()->geometry().top(), 550);
    EXPECT_EQ(program.Window().BottomStrip()->geometry().bottom() + 1, 580);
}

TEST(Program, QueryButtonsSitInARow) {
    Program program;
    ASSERT_TRUE(program.Start("4", "4"));
    const std::pair<int, int> buttons[] = {{4097, 20}, {4098, 110}, {4099, 200}, {4100, 290}};
    for (const auto& [id, x] : buttons) {
        auto* button = FindControlAs<CGradientButton>(&program.Window(), id);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->geometry(), QRect(x, 0, 70, 30)) << id;
    }
}

TEST(Program, EnterAndEscapeNeverCloseTheWindow) {
    Program program;
    ASSERT_TRUE(program.Start("4", "4"));
    CMainPanelDlg& w = program.Window();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
        QTest::keyClick(&w, key);
        QTest::keyClick(w.Panel(), key);
        EXPECT_TRUE(w.isVisible()) << key;
    }
}

TEST(Program, EnterInANumberFieldRunsTheTerminalSendOnly) {
    Program program;
    const std::string log = SimLog(program);
    const auto sim = StartWithSim(program, "64");
    ASSERT_TRUE(sim);
    CMainPanelDlg& w = program.Window();
    FindControlAs<QLineEdit>(w.Terminal(), CAdFunView::kIdSendText)->setText("x");
    QLineEdit* field = w.Panel()->NumberFieldEdit(NumberField::Input);
    QTest::keyClick(field, Qt::Key_Return);
    ASSERT_TRUE(WaitFor([&] { return SimReceived(log, "pty") == "x"; }));
    // Not the panel's own Enter, which would have asked for a status ("Status0.").
    QTest::qWait(300);
    EXPECT_EQ(SimReceived(log, "pty"), "x");
    EXPECT_TRUE(w.isVisible());
}

TEST(Program, SerialLinkEndToEnd) {
    Program program;
    const std::string log = SimLog(program);
    const auto sim = StartWithSim(program, "4");
    ASSERT_TRUE(sim);
    CMainPanelDlg& w = program.Window();
    // The terminal view opened the first free port at start.
    EXPECT_EQ(program.app->Serial().State(), CSerialPort::PortState::Open);

    const CSwitchModel& model = w.Panel()->Model();
    program.ClickKey(model.GridKey(2, 3));
    ASSERT_TRUE(WaitFor([&] { return SimReceived(log, "pty") == "3B2."; }))
        << SimReceived(log, "pty");
    // The simulator's route line lights the crosspoint.
    ASSERT_TRUE(WaitFor([&] { return w.Panel()->Key(model.GridKey(2, 3))->IsLit(); }));
    EXPECT_EQ(w.Panel()->Key(model.GridKey(2, 3))->GetLitStyle(), kMarkBoth);
    EXPECT_EQ(model.RouteAV(2), 3);

    program.Click(CMainPanelDlg::kIdStatus);
    ASSERT_TRUE(WaitFor([&] { return SimReceived(log, "pty") == "3B2.Status."; }));
    EXPECT_EQ(program.app->Serial().ReplyRoute(), kRouteTerminal);
    program.Click(CMainPanelDlg::kIdType);
    program.Click(CMainPanelDlg::kIdVersion);
    ASSERT_TRUE(WaitFor([&] { return SimReceived(log, "pty") == "3B2.Status./*Type;/^Version;"; }));
    // Enter anywhere in the window sends the terminal's text, once, as it stands.
    FindControlAs<QLineEdit>(w.Terminal(), CAdFunView::kIdSendText)->setText("abc");
    QTest::keyClick(&w, Qt::Key_Return);
    ASSERT_TRUE(
        WaitFor([&] { return SimReceived(log, "pty") == "3B2.Status./*Type;/^Version;abc"; }));
    EXPECT_TRUE(w.isVisible());
    // Route 1 replies reach the terminal's log.
    EXPECT_TRUE(WaitFor([&] { return program.ReplyBox().find("HDMI") != std::string::npos; }))
        << program.ReplyBox();
}

TEST(Program, SystemMenuOpensTheAboutBox) {
    Program program;
    ASSERT_TRUE(program.Start("4", "4"));
    for (const int id : {16, 17, 31}) {
        bool shown = false;
        WhenModal<QDialog>([&shown](QDialog* about) {
            shown = about->windowTitle() == "About Quorix";
            about->accept();
        });
        program.Window().OnSysCommand(id);
        EXPECT_TRUE(shown) << id;
    }
    EXPECT_EQ(program.Window().SystemMenu()->actions().size(), 3);
}

TEST(Program, AQuickSecondPressIsAnotherPress) {
    Program program;
    const std::string log = SimLog(program);
    const auto sim = StartWithSim(program, "64");
    ASSERT_TRUE(sim);
    CMainPanelDlg& w = program.Window();
    // Keypad digits 1..9, 0: input 4608..4617, output 4618..4627.
    const auto key = [&w](int id) -> QWidget* { return w.Panel()->Key(id); };
    struct Press {
        QWidget* button;
        bool twice;  // a double-click
    };
    struct Case {
        const char* name;
        std::vector<Press> presses;
        std::string wire;  // everything sent so far
    };
    const Case cases[] = {
        {"1 0 0 to 5",
         {{key(4608), false}, {key(4617), true}, {key(4622), false}, {key(kKeyEnter), false}},
         "100B5."},
        {"Undo", {{key(kKeyUndo), true}}, "100B5.Undo.Undo."},
        {"query",
         {{FindControl(&w, CMainPanelDlg::kIdType), true}},
         "100B5.Undo.Undo./*Type;/*Type;"},
        {"AV 2 0 0 to 1 is out of range",
         {{key(kKeyAV), false},
          {key(4609), false},
          {key(4617), true},
          {key(4618), false},
          {key(kKeyEnter), false}},
         "100B5.Undo.Undo./*Type;/*Type;"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const Press& press : c.presses) {
            if (press.twice) {
                program.DoubleClick(press.button);
            } else {
                QTest::mouseClick(press.button, Qt::LeftButton);
            }
        }
        ASSERT_TRUE(WaitFor([&] { return SimReceived(log, "pty").size() >= c.wire.size(); }));
        QTest::qWait(300);  // a further command would have gone out by now
        EXPECT_EQ(SimReceived(log, "pty"), c.wire);
    }
    // Replies to the earlier commands may follow the refusal, never precede it.
    EXPECT_EQ(program.ReplyBox().rfind("Please input one number of 1 ~ 128!", 0), 0U)
        << program.ReplyBox();
}

TEST(Program, ComReachesAPortFreedAfterABusyStart) {
    Program program;
    const std::string log = SimLog(program);
    const auto sim = StartSim(program, "4");
    ASSERT_NE(sim->Port(), 0);
    // Another program holds the only port while the panel starts.
    const std::string com1 = program.sysDir.Path() + "/COM1";
    const int holder = ::open(com1.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    ASSERT_TRUE(program.Start("4", "4"));
    EXPECT_NE(program.app->Serial().State(), CSerialPort::PortState::Open);

    ::close(holder);
    program.ChooseLink("COM");
    EXPECT_EQ(program.app->Serial().State(), CSerialPort::PortState::Open);
    program.ClickKey(program.Window().Panel()->Model().GridKey(1, 2));
    EXPECT_TRUE(WaitFor([&] { return SimReceived(log, "pty") == "2B1."; }));
}

TEST(Program, AnUnpluggedAdapterIsClosedAndComReopensItOnceItIsBack) {
    Program program;
    MessageRecorder boxes;
    auto device = std::make_unique<PtyPort>(program.sysDir.Path(), 1);
    ASSERT_TRUE(program.Start("4", "4"));
    CSerialPort& serial = program.app->Serial();
    ASSERT_EQ(serial.State(), CSerialPort::PortState::Open);
    const CSwitchModel& model = program.Window().Panel()->Model();

    device.reset();  // unplugged: the device and its link are gone
    ASSERT_TRUE(WaitFor([&] { return serial.State() != CSerialPort::PortState::Open; }));
    program.ClickKey(model.GridKey(1, 1));
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Send failure!"});

    device = std::make_unique<PtyPort>(program.sysDir.Path(), 1);  // plugged in again
    program.ChooseLink("COM");
    ASSERT_EQ(serial.State(), CSerialPort::PortState::Open);
    program.ClickKey(model.GridKey(1, 2));
    EXPECT_EQ(device->Read(), "2B1.");
    EXPECT_EQ(boxes.Texts().size(), 1u);
}
