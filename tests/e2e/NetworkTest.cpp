// The whole program on the network link: the Set Net dialog, the connect result, the receive
// thread's replies, and the way back to serial.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>

#include "ProgramDriver.h"
#include "controls/CGradientButton.h"
#include "controls/CIpAddressEdit.h"
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

// Chooses NET and fills the Set Net dialog with 127.0.0.1 and the port.
void ConnectThroughDialog(Program& program, std::uint16_t port) {
    WhenModal<CNetSetDlg>([port](CNetSetDlg* dlg) {
        const char* fields[] = {"127", "0", "0", "1"};
        for (int k = 0; k < 4; ++k) {
            dlg->AddressField()->Field(k)->setText(fields[k]);
        }
        dlg->PortField()->setText(QString::number(port));
        FindControlAs<QPushButton>(dlg, CNetSetDlg::kIdOk)->click();
    });
    program.Window().OnCommand(CMainPanelDlg::kCmdNet);
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
        ConnectThroughDialog(program, port);
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
    w.OnCommand(CMainPanelDlg::kCmdNet);
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
    program.Window().OnCommand(CMainPanelDlg::kCmdCom);
    EXPECT_EQ(program.Window().LinkModeNow(), LinkMode::Serial);
    EXPECT_TRUE(program.Window().ComChecked());
    EXPECT_FALSE(program.Window().ReceiveThreadRunning());
    EXPECT_EQ(program.app->Serial().State(), CSerialPort::PortState::Open);
}

TEST_F(NetworkProgram, ARefusedConnectionLeavesCommandsOnSerial) {
    ConnectThroughDialog(program, ClosedPort());
    CMainPanelDlg& w = program.Window();
    ASSERT_TRUE(WaitFor([&] { return program.ReplyBox() == "connect unsuccess!\r\n"; }))
        << program.ReplyBox();
    EXPECT_TRUE(w.NetChecked());
    EXPECT_EQ(w.LinkModeNow(), LinkMode::Serial);
    EXPECT_FALSE(w.Timers().IsActive(CMainPanelDlg::kConnectTimerId));
    // COM reopens the port that the dialog closed.
    w.OnCommand(CMainPanelDlg::kCmdCom);
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
    WhenModal<CNetSetDlg>([](CNetSetDlg* dlg) { dlg->reject(); });
    program.Window().OnCommand(CMainPanelDlg::kCmdNet);
    EXPECT_EQ(program.app->Serial().State(), CSerialPort::PortState::Open);
    EXPECT_TRUE(program.Window().ComChecked());
    EXPECT_FALSE(program.app->Net().HasSocket());
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
    ConnectThroughDialog(program, hole.Port());
    EXPECT_TRUE(program.Window().Timers().IsActive(CMainPanelDlg::kConnectTimerId));
    program.Stop();  // must neither hang nor crash with the connect thread blocked
}
