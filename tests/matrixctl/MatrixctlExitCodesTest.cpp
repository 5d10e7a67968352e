// How matrixctl ends: 0 with replies, 1 when the switcher is silent, 2 for a command line it
// cannot run (before any link is opened), 3 when the link fails, with one line saying why (4,
// the switcher refused, is shown with the commands that get refusals).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "CtlProcess.h"
#include "link/CSerialPort.h"
#include "panel/HubLines.h"
#include "support/LinkTestSupport.h"
#include "support/SimProcess.h"

namespace {

// matrixctl's arguments for the peer on `port` with the quiet time `timeoutMs`, then `rest`.
std::vector<std::string> NetArgs(std::uint16_t port, const char* timeoutMs,
                                 const std::vector<std::string>& rest) {
    std::vector<std::string> args{"--net", "127.0.0.1:" + std::to_string(port), "--timeout",
                                  timeoutMs};
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
}

std::size_t LineCount(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace

TEST(MatrixctlExitCodes, HelpTellsTheCommandsAndTheDefaultRateAndVersionTheVersion) {
    const CtlOutcome run = RunCtl({"--help"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out.rfind("Usage: matrixctl", 0), 0u) << run.out;
    for (const char* word : {"default 9600", "route IN OUT", "raw TEXT", "--json", "Exit codes",
                             "monitor", "4 the switcher refused"}) {
        EXPECT_NE(run.out.find(word), std::string::npos) << word;
    }
    EXPECT_EQ(run.err, "");
    const CtlOutcome version = RunCtl({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("matrixctl ", 0), 0u) << version.out;
    EXPECT_EQ(std::count(version.out.begin(), version.out.end(), '\n'), 1) << version.out;
}

// Every case is run with a switcher on both links (COM1 is the default port): a command line
// that is refused must not have touched either.
TEST(MatrixctlExitCodes, BadArgumentsEndWithCodeTwoBeforeAnyLinkIsOpened) {
    ScopedSysDir sys;
    const std::string log = sys.Path() + "/sim.log";
    SimProcess sim({"--port", "0", "--pty", sys.Path() + "/COM1", "--log", log});
    const std::string net = "127.0.0.1:" + std::to_string(sim.Port());
    std::ofstream(sys.Path() + "/matrixpanel-labels.ini")
        << "[inputs]\n1=Camera 1\n2=camera 2\n[outputs]\n1=Stage\n2=Red\x1b[31m\n";
    // One name: an empty name, the start of every name, would pick it.
    const std::string oneName = sys.Path() + "/one-name.ini";
    std::ofstream(oneName) << "[outputs]\n5=Projector\n";
    const std::string cues = sys.Path() + "/cues";
    std::ofstream(cues) << "route 1 2\n# next\njump 3\n";
    struct Case {
        std::vector<std::string> args;
        std::string says;
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
        {{"--serial", "COM6", "type"}, "bad --serial 'COM6'"},
        {{"--serial", "COM0", "type"}, "'COM0'"},
        {{"--serial", "com01", "type"}, "'com01' (expected COM1..COM5"},
        {{"--net", net, "--bogus", "type"}, "unknown option '--bogus'"},
        {{"--net", net, "route", "cam", "1"}, "ambiguous input 'cam': 1 'Camera 1', 2 'camera 2'"},
        {{"--net", net, "route", "1", "Screen"},
         "unknown output 'Screen' (outputs: 1 'Stage', 2 'Red\\x1b[31m')"},
        {{"--net", net, "route", "", "1"}, "empty input ''"},
        {{"--net", net, "--labels", oneName, "route", "1", ""}, "empty output ''"},
        {{"--net", net, "route", "1", "2", "+"}, "a '+' needs a command"},
        {{"--net", net, "type", "+", "+", "version"}, "a '+' needs a command"},
        {{"--net", net, "type", "+", "monitor"}, "monitor runs alone"},
        {{"--net", net, "--reconnect", "type"}, "--reconnect goes with monitor"},
        {{"--net", net, "--first", "--until", "x", "type"}, "one of --first"},
        {{"--net", net, "--file", cues}, cues + ":3: unknown command 'jump'"},
        {{"--net", net, "--file", cues, "type"}, "commands or --file"},
        {{"--net", net, "--file", sys.Path() + "/none"}, "cannot read"},
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
        EXPECT_EQ(run.err.find('\x1b'), std::string::npos) << "a name reached the terminal raw";
    }
    const std::string received = FileText(log);
    EXPECT_EQ(received.find("connected"), std::string::npos) << received;
    EXPECT_EQ(received.find("rx "), std::string::npos) << received;
}

// The command goes out, nothing comes back: code 1 once the time-out, or --max-time when it
// comes first, has passed; the message names the one that did.
TEST(MatrixctlExitCodes, ASilentSwitcherEndsWithCodeOne) {
    for (const auto& [limit, said] :
         {std::pair{"--timeout", "300 ms"}, std::pair{"--max-time", "the --max-time of 300 ms"}}) {
        TcpPeer tcp;  // accepted by the system, never answered
        const CtlOutcome net =
            RunCtl({"--net", "127.0.0.1:" + std::to_string(tcp.Port()), limit, "300", "status"});
        EXPECT_EQ(net.exitCode, 1);
        EXPECT_EQ(net.out, "");
        EXPECT_EQ(net.err, "matrixctl: no reply within " + std::string(said) + "\n");
        ASSERT_TRUE(tcp.Accept());
        EXPECT_EQ(tcp.Read(), "Status.");
    }

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

// A host that never completes the handshake costs the connect limit, not minutes, and no more
// than --max-time.
TEST(MatrixctlExitCodes, AnUnansweredConnectGivesUpWithCodeThree) {
    using std::chrono::seconds;
    struct Case {
        std::vector<std::string> limit;
        std::string said;
        seconds within;  // the connect limit (5 s) is what a shorter --max-time must beat
    };
    const Case cases[] = {
        {{}, " within 5 s", seconds(20)},
        {{"--max-time", "300"}, " within the --max-time of 300 ms", seconds(4)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.said);
        BlackHole hole;
        const std::string address = "127.0.0.1:" + std::to_string(hole.Port());
        std::vector<std::string> args = c.limit;
        args.insert(args.end(), {"--net", address, "type"});
        const auto started = std::chrono::steady_clock::now();
        const CtlOutcome run = RunCtl(args);
        EXPECT_EQ(run.exitCode, 3);
        EXPECT_EQ(run.err, "matrixctl: no answer from " + address + c.said + "\n");
        EXPECT_LT(std::chrono::steady_clock::now() - started, c.within);
    }
}

// matrixd answers a command with this line while it has no link to the switcher: a link
// failure, said at once (not after the quiet time), and the commands after it are not sent.
TEST(MatrixctlExitCodes, TheHubsLinkDownAnswerIsALinkFailure) {
    const std::string line(kHubLinkDownLine);
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {{"route", "1", "2", "+", "route", "3", "4"}, ""},
        {{"--json", "route", "1", "2"},
         R"({"line":")" + line + R"(","kind":"link","state":"down"})" + "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out);
        TcpPeer peer;
        const std::vector<std::string> args = NetArgs(peer.Port(), "20000", c.args);
        const auto started = std::chrono::steady_clock::now();
        CtlProcess ctl(args);
        ASSERT_TRUE(peer.Accept());
        EXPECT_EQ(peer.Read(kQuietPeriod, 4), "1B2.");
        peer.Send(line + "\r\n");
        const CtlOutcome run = ctl.Finish();
        EXPECT_EQ(run.exitCode, 3);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, "matrixctl: the switcher link is down (matrixd)\n");
        EXPECT_EQ(peer.Read(), "") << "a command after the answer was sent";
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(15));
    }
}

namespace {

// A peer's part in a hostile exchange: bytes, then a pause.
struct Move {
    std::string bytes;
    int pauseMs;
};

// Sends to a peer that may have gone: matrixctl ends when it has had enough.
void SendWhileThere(TcpPeer& peer, const std::string& bytes) {
    try {
        peer.Send(bytes);
    } catch (const std::runtime_error&) {
    }
}

struct ScopedNoSigpipe {
    ScopedNoSigpipe() : previous(::signal(SIGPIPE, SIG_IGN)) {}
    ~ScopedNoSigpipe() { ::signal(SIGPIPE, previous); }
    sighandler_t previous;
};

}  // namespace

// Peers no switcher should be: only whole lines are replies, the quiet time counts from the last
// byte, a reset in the middle of a line is a link failure, and --max-time bounds a peer that
// never stops.
TEST(MatrixctlExitCodes, HostilePeersEndWithTheCodeOfTheWholeLinesRead) {
    ScopedNoSigpipe noSigpipe;
    std::vector<Move> slowLine;
    for (const char byte : std::string("AV:3->5\r\n")) {
        slowLine.push_back({std::string(1, byte), 300});
    }
    const std::vector<Move> linesEvery200Ms(20, Move{"AV:1->1\r\n", 200});
    struct Case {
        const char* what;
        std::vector<Move> moves;
        bool reset;
        std::vector<std::string> options;
        int exitCode;
        std::string out;
        std::string said;
    };
    // clang-format off
    const Case cases[] = {
        {"one byte every 300 ms", slowLine, false, {}, 0, "AV:3->5\n", ""},
        {"a started line, then silence", {{"A", 300}, {"V", 2500}}, false, {}, 1, "",
         "incomplete reply line at the end, not printed: \"AV\""},
        {"a reset in the middle of a line", {{"AV:1->1\r\nAV:3-", 300}}, true, {}, 3, "AV:1->1\n",
         "in the middle of a reply line: \"AV:3-\""},
        {"a line every 200 ms", linesEvery200Ms, false, {"--max-time", "1500"}, 0, "",
         "stopped at --max-time 1500 ms"},
        {"an overlong line", {{std::string(5000, 'x') + "\r\nOK\r\n", 0}}, false, {}, 0,
         std::string(4096, 'x') + "\nOK\n", "longer than 4096 bytes was cut there"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TcpPeer peer;
        // A quiet time well above the peers' pauses, so that a slow machine reads the same.
        std::vector<std::string> args = NetArgs(peer.Port(), "1500", c.options);
        args.push_back("status");
        CtlProcess ctl(args);
        ASSERT_TRUE(peer.Accept());
        EXPECT_EQ(peer.Read(kQuietPeriod, 7), "Status.");
        for (const Move& move : c.moves) {
            SendWhileThere(peer, move.bytes);
            std::this_thread::sleep_for(std::chrono::milliseconds(move.pauseMs));
        }
        if (c.reset) {
            peer.Reset();
        }
        const CtlOutcome run = ctl.Finish();
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        if (c.out.empty()) {
            EXPECT_EQ(run.out.find("AV:3"), std::string::npos) << run.out;
        } else {
            EXPECT_EQ(run.out, c.out);
        }
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
    }
}

namespace {

// The largest resident size in KiB that a run of matrixctl reached, its output discarded, and
// its exit code.
long MaxResidentKib(std::vector<std::string> args, int& exitCode) {
    args.insert(args.begin(), MATRIXCTL_PATH);
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return -1;
    }
    rusage usage{};
    int status = 0;
    ::wait4(pid, &status, 0, &usage);
    exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return usage.ru_maxrss;
}

}  // namespace

// 100 MB without a line end costs matrixctl less than 20 MB more than a run that reads nothing
// (the base differs between plain and sanitizer builds). Its start is printed as a cut line;
// the peer hanging up in the middle of it is a link failure.
TEST(MatrixctlExitCodes, AFloodWithoutLineEndsKeepsMemoryBounded) {
    ScopedNoSigpipe noSigpipe;
    int exitCode = -1;
    const long base = MaxResidentKib({"--version"}, exitCode);
    TcpPeer peer;
    int sent = 0;
    std::thread flood([&] {
        if (!peer.Accept()) {
            return;
        }
        const std::string megabyte(1 << 20, 'x');
        for (; sent < 100; ++sent) {
            peer.Send(megabyte);
        }
        peer.Close();
    });
    const long flooded = MaxResidentKib(
        {"--net", "127.0.0.1:" + std::to_string(peer.Port()), "--timeout", "20000", "type"},
        exitCode);
    flood.join();
    EXPECT_EQ(sent, 100);
    EXPECT_EQ(exitCode, 3);
    ASSERT_GT(base, 0);
    EXPECT_LT(flooded - base, 20 * 1024) << flooded << " KiB against " << base << " KiB";
}
