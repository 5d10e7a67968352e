// How matrixctl ends: 0 with replies, 1 when the switcher is silent, 2 for a command line it
// cannot run (before any link is opened), 3 when the link fails, with one line saying why.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "CtlProcess.h"
#include "link/CSerialPort.h"
#include "support/LinkTestSupport.h"
#include "support/SimProcess.h"

namespace {

std::size_t LineCount(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace

TEST(MatrixctlExitCodes, HelpTellsTheCommandsAndTheDefaultRate) {
    const CtlOutcome run = RunCtl({"--help"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out.rfind("Usage: matrixctl", 0), 0u) << run.out;
    for (const char* word : {"default 9600", "route IN OUT", "raw TEXT", "--json", "Exit codes"}) {
        EXPECT_NE(run.out.find(word), std::string::npos) << word;
    }
    EXPECT_EQ(run.err, "");
}

// Every case is run with a switcher on both links (COM1 is the default port): a command line
// that is refused must not have touched either.
TEST(MatrixctlExitCodes, BadArgumentsEndWithCodeTwoBeforeAnyLinkIsOpened) {
    ScopedSysDir sys;
    const std::string log = sys.Path() + "/sim.log";
    SimProcess sim({"--port", "0", "--pty", sys.Path() + "/COM1", "--log", log});
    const std::string net = "127.0.0.1:" + std::to_string(sim.Port());
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const Case cases[] = {
        {{}, "no command"},
        {{"--net", net}, "no command"},
        {{"jump"}, "unknown command 'jump'"},
        {{"--net", net, "route", "1"}, "route IN OUT"},
        {{"--net", net, "route", "1", "2", "3"}, "route IN OUT"},
        {{"--net", net, "route", "x", "5"}, "input 'x'"},
        {{"--net", net, "route", "1", "0"}, "output '0'"},
        {{"--net", net, "route", "+1", "2"}, "input '+1'"},
        {{"--net", net, "route", "1", "2", "--audio", "--video"}, "once"},
        {{"--net", net, "all", "2", "--audio"}, "route only"},
        {{"--net", net, "status", "1", "2"}, "status [OUT]"},
        {{"--net", net, "save"}, "save N"},
        {{"--net", net, "raw"}, "raw TEXT"},
        {{"--net", net, "raw", ""}, "raw needs"},
        {{"--net", net, "undo", "1"}, "undo"},
        {{"--baud", "1234", "type"}, "--baud '1234'"},
        {{"--net", net, "--baud", "9600", "type"}, "--baud"},
        {{"--net", net, "--timeout", "-5", "type"}, "--timeout '-5'"},
        {{"--net", net, "--timeout", "600001", "type"}, "--timeout '600001'"},
        {{"--net", net, "type", "--timeout"}, "needs a value"},
        {{"--net", "127.0.0.1", "type"}, "HOST:PORT"},
        {{"--net", "127.0.0.1:70000", "type"}, "port '70000'"},
        {{"--net", net, "--serial", "COM1", "type"}, "not both"},
        {{"--serial", "COM6", "type"}, "'6'"},
        {{"--net", net, "--bogus", "type"}, "unknown option '--bogus'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        const CtlOutcome run = RunCtl(c.args);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind("matrixctl: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_EQ(LineCount(run.err), 2u) << run.err;
        EXPECT_NE(run.err.find("Try 'matrixctl --help'."), std::string::npos);
    }
    const std::string received = FileText(log);
    EXPECT_EQ(received.find("connected"), std::string::npos) << received;
    EXPECT_EQ(received.find("rx "), std::string::npos) << received;
}

// The command goes out, nothing comes back: code 1 once the time-out has passed.
TEST(MatrixctlExitCodes, ASilentSwitcherEndsWithCodeOne) {
    TcpPeer tcp;  // accepted by the system, never answered
    const CtlOutcome net =
        RunCtl({"--net", "127.0.0.1:" + std::to_string(tcp.Port()), "--timeout", "300", "status"});
    EXPECT_EQ(net.exitCode, 1);
    EXPECT_EQ(net.out, "");
    EXPECT_EQ(net.err, "matrixctl: no reply within 300 ms\n");
    ASSERT_TRUE(tcp.Accept());
    EXPECT_EQ(tcp.Read(), "Status.");

    ScopedSysDir sys;
    PtyPort pty(sys.Path(), 1);
    const CtlOutcome serial = RunCtl({"--timeout", "300", "status", "3"});  // COM1 by default
    EXPECT_EQ(serial.exitCode, 1);
    EXPECT_EQ(serial.out, "");
    EXPECT_EQ(serial.err, "matrixctl: no reply within 300 ms\n");
    EXPECT_EQ(pty.Read(), "Status3.");
}

// Links that cannot be used: code 3 and one line naming the reason.
TEST(MatrixctlExitCodes, LinkFailuresEndWithCodeThreeAndOneLine) {
    ScopedSysDir sys;
    PtyPort panelsPort(sys.Path(), 1);
    PtyPort othersPort(sys.Path(), 2);
    CSerialPort panel;  // the panel's own serial link holds COM1
    ASSERT_TRUE(panel.Open(1));
    othersPort.HoldExclusively();  // another program holds COM2
    const std::string file = sys.Path() + "/plain-file";
    std::ofstream(file) << "not a tty";

    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const Case cases[] = {
        {{"--net", "127.0.0.1:" + std::to_string(ClosedPort()), "type"}, "refused"},
        {{"--serial", "COM1", "type"}, "COM1 (" + sys.Path() + "/COM1) is in use"},
        {{"--serial", "COM2", "type"}, "is in use"},
        {{"--serial", "COM4", "type"}, "COM4: no such port"},
        {{"--serial", sys.Path() + "/ttyNone", "type"}, "no such device"},
        {{"--serial", file, "type"}, "is not a serial port"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        const CtlOutcome run = RunCtl(c.args);
        EXPECT_EQ(run.exitCode, 3);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_EQ(LineCount(run.err), 1u) << run.err;
    }
    // The held port was left alone: the panel still has it and nothing was written to it.
    EXPECT_EQ(panelsPort.Read(), "");
    EXPECT_TRUE(panel.Close());
}

TEST(MatrixctlExitCodes, APeerThatHangsUpWithoutAReplyIsALinkFailure) {
    TcpPeer peer;
    CtlProcess ctl({"--net", "127.0.0.1:" + std::to_string(peer.Port()), "version"});
    ASSERT_TRUE(peer.Accept());
    EXPECT_EQ(peer.Read(kQuietPeriod, 10), "/^Version;");
    peer.Close();
    const CtlOutcome run = ctl.Finish();
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.err.find("closed the connection"), std::string::npos) << run.err;
}

// A host that never completes the handshake costs the connect limit, not minutes.
TEST(MatrixctlExitCodes, AnUnansweredConnectGivesUpWithCodeThree) {
    BlackHole hole;
    const auto started = std::chrono::steady_clock::now();
    const CtlOutcome run = RunCtl({"--net", "127.0.0.1:" + std::to_string(hole.Port()), "type"});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.err.find("no answer from 127.0.0.1:"), std::string::npos) << run.err;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}
