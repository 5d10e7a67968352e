// matrixctl as a process against matrixsim on TCP and on its pseudo-terminal: the bytes each
// command puts on the wire (the simulator's log) and the replies it prints, plain and JSON.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "CtlProcess.h"
#include "support/LinkTestSupport.h"
#include "support/SimProcess.h"

namespace {

// Long enough for a loaded machine to answer; every run waits this long after its last line.
const std::string kTimeout = "1000";

enum class Link { Tcp, PtyCom };

// The simulator with both links and a log, in a system directory of its own.
class SimUnderTest {
  public:
    SimUnderTest()
        : m_log(m_sys.Path() + "/sim.log"),
          m_sim({"--port", "0", "--pty", m_sys.Path() + "/COM1", "--log", m_log}),
          m_port(m_sim.Port()) {}

    std::vector<std::string> LinkArgs(Link link) const {
        if (link == Link::Tcp) {
            return {"--net", "127.0.0.1:" + std::to_string(m_port)};
        }
        return {"--serial", "COM1"};
    }
    std::uint16_t Port() const { return m_port; }
    const std::string& SysDir() const { return m_sys.Path(); }

    // The bytes received since the last call, as the simulator logs them (\r, \n, \xNN).
    std::string NewBytes() {
        std::ifstream file(m_log);
        std::string line;
        std::string bytes;
        for (std::size_t n = 0; std::getline(file, line); ++n) {
            if (n < m_logLinesSeen || line.rfind("rx ", 0) != 0) {
                continue;
            }
            bytes += line.substr(line.find(' ', 3) + 1);  // after "rx <peer> "
        }
        m_logLinesSeen = LineCount();
        return bytes;
    }

  private:
    std::size_t LineCount() const {
        std::ifstream file(m_log);
        std::size_t n = 0;
        for (std::string line; std::getline(file, line);) {
            ++n;
        }
        return n;
    }

    ScopedSysDir m_sys;
    std::string m_log;
    SimProcess m_sim;
    std::uint16_t m_port;
    std::size_t m_logLinesSeen = 0;
};

std::vector<std::string> Args(std::vector<std::string> link, std::vector<std::string> more) {
    link.insert(link.end(), more.begin(), more.end());
    return link;
}

std::string Lines(std::initializer_list<std::string> lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

// The 8 x 8 switcher's answer for every output: input k on output k, or every output off.
std::string EveryOutput(bool off) {
    std::string text;
    for (int o = 1; o <= 8; ++o) {
        const std::string k = std::to_string(o);
        text += off ? "AV:0->" + k + " OFF\n" : "AV:" + k + "->" + k + "\n";
    }
    return text;
}

std::string LinkName(const ::testing::TestParamInfo<Link>& param) {
    return param.param == Link::Tcp ? "Tcp" : "PtyCom1";
}

class MatrixctlCommands : public ::testing::TestWithParam<Link> {};

}  // namespace

// One switcher, one command after the other: each sends exactly its bytes and prints what the
// switcher answered, line by line without the CR LF. A refusal ends with code 4, except the
// lock command's own "System Locked!".
TEST_P(MatrixctlCommands, EachCommandSendsItsBytesAndPrintsTheReplies) {
    SimUnderTest sim;
    ASSERT_NE(sim.Port(), 0);
    struct Case {
        std::vector<std::string> command;
        std::string wire;
        std::string printed;
        int exitCode = 0;
    };
    const Case cases[] = {
        {{"route", "3", "5"}, "3B5.", "AV:3->5\n"},
        {{"route", "2", "6", "--audio"}, "2A6.", "A:2->6\n"},
        {{"--video", "route", "4", "6"}, "4V6.", "V:4->6\n"},
        {{"status", "6"}, "Status6.", Lines({"A:2->6", "V:4->6"})},
        {{"all", "2"}, "2All.", "2 To All\n"},
        {{"off", "4"}, "4$.", "AV:0->4 OFF\n"},
        {{"all-through"}, "All#.", "All Through.\n"},
        {{"through", "3"}, "3#.", "AV:3->3\n"},
        {{"all-off"}, "All$.", EveryOutput(true)},
        {{"undo"}, "Undo.", EveryOutput(false)},
        {{"save", "12"}, "Save12.", "Save To F12\n"},
        {{"recall", "12"}, "Recall12.", "Recall From F12\n" + EveryOutput(false)},
        {{"clear", "12"}, "Clear12.", "Clear F12\n"},
        {{"recall", "12"}, "Recall12.", "F12 Is Empty\n"},
        {{"demo"}, "Demo.", "Demo Mode\n"},
        {{"lock"}, "/%Lock;", "System Locked!\n"},
        {{"route", "1", "1"}, "1B1.", "System Locked!\n", 4},
        {{"unlock"}, "/%Unlock;", "System Unlocked!\n"},
        {{"status"}, "Status.", EveryOutput(false)},
        {{"type"}, "/*Type;", "HDMI matrix 8x8\n"},
        {{"version"}, "/^Version;", "Version: matrixsim 1.0\n"},
        {{"raw", "1V2."}, "1V2.", "V:1->2\n"},
        {{"raw", "AT + C1_BAUD = 9600"}, "AT + C1_BAUD = 9600", "OK\n"},
        // After "--" a text may start with a dash.
        {{"raw", "--", "-1B2."}, "-1B2.", "Command Error!\n", 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wire);
        auto args = Args(sim.LinkArgs(GetParam()), {"--timeout", kTimeout});
        args.insert(args.end(), c.command.begin(), c.command.end());
        const CtlOutcome run = RunCtl(args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        EXPECT_EQ(run.out, c.printed);
        EXPECT_EQ(run.err.empty(), c.exitCode == 0) << run.err;
        EXPECT_EQ(sim.NewBytes(), c.wire);
    }
}

// The JSON form names what each line says by the panel's reading rules.
TEST_P(MatrixctlCommands, JsonTellsEachKindOfReply) {
    SimUnderTest sim;
    ASSERT_NE(sim.Port(), 0);
    struct Case {
        std::vector<std::string> command;
        std::string printed;
    };
    const Case cases[] = {
        {{"route", "3", "5"},
         R"({"line":"AV:3->5","kind":"route","signal":"AV","input":3,"output":5})"},
        {{"route", "1", "2", "--audio"},
         R"({"line":"A:1->2","kind":"route","signal":"A","input":1,"output":2})"},
        {{"route", "4", "2", "--video"},
         R"({"line":"V:4->2","kind":"route","signal":"V","input":4,"output":2})"},
        {{"all-through"}, R"({"line":"All Through.","kind":"all-through"})"},
        {{"all", "6"}, R"({"line":"6 To All","kind":"to-all","input":6})"},
        {{"off", "7"}, R"({"line":"AV:0->7 OFF","kind":"off","output":7})"},
        {{"demo"}, R"({"line":"Demo Mode","kind":"demo"})"},
        {{"demo"}, R"({"line":"Normal Mode","kind":"normal"})"},
        {{"version"}, R"({"line":"Version: matrixsim 1.0","kind":"other"})"},
        {{"route", "9", "1"}, R"({"line":"Command Error!","kind":"error"})"},
        {{"lock"}, R"({"line":"System Locked!","kind":"locked"})"},
        {{"route", "1", "2"}, R"({"line":"System Locked!","kind":"locked"})"},
        {{"unlock"}, R"({"line":"System Unlocked!","kind":"other"})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.printed);
        auto args = Args(sim.LinkArgs(GetParam()), {"--json", "--timeout", kTimeout});
        args.insert(args.end(), c.command.begin(), c.command.end());
        const CtlOutcome run = RunCtl(args);
        const bool refused =
            c.printed.find(R"("kind":"error")") != std::string::npos ||
            (c.printed.find(R"("kind":"locked")") != std::string::npos && c.command[0] != "lock");
        EXPECT_EQ(run.exitCode, refused ? 4 : 0) << run.err;
        EXPECT_EQ(run.out, c.printed + "\n");
    }
}

// --first, --lines and --until end each command's reading at its awaited line, long before the
// quiet time; a line that never comes is code 1. Several commands separated by "+" or read
// from a file go over one link, each read by the same rule; the code is that of the first
// failure. Inputs and outputs may be names of the labels file.
TEST_P(MatrixctlCommands, StopRulesChainsFilesAndNames) {
    SimUnderTest sim;
    ASSERT_NE(sim.Port(), 0);
    std::ofstream(sim.SysDir() + "/matrixpanel-labels.ini")
        << "[inputs]\n1=Laptop HDMI\n2=Laptop VGA\n[outputs]\n5=Projector\n6=Projector Hall\n";
    const std::string link =
        GetParam() == Link::Tcp ? "--net 127.0.0.1:" + std::to_string(sim.Port()) : "--serial COM1";
    struct Case {
        std::vector<std::string> command;
        std::string wire;
        std::string printed;
        int exitCode;
        std::string said;  // on standard error
    };
    const Case cases[] = {
        {{"--first", "status"}, "Status.", "AV:1->1\n", 0, ""},
        {{"--lines", "2", "status"}, "Status.", Lines({"AV:1->1", "AV:2->2"}), 0, ""},
        {{"--until", "F4", "save", "4", "+", "recall", "4"},
         "Save4.Recall4.",
         Lines({"Save To F4", "Recall From F4"}),
         0,
         ""},
        {{"--until", "Nothing", "type"},
         "/*Type;",
         "HDMI matrix 8x8\n",
         1,
         "no reply line containing \"Nothing\""},
        {{"--lines", "2", "version"},
         "/^Version;",
         "Version: matrixsim 1.0\n",
         1,
         "only 1 of 2 reply lines"},
        {{"route", "1", "2", "+", "route", "9", "1", "+", "recall", "5", "+", "route", "3", "4"},
         "1B2.9B1.Recall5.3B4.",
         Lines({"AV:1->2", "Command Error!", "F5 Is Empty", "AV:3->4"}),
         4,
         "refused"},
        {{"sh", "printf 'route 2 5\\n# a cue\\n\\n  raw AT + C1_BAUD = 9600 \\n' | CTL --file -"},
         "2B5.AT + C1_BAUD = 9600",
         "AV:2->5\nOK\n",
         0,
         ""},
        {{"--json", "route", "laptop h", "projector", "+", "route", "Laptop VGA", "6"},
         "1B5.2B6.",
         Lines({R"({"line":"AV:1->5","kind":"route","signal":"AV","input":1,"output":5,)"
                R"("input_name":"Laptop HDMI","output_name":"Projector"})",
                R"({"line":"AV:2->6","kind":"route","signal":"AV","input":2,"output":6,)"
                R"("input_name":"Laptop VGA","output_name":"Projector Hall"})"}),
         0,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wire);
        CtlOutcome run;
        const auto started = std::chrono::steady_clock::now();
        if (c.command.front() == "sh") {
            std::string line = c.command[1];
            line.replace(line.find("CTL"), 3, std::string(MATRIXCTL_PATH) + " " + link);
            run = ChildProcess({"/bin/sh", "-c", line}).Finish();
        } else {
            // A quiet time this long is never waited for when the awaited line comes.
            const bool ruled = c.exitCode == 0 && c.command.front().rfind("--", 0) == 0 &&
                               c.command.front() != "--json";
            auto args = Args(sim.LinkArgs(GetParam()), {"--timeout", ruled ? "20000" : kTimeout});
            args.insert(args.end(), c.command.begin(), c.command.end());
            run = RunCtl(args);
        }
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        EXPECT_EQ(run.out, c.printed);
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
        EXPECT_EQ(sim.NewBytes(), c.wire);
    }
}

INSTANTIATE_TEST_SUITE_P(Links, MatrixctlCommands, ::testing::Values(Link::Tcp, Link::PtyCom),
                         LinkName);

// A device path instead of COMn reaches the same port; --baud sets its rate.
TEST(MatrixctlSerial, TakesADevicePathAndARate) {
    SimUnderTest sim;
    ASSERT_NE(sim.Port(), 0);
    const CtlOutcome run = RunCtl({"--serial", sim.SysDir() + "/COM1", "--baud", "115200",
                                   "--timeout", kTimeout, "status", "2"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "AV:2->2\n");
    EXPECT_EQ(sim.NewBytes(), "Status2.");
}

// --timeout 0 is for control surfaces that fire and forget: nothing is waited for or printed.
TEST(MatrixctlSerial, TimeoutZeroSendsWithoutWaiting) {
    ScopedSysDir sys;
    PtyPort port(sys.Path(), 1);  // a switcher that never answers
    const auto started = std::chrono::steady_clock::now();
    const CtlOutcome run = RunCtl({"--timeout", "0", "recall", "3"});  // COM1 by default
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(port.Read(), "Recall3.");
}

// Reply bytes cut anywhere, lines ended by CR LF or a bare LF: every line is printed once and
// whole. A last line without its end is no reply: said on standard error, never printed. The
// time-out counts from the last byte, not the send.
TEST(MatrixctlReplies, LinesAreWholeHoweverTheyArriveAndTheQuietTimeRestarts) {
    TcpPeer peer;
    CtlProcess ctl(
        {"--net", "127.0.0.1:" + std::to_string(peer.Port()), "--timeout", "700", "status"});
    ASSERT_TRUE(peer.Accept());
    EXPECT_EQ(peer.Read(kQuietPeriod, 7), "Status.");
    const char* pieces[] = {"AV:1-", ">2\r", "\nV:3->4\nA:5", "->6\r\n", "Normal Mode\r\n", "End"};
    for (const char* piece : pieces) {
        peer.Send(piece);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    const CtlOutcome run = ctl.Finish();
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, Lines({"AV:1->2", "V:3->4", "A:5->6", "Normal Mode"}));
    EXPECT_EQ(run.err, "matrixctl: incomplete reply line at the end, not printed: \"End\"\n");
}

// Lines no switcher of ours sends: out of range, unknown signals, blanks, quotes, control
// bytes and text that is not ASCII all come out as valid JSON; bytes that are not UTF-8 become
// U+FFFD, with the exact bytes in "hex".
TEST(MatrixctlReplies, JsonReadsOddLinesAndEscapesWhatItMust) {
    TcpPeer peer;
    CtlProcess ctl({"--net", "127.0.0.1:" + std::to_string(peer.Port()), "--json", "type"});
    ASSERT_TRUE(peer.Accept());
    EXPECT_EQ(peer.Read(kQuietPeriod, 7), "/*Type;");
    peer.Send(
        "X:1->2\r\n"
        "AV:0->2\r\n"
        "  A:12->300  \r\n"
        " 4 To All\r\n"
        "V:1->2 OFF\r\n"
        "say \"hi\"\t\\\x01\r\n"
        "caf\xC3\xA9 \xE9\r\n"
        "Demo Mode\n");
    const CtlOutcome run = ctl.Finish();
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(
        run.out,
        Lines({R"({"line":"X:1->2","kind":"other"})", R"({"line":"AV:0->2","kind":"other"})",
               R"({"line":"  A:12->300  ","kind":"route","signal":"A","input":12,"output":300})",
               R"({"line":" 4 To All","kind":"to-all","input":4})",
               R"({"line":"V:1->2 OFF","kind":"off","output":2})",
               R"({"line":"say \"hi\"\t\\\u0001","kind":"other"})",
               "{\"line\":\"caf\xC3\xA9 \\ufffd\",\"hex\":\"636166c3a920e9\",\"kind\":"
               "\"other\"}",
               R"({"line":"Demo Mode","kind":"demo"})"}));
}

namespace {

// The process id of our running matrixctl child whose arguments include `word`, or 0.
pid_t ChildCtlWith(const std::string& word) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string status = FileText(entry.path() / "status");
        const auto ppid = status.find("\nPPid:\t");
        if (ppid == std::string::npos || std::stoi(status.substr(ppid + 7)) != ::getpid()) {
            continue;
        }
        const std::string cmdline = FileText(entry.path() / "cmdline");
        if (cmdline.rfind(MATRIXCTL_PATH, 0) == 0 &&
            cmdline.find('\0' + word + '\0') != std::string::npos) {
            return std::stoi(entry.path().filename());
        }
    }
    return 0;
}

// Whether a loopback connection to `port` is established (the one client there is).
bool ConnectedTo(std::uint16_t port) {
    std::istringstream table(FileText("/proc/net/tcp"));
    char remote[16];
    std::snprintf(remote, sizeof remote, ":%04X", port);
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string slot, local, peer, state;
        fields >> slot >> local >> peer >> state;
        if (peer.size() > 5 && peer.substr(peer.size() - 5) == remote && state == "01") {
            return true;
        }
    }
    return false;
}

}  // namespace

// The monitor of a control surface: a switcher that goes away and comes back on the same port
// is followed with link lines in JSON, and SIGTERM ends the monitor with code 0.
TEST(MatrixctlMonitor, FollowsASwitcherThatGoesAwayAndComesBack) {
    ScopedSysDir sys;
    const std::string log = sys.Path() + "/sim.log";
    auto sim = std::make_unique<SimProcess>(std::vector<std::string>{"--port", "0", "--log", log});
    const std::string port = std::to_string(sim->Port());
    CtlProcess ctl({"--net", "127.0.0.1:" + port, "--json", "--reconnect", "monitor"});
    ASSERT_TRUE(WaitUntil([&] { return FileText(log).find("connected") != std::string::npos; }));
    sim->Signal(SIGTERM);
    sim->Wait();
    std::filesystem::remove(log);
    sim = std::make_unique<SimProcess>(std::vector<std::string>{"--port", port, "--log", log});
    ASSERT_TRUE(WaitUntil([&] { return FileText(log).find("connected") != std::string::npos; }));
    const pid_t monitor = ChildCtlWith("monitor");
    ASSERT_GT(monitor, 0);
    ::kill(monitor, SIGTERM);
    const CtlOutcome run = ctl.Finish();
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out,
              Lines({R"({"kind":"link","state":"up"})", R"({"kind":"link","state":"down"})",
                     R"({"kind":"link","state":"up"})"}));
    EXPECT_NE(run.err.find("closed the connection; opening it again every 2 s"), std::string::npos)
        << run.err;
}

// Button feedback through the switcher server: the monitor on its raw port prints the replies
// to another controller's commands as they come.
TEST(MatrixctlMonitor, ShowsWhatASecondControllerDoesThroughTheSwitcherServer) {
    SimUnderTest sim;
    ASSERT_NE(sim.Port(), 0);
    const std::uint16_t rawPort = ClosedPort();
    const std::string raw = "127.0.0.1:" + std::to_string(rawPort);
    ChildProcess server({MATRIXD_PATH, "--net", "127.0.0.1:" + std::to_string(sim.Port()),
                         "--inputs", "8", "--outputs", "8", "--videohub-port", "off", "--raw-port",
                         std::to_string(rawPort), "--web-port", "off", "--swp08-port", "off",
                         "--no-advertise"});
    // Ready once a command of ours is answered: a run may also end on another's line (the
    // routes learned at start, an earlier run's reply), so each run asks for a route of its own,
    // and the answer to the last one means every earlier command has had its answer.
    int attempt = 0;
    ASSERT_TRUE(WaitUntil([&] {
        const std::string input = std::to_string(attempt % 8 + 1);
        const std::string output = std::to_string(attempt++ / 8 % 8 + 1);
        return RunCtl({"--net", raw, "--first", "route", input, output}).out ==
               "AV:" + input + "->" + output + "\n";
    }));
    CtlProcess monitor({"--net", raw, "--json", "monitor"});
    ASSERT_TRUE(WaitUntil([&] { return ConnectedTo(rawPort); }));
    const CtlOutcome routed = RunCtl({"--net", raw, "--first", "route", "4", "6"});
    EXPECT_EQ(routed.out, "AV:4->6\n");
    ::kill(ChildCtlWith("monitor"), SIGTERM);
    const CtlOutcome run = monitor.Finish();
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, R"({"line":"AV:4->6","kind":"route","signal":"AV","input":4,"output":6})"
                       "\n");
}
