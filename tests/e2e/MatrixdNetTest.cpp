// The whole program on its NET link to matrixd's raw port, with matrixsim behind the daemon:
// the panel's commands reach the switcher byte for byte, and routes made by a router-protocol
// client light the panel's keys.
#include <gtest/gtest.h>

#include "ProgramDriver.h"
#include "matrixd/MatrixdProcess.h"
#include "matrixd/RouterClient.h"
#include "controls/CGradientButton.h"
#include "panel/CStFunView.h"

TEST(MatrixdNet, ThePanelSharesTheSwitcherThroughTheRawPort) {
    Program program;
    const std::string log = SimLog(program);
    auto sim = StartSim(program, "8");
    const std::uint16_t simPort = sim->Port();
    ASSERT_NE(simPort, 0);
    MatrixdProcess daemon(
        {"--net", "127.0.0.1:" + std::to_string(simPort), "--inputs", "8", "--outputs", "8"},
        program.sysDir.Path() + "/matrixd.log");
    ASSERT_TRUE(daemon.Started()) << daemon.Log();
    ASSERT_TRUE(program.Start("8", "8"));
    RouterClient surface(daemon.RouterPort());
    ASSERT_TRUE(WaitFor([&] {
        surface.ReadDump(std::chrono::milliseconds(100));
        return surface.View().devicePresent && surface.View().routes.size() == 8;
    })) << daemon.Log();

    program.ConnectThroughDialog(daemon.RawPort());
    CMainPanelDlg& w = program.Window();
    ASSERT_TRUE(WaitFor([&] { return w.LinkModeNow() == LinkMode::Network; }));
    EXPECT_EQ(program.ReplyBox(), "connect success!\r\n");

    // The daemon's one connection to the switcher carries its own route query, then exactly
    // what the panel sent; the reply comes back to light the key.
    const CSwitchModel& model = w.Panel()->Model();
    program.ClickKey(model.GridKey(4, 1));
    ASSERT_TRUE(WaitFor([&] { return SimReceived(log, "tcp#1") == "Status.1B4."; }))
        << SimReceived(log, "tcp#1");
    ASSERT_TRUE(WaitFor([&] { return w.Panel()->Key(model.GridKey(4, 1))->IsLit(); }));
    const auto seen = surface.Next("VIDEO OUTPUT ROUTING:");
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(seen->lines, std::vector<std::string>{"3 0"});

    // A route from the control surface shows on the panel.
    EXPECT_EQ(surface.Request("VIDEO OUTPUT ROUTING:\n1 2\n\n"), "ACK");
    ASSERT_TRUE(WaitFor([&] { return SimReceived(log, "tcp#1") == "Status.1B4.3B2."; }))
        << SimReceived(log, "tcp#1");
    EXPECT_TRUE(WaitFor([&] { return w.Panel()->Key(model.GridKey(2, 3))->IsLit(); }));
    EXPECT_TRUE(surface.Violations().empty()) << surface.Violations().front();
}
