// The whole program on the network link: the Set Net dialog, the connect result, the receive
// thread's replies, and the way back to serial.
#include <gtest/gtest.h>

#include <QPushButton>
#include <array>

#include "ProgramDriver.h"
#include "controls/CGradientButton.h"
#include "link/CNetClient.h"
#include "link/CNetSetDlg.h"
#include "link/CSerialPort.h"
#include "panel/CStFunView.h"
#include "platform/SocketLibrary.h"
#include "platform/qt/ControlId.h"
#include "platform/qt/WindowTimers.h"
#include "support/SimProcess.h"
#include "terminal/CAdFunView.h"

namespace {

// NET, then Cancel in the Set Net dialog.
void CancelNet(Program& program) {
    WhenModal<CNetSetDlg>(
        [](CNetSetDlg* dlg) { FindControlAs<QPushButton>(dlg, CNetSetDlg::kIdCancel)->click(); });
    program.ChooseLink("NET");
}

// Exactly one of the two items is checked: NET when `net`, otherwise COM.
void ExpectMarked(const CMainPanelDlg& w, bool net) {
    EXPECT_EQ(w.NetChecked(), net);
    EXPECT_EQ(w.ComChecked(), !net);
}

struct NetworkProgram : ::testing::Test {
    void SetUp() override {
        log = SimLog(program);
        sim = StartSim(program, "4");
        port = sim->Port();
        ASSERT_NE(port, 0);
        ASSERT_TRUE(program.Start("4", "4"));
    }
    bool ConnectedToSim() {
        program.ConnectThroughDialog(port);
        return WaitFor([&] { return program.Window().LinkModeNow() == LinkMode::Network; });
    }

    Program program;
    std::string log;
    std::unique_ptr<SimProcess> sim;
    std::uint16_t port = 0;
};

}  // namespace

TEST_F(NetworkProgram, CommandsGoOverTcpOnceConnected) {
    const int socketUsers = SocketUseCount();
    ASSERT_TRUE(ConnectedToSim());
    CMainPanelDlg& w = program.Window();
    EXPECT_TRUE(w.NetChecked());
    EXPECT_FALSE(w.ComChecked());
    EXPECT_EQ(program.ReplyBox(), "connect success!\r\n");
    // The network settings dialog released the serial port.
    EXPECT_NE(program.app->Serial().State(), CSerialPort::PortState::Open);
    EXPECT_EQ(SocketUseCount(), socketUsers + 1);

    const CSwitchModel& model = w.Panel()->Model();
    program.ClickKey(model.GridKey(4, 1));
    ASSERT_TRUE(WaitFor([&] { return SimReceived(log, "tcp#1") == "1B4."; }));
    ASSERT_TRUE(WaitFor([&] { return w.Panel()->Key(model.GridKey(4, 1))->IsLit(); }));

    // STATUS asks for its replies on the panel over the network.
    program.Click(CMainPanelDlg::kIdStatus);
    ASSERT_TRUE(WaitFor([&] { return SimReceived(log, "tcp#1") == "1B4.Status."; }));
    EXPECT_EQ(program.app->Net().ReplyRoute(), kRoutePanel);
    EXPECT_TRUE(WaitFor([&] { return program.ReplyBox().find("->4") != std::string::npos; }));

    // Leaving the network link (NET again) closes the socket and reopens the serial port.
    program.ChooseLink("NET");
    EXPECT_EQ(w.LinkModeNow(), LinkMode::Serial);
    EXPECT_TRUE(w.ComChecked());
    EXPECT_FALSE(program.app->Net().HasSocket());
    EXPECT_EQ(SocketUseCount(), socketUsers);
    EXPECT_EQ(program.app->Serial().State(), CSerialPort::PortState::Open);
    program.ClickKey(model.GridKey(1, 2));
    ASSERT_TRUE(WaitFor([&] { return SimReceived(log, "pty") == "2B1."; }));
}

TEST_F(NetworkProgram, ComReturnsToTheSerialPort) {
    ASSERT_TRUE(ConnectedToSim());
    program.ChooseLink("COM");
    EXPECT_EQ(program.Window().LinkModeNow(), LinkMode::Serial);
    EXPECT_TRUE(program.Window().ComChecked());
    EXPECT_FALSE(program.Window().ReceiveThreadRunning());
    EXPECT_EQ(program.app->Serial().State(), CSerialPort::PortState::Open);
}

TEST_F(NetworkProgram, ARefusedConnectionLeavesCommandsOnSerial) {
    program.ConnectThroughDialog(ClosedPort());
    CMainPanelDlg& w = program.Window();
    ASSERT_TRUE(WaitFor([&] { return program.ReplyBox() == "connect unsuccess!\r\n"; }))
        << program.ReplyBox();
    EXPECT_TRUE(w.NetChecked());
    EXPECT_EQ(w.LinkModeNow(), LinkMode::Serial);
    EXPECT_FALSE(w.Timers().IsActive(CMainPanelDlg::kConnectTimerId));
    // COM reopens the port that the dialog closed.
    program.ChooseLink("COM");
    EXPECT_EQ(program.app->Serial().State(), CSerialPort::PortState::Open);
}

TEST_F(NetworkProgram, PeerClosingEndsTheReceiverQuietly) {
    ASSERT_TRUE(ConnectedToSim());
    sim.reset();  // the switcher's module goes away
    ASSERT_TRUE(WaitFor([&] { return !program.Window().ReceiveThreadRunning(); }));
    EXPECT_EQ(program.Window().LinkModeNow(), LinkMode::Network);
    EXPECT_TRUE(program.Window().NetChecked());
    EXPECT_EQ(program.ReplyBox(), "connect success!\r\n");
}

TEST_F(NetworkProgram, ExitWithTheNetworkUpClosesTheSocketOnce) {
    const int socketUsers = SocketUseCount();
    ASSERT_TRUE(ConnectedToSim());
    EXPECT_EQ(SocketUseCount(), socketUsers + 1);
    program.Stop();
    EXPECT_EQ(SocketUseCount(), socketUsers);
}

TEST_F(NetworkProgram, CancelLeavesTheSerialLinkAsItWas) {
    CancelNet(program);
    EXPECT_EQ(program.app->Serial().State(), CSerialPort::PortState::Open);
    ExpectMarked(program.Window(), false);
    EXPECT_FALSE(program.app->Net().HasSocket());
}

TEST_F(NetworkProgram, TheMenuMarksFollowTheLinkStateOnEveryPath) {
    CMainPanelDlg& w = program.Window();
    // A refused connect shows NET, and Cancel from there changes nothing.
    program.ConnectThroughDialog(ClosedPort());
    ASSERT_TRUE(WaitFor([&] { return program.ReplyBox() == "connect unsuccess!\r\n"; }));
    ExpectMarked(w, true);
    CancelNet(program);
    ExpectMarked(w, true);
    program.ChooseLink("COM");
    ExpectMarked(w, false);
    // Connected shows NET; NET again goes back to serial and shows COM.
    ASSERT_TRUE(ConnectedToSim());
    ExpectMarked(w, true);
    program.ChooseLink("NET");  // on the network, NET leaves it without a dialog
    EXPECT_EQ(w.LinkModeNow(), LinkMode::Serial);
    ExpectMarked(w, false);
}

TEST_F(NetworkProgram, ComDuringAPendingConnectCancelsIt) {
    BlackHole hole;
    CMainPanelDlg& w = program.Window();
    program.ConnectThroughDialog(hole.Port());
    ASSERT_TRUE(w.Timers().IsActive(CMainPanelDlg::kConnectTimerId));
    program.ChooseLink("COM");
    EXPECT_FALSE(w.Timers().IsActive(CMainPanelDlg::kConnectTimerId));
    // The abandoned attempt's failure would arrive within moments of its socket closing.
    EXPECT_FALSE(WaitFor(
        [&] { return w.NetChecked() || program.ReplyBox().find("unsuccess") != std::string::npos; },
        500));
    ExpectMarked(w, false);
    EXPECT_EQ(w.LinkModeNow(), LinkMode::Serial);
    EXPECT_EQ(program.app->Serial().State(), CSerialPort::PortState::Open);
}

TEST_F(NetworkProgram, BlankAddressFailsEvenWithASwitcherListeningHere) {
    // 0.0.0.0 would reach this machine, where the simulator listens.
    program.ConnectThroughDialog(port, {"", "", "", ""});
    ASSERT_TRUE(WaitFor([&] { return program.ReplyBox() == "connect unsuccess!\r\n"; }))
        << program.ReplyBox();
    EXPECT_EQ(program.Window().LinkModeNow(), LinkMode::Serial);
    ExpectMarked(program.Window(), true);
}

TEST(NetworkAnimation, ConnectingTextsCycleEverySecondTick) {
    Program program;
    ASSERT_TRUE(program.Start("4", "4"));
    const char* texts[] = {"connecting .",       "connecting . .",       "connecting . . .",
                           "connecting . . . .", "connecting . . . . .", "connecting ."};
    for (const char* text : texts) {
        program.Window().OnTimer(CMainPanelDlg::kConnectTimerId);
        EXPECT_EQ(program.ReplyBox(), text);
    }
}

TEST(NetworkShutdown, ClosingDuringABlockedConnectEndsPromptly) {
    BlackHole hole;
    Program program;
    ASSERT_TRUE(program.Start("4", "4"));
    program.ConnectThroughDialog(hole.Port());
    EXPECT_TRUE(program.Window().Timers().IsActive(CMainPanelDlg::kConnectTimerId));
    ExpectMarked(program.Window(), false);  // connecting still shows COM
    program.Stop();  // must neither hang nor crash with the connect thread blocked
}
