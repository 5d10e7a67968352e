// matrixd from the outside: the real daemon between matrixsim (on its pseudo-terminal or on
// TCP) and router-protocol clients written from the protocol's description, plus raw clients
// on the module port.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

#include "RouterClient.h"
#include "matrixctl/CtlProcess.h"
#include "matrixd/MatrixdProcess.h"
#include "support/ChildProcess.h"
#include "support/LinkTestSupport.h"
#include "support/SimProcess.h"

namespace {

using namespace std::chrono_literals;

enum class Via { Pty, Tcp };

std::string ViaName(Via via) {
    return via == Via::Pty ? "Pty" : "Tcp";
}

const std::vector<std::string> kDumpHeaders = {
    "PROTOCOL PREAMBLE:",  "VIDEOHUB DEVICE:",      "INPUT LABELS:",  "OUTPUT LABELS:",
    "VIDEO OUTPUT LOCKS:", "VIDEO OUTPUT ROUTING:", "CONFIGURATION:", "END PRELUDE:"};

// A plain TCP client of the raw port.
class RawClient {
  public:
    explicit RawClient(std::uint16_t port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        m_bConnected =
            ::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() { ::close(m_fd); }
    bool Connected() const { return m_bConnected; }
    void Send(const std::string& bytes) {
        ASSERT_EQ(::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // Everything received so far, waiting until it holds `text`.
    const std::string& ReceivedWith(const std::string& text) {
        WaitUntil([&] {
            pollfd ready{m_fd, POLLIN, 0};
            char buffer[4096];
            while (::poll(&ready, 1, 10) > 0) {
                const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    return true;
                }
                m_received.append(buffer, static_cast<std::size_t>(n));
            }
            return m_received.find(text) != std::string::npos;
        });
        return m_received;
    }

  private:
    int m_fd = -1;
    bool m_bConnected = false;
    std::string m_received;
};

struct Matrixd : ::testing::Test {
    // matrixsim as an inputs x outputs switcher on <sysdir>/COM1 and on TCP (a given port to
    // come back where it was).
    void StartSim(int inputs, int outputs, std::uint16_t port = 0) {
        std::vector<std::string> args = {"--port",    std::to_string(port),
                                         "--inputs",  std::to_string(inputs),
                                         "--outputs", std::to_string(outputs),
                                         "--pty",     sysDir.Path() + "/COM1",
                                         "--log",     simLog};
        args.insert(args.end(), simExtra.begin(), simExtra.end());
        sim = std::make_unique<SimProcess>(args);
        simPort = sim->Port();
        ASSERT_NE(simPort, 0);
    }
    // matrixd on the simulator; COM1 is found through the settings directory as the panel
    // finds it.
    void StartDaemon(Via via, int inputs, int outputs, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--inputs", std::to_string(inputs), "--outputs",
                                         std::to_string(outputs)};
        if (via == Via::Pty) {
            args.insert(args.end(), {"--serial", "COM1"});
        } else {
            args.insert(args.end(), {"--net", "127.0.0.1:" + std::to_string(simPort)});
        }
        args.insert(args.end(), extra.begin(), extra.end());
        daemon = std::make_unique<MatrixdProcess>(args, daemonLog, advertise);
        ASSERT_TRUE(daemon->Started()) << daemon->Log();
        // Clients that come before the link is up are told the device is absent (or closed);
        // the tests' clients come once it is there.
        ASSERT_TRUE(WaitUntil([&] {
            RouterClient probe(daemon->RouterPort());
            while (!probe.View().devicePresent && !probe.ReadDump().empty()) {
            }
            return probe.View().devicePresent;
        })) << daemon->Log();
    }
    void Start(Via via, int inputs, int outputs, std::vector<std::string> extra = {}) {
        ASSERT_NO_FATAL_FAILURE(StartSim(inputs, outputs));
        ASSERT_NO_FATAL_FAILURE(StartDaemon(via, inputs, outputs, std::move(extra)));
    }
    // A router client that has read its initial dump with the device present.
    std::unique_ptr<RouterClient> Client() {
        auto client = std::make_unique<RouterClient>(daemon->RouterPort());
        const auto dump = client->ReadDump();
        EXPECT_EQ(Headers(dump), kDumpHeaders) << daemon->Log();
        return client;
    }
    // Every byte matrixsim received, from the pty and every TCP connection, in order.
    std::string SwitcherGot() const {
        std::ifstream in(simLog);
        std::string line, bytes;
        static const std::regex received(R"(^rx (pty|tcp#\d+) (.*)$)");
        std::smatch match;
        while (std::getline(in, line)) {
            if (std::regex_match(line, match, received)) {
                bytes += match[2];
            }
        }
        return bytes;
    }
    // What the switcher receives from now on: the bytes after those it has now.
    std::function<std::string()> SwitcherFromNow() {
        const std::size_t before = SwitcherGot().size();
        return [this, before] { return SwitcherGot().substr(before); };
    }

    ScopedSysDir sysDir;
    std::string simLog = sysDir.Path() + "/sim.log";
    std::string daemonLog = sysDir.Path() + "/matrixd.log";
    std::unique_ptr<SimProcess> sim;
    std::uint16_t simPort = 0;
    std::unique_ptr<MatrixdProcess> daemon;
    bool advertise = false;
    std::vector<std::string> simExtra;
    // matrixctl on the raw port.
    CtlOutcome Ctl(std::vector<std::string> args) {
        args.insert(args.begin(), {"--net", "127.0.0.1:" + std::to_string(daemon->RawPort())});
        return RunCtl(std::move(args));
    }
};

using Clock = std::chrono::steady_clock;

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// ---- The initial status dump ---------------------------------------------------------------

struct DumpCase {
    Via via;
    int inputs;
    int outputs;
};

struct MatrixdDump : Matrixd, ::testing::WithParamInterface<DumpCase> {};

TEST_P(MatrixdDump, DescribesTheSwitcherBlockByBlock) {
    const auto [via, inputs, outputs] = GetParam();
    ASSERT_NO_FATAL_FAILURE(Start(via, inputs, outputs));
    RouterClient client(daemon->RouterPort());
    const auto dump = client.ReadDump();
    ASSERT_EQ(Headers(dump), kDumpHeaders) << daemon->Log();
    EXPECT_EQ(dump[0].lines, std::vector<std::string>{"Version: 2.8"});
    EXPECT_EQ(dump[6].lines, std::vector<std::string>{"Take Mode: false"});
    EXPECT_TRUE(dump[7].lines.empty());

    const RouterView& view = client.View();
    const std::string counts = std::to_string(inputs) + "x" + std::to_string(outputs);
    EXPECT_TRUE(view.devicePresent);
    EXPECT_EQ(view.inputs, inputs);
    EXPECT_EQ(view.outputs, outputs);
    EXPECT_EQ(view.device.at("Friendly name"), "matrixd " + counts);
    EXPECT_TRUE(std::regex_match(view.device.at("Unique ID"), std::regex("[0-9A-Fa-f]{12}")));
    EXPECT_FALSE(view.device.at("Model name").empty());
    for (const char* none :
         {"Video processing units", "Video monitoring outputs", "Serial ports"}) {
        EXPECT_EQ(view.device.at(none), "0") << none;
    }
    // A line for every port, every output unlocked, and the routes matrixsim starts with
    // (output k from input k, the last input for the outputs beyond it).
    ASSERT_EQ(view.inputLabels.size(), static_cast<std::size_t>(inputs));
    ASSERT_EQ(view.outputLabels.size(), static_cast<std::size_t>(outputs));
    ASSERT_EQ(view.locks.size(), static_cast<std::size_t>(outputs));
    ASSERT_EQ(view.routes.size(), static_cast<std::size_t>(outputs));
    for (int o = 0; o < outputs; ++o) {
        EXPECT_FALSE(view.outputLabels.at(o).empty());
        EXPECT_EQ(view.locks.at(o), 'U');
        EXPECT_EQ(view.routes.at(o), std::min(o, inputs - 1)) << o;
    }
    // A block asked for by its header alone (here with the CR LF some clients send) comes
    // whole after the ACK.
    EXPECT_EQ(client.Request("VIDEO OUTPUT LOCKS:\r\n\r\n"), "ACK");
    const auto locks = client.Next("VIDEO OUTPUT LOCKS:");
    ASSERT_TRUE(locks.has_value());
    EXPECT_EQ(locks->lines.size(), static_cast<std::size_t>(outputs));
    EXPECT_TRUE(client.Violations().empty()) << client.Violations().front();
    // The daemon learned the routes by asking, and asked nothing else.
    EXPECT_EQ(SwitcherGot(), "Status.");
}

INSTANTIATE_TEST_SUITE_P(Sizes, MatrixdDump,
                         ::testing::Values(DumpCase{Via::Pty, 8, 8}, DumpCase{Via::Tcp, 8, 8},
                                           DumpCase{Via::Pty, 1, 1}, DumpCase{Via::Tcp, 1, 1}),
                         [](const auto& param) {
                             return ViaName(param.param.via) + std::to_string(param.param.inputs) +
                                    "x" + std::to_string(param.param.outputs);
                         });

// ---- Routes ----------------------------------------------------------------------------------

struct RouteCase {
    Via via;
    const char* kind;     // --route-kind
    const char* command;  // what the switcher receives for output 5 from input 3
};

struct MatrixdRoute : Matrixd, ::testing::WithParamInterface<RouteCase> {};

TEST_P(MatrixdRoute, ARequestSwitchesAndEveryClientSeesTheUpdate) {
    const auto [via, kind, command] = GetParam();
    ASSERT_NO_FATAL_FAILURE(Start(via, 8, 8, {"--route-kind", kind}));
    std::vector<std::unique_ptr<RouterClient>> clients;
    for (int k = 0; k < 3; ++k) {
        clients.push_back(Client());
    }
    const auto switcher = SwitcherFromNow();
    EXPECT_EQ(clients[1]->Request("VIDEO OUTPUT ROUTING:\n4 2\n\n"), "ACK");
    EXPECT_TRUE(WaitUntil([&] { return switcher() == command; })) << switcher();
    for (auto& client : clients) {
        const auto update = client->Next("VIDEO OUTPUT ROUTING:");
        ASSERT_TRUE(update.has_value()) << daemon->Log();
        EXPECT_EQ(update->lines, std::vector<std::string>{"4 2"});
        EXPECT_EQ(client->View().routes.at(4), 2);
        EXPECT_TRUE(client->Violations().empty()) << client->Violations().front();
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, MatrixdRoute,
                         ::testing::Values(RouteCase{Via::Pty, "av", "3B5."},
                                           RouteCase{Via::Tcp, "video", "3V5."}),
                         [](const auto& param) {
                             return ViaName(param.param.via) + param.param.kind;
                         });

TEST_F(Matrixd, TheRawPortPassesWholeCommandsAndItsRoutesReachRouterClients) {
    ASSERT_NO_FATAL_FAILURE(Start(Via::Pty, 8, 8));
    auto router = Client();
    RawClient panel(daemon->RawPort()), script(daemon->RawPort());
    ASSERT_TRUE(panel.Connected() && script.Connected());
    const auto switcher = SwitcherFromNow();

    // A command cut in two by another client's whole command reaches the switcher whole.
    panel.Send("2B");
    script.Send("4B4.");
    ASSERT_TRUE(WaitUntil([&] { return switcher().rfind("4B4.", 0) == 0; })) << switcher();
    panel.Send("7.");
    ASSERT_TRUE(WaitUntil([&] { return switcher() == "4B4.2B7."; })) << switcher();
    // The switcher's replies go to every raw client and update the router clients.
    EXPECT_NE(panel.ReceivedWith("AV:2->7\r\n").find("AV:4->4\r\nAV:2->7\r\n"), std::string::npos);
    EXPECT_NE(script.ReceivedWith("AV:2->7\r\n").find("AV:4->4\r\nAV:2->7\r\n"), std::string::npos);
    ASSERT_TRUE(WaitUntil([&] {
        return router->Next("VIDEO OUTPUT ROUTING:", 100ms).has_value() &&
               router->View().routes.at(6) == 1;
    }));
    EXPECT_EQ(router->View().routes.at(3), 3);  // 4B4. changed nothing: no update needed

    // A module's rate command is the daemon's, not the switcher's, and refused by default.
    panel.Send("AT + C1_BAUD = 110");
    EXPECT_NE(panel.ReceivedWith("ERROR\r\n").find("ERROR\r\n"), std::string::npos);
    script.Send("Status1.");
    EXPECT_NE(script.ReceivedWith("AV:1->1\r\n").find("AV:1->1\r\n"), std::string::npos);
    EXPECT_EQ(switcher(), "4B4.2B7.Status1.");
}

TEST_F(Matrixd, AHalfCommandNeverReachesTheSwitcher) {
    ASSERT_NO_FATAL_FAILURE(Start(Via::Pty, 8, 8));
    auto router = Client();
    RawClient half(daemon->RawPort()), flood(daemon->RawPort());
    const auto switcher = SwitcherFromNow();
    half.Send("1");
    flood.Send(std::string(4 << 20, 'x'));  // 4 MiB without an end
    EXPECT_EQ(router->Request("VIDEO OUTPUT ROUTING:\n2 1\n\n"), "ACK");
    ASSERT_TRUE(router->Next("VIDEO OUTPUT ROUTING:").has_value());
    EXPECT_EQ(router->View().routes.at(2), 1);
    EXPECT_EQ(switcher(), "2B3.");
    // Both are told, once each; the flood's tail ends at its "." and counts as nothing.
    flood.Send("1B1.");
    EXPECT_EQ(Count(half.ReceivedWith("dropped\r\n"), "matrixd: unfinished command dropped\r\n"),
              1u);
    EXPECT_EQ(Count(flood.ReceivedWith("dropped\r\n"), "dropped\r\n"), 1u);
    EXPECT_EQ(switcher(), "2B3.");
}

TEST_F(Matrixd, ABurstReachesABusySwitcherWhole) {
    simExtra = {"--busy", "20"};
    ASSERT_NO_FATAL_FAILURE(Start(Via::Pty, 16, 16));
    auto salvo = Client();
    auto watcher = Client();
    std::string block = "VIDEO OUTPUT ROUTING:\n";
    for (int o = 0; o < 16; ++o) {
        block += std::to_string(o) + " " + std::to_string(15 - o) + "\n";
    }
    EXPECT_EQ(salvo->Request(block + "\n"), "ACK");
    for (RouterClient* client : {salvo.get(), watcher.get()}) {
        EXPECT_TRUE(WaitUntil([&] {
            client->Next("VIDEO OUTPUT ROUTING:", 100ms);
            for (int o = 0; o < 16; ++o) {
                if (client->View().routes.at(o) != 15 - o) {
                    return false;
                }
            }
            return true;
        })) << SwitcherGot();
    }
}

TEST_F(Matrixd, OneClientsFloodHoldsUpAnothersRouteByACommandOrTwo) {
    ASSERT_NO_FATAL_FAILURE(Start(Via::Pty, 8, 8, {"--reply-wait", "50"}));
    RawClient flooder(daemon->RawPort());
    // Inputs to all: routes to one output would be merged into the last.
    std::string flood;
    for (int k = 0; k < 3000; ++k) {
        flood += "1All.";
    }
    flooder.Send(flood);
    ASSERT_TRUE(
        WaitUntil([&] { return SwitcherGot().find("1All.1All.1All.") != std::string::npos; }));
    auto other = Client();
    const std::size_t before = SwitcherGot().size();
    EXPECT_EQ(other->Request("VIDEO OUTPUT ROUTING:\n4 2\n\n"), "ACK");
    ASSERT_TRUE(WaitUntil([&] { return SwitcherGot().find("3B5.", before) != std::string::npos; }));
    const std::string got = SwitcherGot();
    EXPECT_LE(Count(got.substr(before, got.find("3B5.", before) - before), "1All."), 3u);
}

TEST_F(Matrixd, LocksHoldOnTheRawPortAndALostLinkIsSaidAtOnce) {
    ASSERT_NO_FATAL_FAILURE(Start(Via::Tcp, 8, 8));
    auto owner = Client();
    EXPECT_EQ(owner->Request("VIDEO OUTPUT LOCKS:\n2 O\n\n"), "ACK");
    const auto switcher = SwitcherFromNow();
    using Args = std::vector<std::string>;
    for (const Args& command : {Args{"route", "6", "3"}, Args{"all", "6"}, Args{"recall", "1"}}) {
        EXPECT_EQ(Ctl(command).exitCode, 4) << command.front();
    }
    EXPECT_EQ(Ctl({"route", "6", "4"}).exitCode, 0);
    EXPECT_EQ(switcher(), "6B4.");

    sim.reset();
    ASSERT_TRUE(owner->Next("VIDEOHUB DEVICE:").has_value());
    const auto started = Clock::now();
    const CtlOutcome down = Ctl({"route", "6", "4"});
    EXPECT_EQ(down.exitCode, 3) << down.err;
    EXPECT_NE(down.err.find("link"), std::string::npos) << down.err;
    EXPECT_LT(Clock::now() - started, 5s);
}

TEST_F(Matrixd, ASwitcherThatStopsAnsweringIsAbsentUntilItAnswers) {
    ASSERT_NO_FATAL_FAILURE(Start(Via::Tcp, 8, 8));
    auto client = Client();
    ASSERT_EQ(::kill(sim->Pid(), SIGSTOP), 0);
    EXPECT_EQ(client->Request("VIDEO OUTPUT ROUTING:\n0 5\n\n"), "ACK");
    const auto gone = client->Next("VIDEOHUB DEVICE:");
    ASSERT_TRUE(gone.has_value()) << daemon->Log();
    EXPECT_EQ(gone->lines.front(), "Device present: false");
    EXPECT_EQ(client->Request("VIDEO OUTPUT ROUTING:\n0 6\n\n"), "NAK");
    ASSERT_EQ(::kill(sim->Pid(), SIGCONT), 0);
    const auto back = client->ReadDump();
    EXPECT_TRUE(client->View().devicePresent) << daemon->Log();
    EXPECT_NE(daemon->Log().find("absent"), std::string::npos);
}

TEST_F(Matrixd, WithRouterAbsentCloseClientsAreClosedWhileTheSwitcherIsAway) {
    ASSERT_NO_FATAL_FAILURE(Start(Via::Tcp, 8, 8, {"--router-absent", "close"}));
    auto client = Client();
    ASSERT_EQ(::kill(sim->Pid(), SIGSTOP), 0);
    client->Request("VIDEO OUTPUT ROUTING:\n0 5\n\n");
    EXPECT_TRUE(client->ClosedByServer(10s)) << daemon->Log();
    RouterClient refused(daemon->RouterPort());
    EXPECT_TRUE(refused.ClosedByServer());
    ASSERT_EQ(::kill(sim->Pid(), SIGCONT), 0);
    EXPECT_TRUE(WaitUntil([&] {
        RouterClient back(daemon->RouterPort());
        return Headers(back.ReadDump(1s)) == kDumpHeaders;
    })) << daemon->Log();
}

// Quick salvos on a switcher slower than the reply wait: every route arrives and the switcher
// ends on the last salvo, without a NAK.
TEST_F(Matrixd, QuickSalvosOnASlowSwitcherEndOnTheLastOne) {
    simExtra = {"--busy", "400"};
    ASSERT_NO_FATAL_FAILURE(Start(Via::Tcp, 16, 16));
    auto surface = Client();
    for (int salvo = 1; salvo <= 5; ++salvo) {
        std::string block = "VIDEO OUTPUT ROUTING:\n";
        for (int o = 0; o < 16; ++o) {
            block += std::to_string(o) + " " + std::to_string((o + salvo) % 16) + "\n";
        }
        EXPECT_EQ(surface->Request(block + "\n"), "ACK") << salvo;
    }
    EXPECT_TRUE(WaitUntil(
        [&] {
            surface->Next("VIDEO OUTPUT ROUTING:", 100ms);
            for (int o = 0; o < 16; ++o) {
                if (surface->View().routes.at(o) != (o + 5) % 16) {
                    return false;
                }
            }
            return true;
        },
        60s))
        << SwitcherGot() << daemon->Log();
    EXPECT_NE(daemon->Log().find("answers slower than --reply-wait"), std::string::npos);
}

// With output 4 locked by a router client, nothing a raw client sends reaches it: letters in
// any case, commands the daemon cannot read, the switcher's own lock, or a command that waited
// in the queue when the lock came.
TEST_F(Matrixd, ALockHoldsAgainstEveryRawCommand) {
    simExtra = {"--busy", "300"};
    ASSERT_NO_FATAL_FAILURE(Start(Via::Tcp, 8, 8));
    auto owner = Client();
    RawClient raw(daemon->RawPort());
    const auto switcher = SwitcherFromNow();
    raw.Send("1B1.2B4.");  // the second waits behind the first
    ASSERT_TRUE(WaitUntil([&] { return switcher() == "1B1."; })) << switcher();
    EXPECT_EQ(owner->Request("VIDEO OUTPUT LOCKS:\n3 O\n\n"), "ACK");
    EXPECT_NE(raw.ReceivedWith("System Locked!").find("System Locked!\r\n"), std::string::npos);
    for (const char* command : {"2b4.", "2B3,4.", "/%Lock;"}) {
        raw.Send(command);
    }
    raw.ReceivedWith("matrixd: refused");
    raw.Send("3B2.");
    ASSERT_TRUE(WaitUntil([&] { return switcher().find("3B2.") != std::string::npos; }, 10s))
        << switcher();
    EXPECT_EQ(switcher(), "1B1.3B2.");
    EXPECT_EQ(Count(raw.ReceivedWith("AV:3->2"), "System Locked!\r\n"), 3u);
}

// The switcher's own lock, allowed to a raw client: it answers "System Locked!" (to the lock and
// to any route), and every door refuses changes as locked until it is unlocked.
TEST_F(Matrixd, TheSwitchersOwnLockIsReportedOnTheRouterPort) {
    ASSERT_NO_FATAL_FAILURE(Start(Via::Tcp, 8, 8, {"--allow-line-settings"}));
    auto surface = Client();
    RawClient raw(daemon->RawPort());
    raw.Send("/%Lock;");
    raw.ReceivedWith("System Locked!");  // its answer to the lock
    EXPECT_TRUE(WaitUntil([&] {
        return surface->Request("VIDEO OUTPUT ROUTING:\n1 2\n\n") == "NAK";
    })) << daemon->Log();
    raw.Send("/%Unlock;");
    raw.ReceivedWith("Unlock");
    EXPECT_TRUE(WaitUntil([&] {
        return surface->Request("VIDEO OUTPUT ROUTING:\n1 3\n\n") == "ACK";
    })) << daemon->Log();
}

TEST_F(Matrixd, ALabelFloodNeitherStallsOthersNorLosesTheLastName) {
    const std::string labels = sysDir.Path() + "/matrixpanel-labels.ini";
    ASSERT_NO_FATAL_FAILURE(Start(Via::Tcp, 8, 8));
    auto flooder = Client();
    auto other = Client();
    std::string flood;
    for (int k = 0; k < 2500; ++k) {
        flood += "OUTPUT LABELS:\n" + std::to_string(k % 8) + " Name " + std::to_string(k) + "\n\n";
    }
    flooder->Send(flood);
    ASSERT_TRUE(WaitUntil([&] {
        return daemon->Log().find("labels") != std::string::npos ||
               FileText(labels).find("Name") != std::string::npos;
    }));
    const auto asked = Clock::now();
    EXPECT_EQ(other->Request("PING:\n\n"), "ACK");
    EXPECT_LT(Clock::now() - asked, 1s);  // 17 s once; ~ms now
    EXPECT_TRUE(WaitUntil([&] {
        flooder->Next("OUTPUT LABELS:", 100ms);
        return flooder->View().outputLabels.at(3) == "Name 2499";
    }));
    EXPECT_EQ(daemon->Stop(), 0);
    EXPECT_NE(FileText(labels).find("4=Name 2499\n"), std::string::npos) << FileText(labels);
}

TEST_F(Matrixd, ClientTextReachesTheLogQuotedAndBounded) {
    ASSERT_NO_FATAL_FAILURE(Start(Via::Tcp, 64, 64));
    auto client = Client();
    std::string junk = "\x1b[2Jlink: lost:\n\n";
    for (int k = 0; k < 20000; ++k) {
        junk += "HEADER " + std::to_string(k) + ":\n\n";
    }
    client->Send(junk + "PING:\n\n");
    EXPECT_TRUE(client->Next("ACK").has_value());
    // Clients holding locks, gone at once: no warning of Qt's for each write to them.
    {
        std::vector<std::unique_ptr<RouterClient>> holders;
        for (int o = 0; o < 64; ++o) {
            holders.push_back(Client());
            holders.back()->Send("VIDEO OUTPUT LOCKS:\n" + std::to_string(o) + " O\n\n");
        }
        EXPECT_EQ(holders.back()->Request("PING:\n\n"), "ACK");
    }
    EXPECT_EQ(Client()->Request("PING:\n\n"), "ACK");
    const std::string log = daemon->Log();
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    EXPECT_NE(log.find("\\x1b[2Jlink"), std::string::npos) << log.substr(0, 2000);
    EXPECT_LT(Count(log, "\n"), 300u) << log.substr(0, 2000);
    EXPECT_EQ(log.find("not open"), std::string::npos);
}

TEST_F(Matrixd, WithoutAvahiItSaysSoOnceAndServes) {
    // A system bus that is not there, as on a machine without D-Bus.
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + sysDir.Path() + "/no-bus").c_str(), 1);
    advertise = true;
    ASSERT_NO_FATAL_FAILURE(Start(Via::Tcp, 8, 8));
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    auto client = Client();
    EXPECT_EQ(client->Request("PING:\n\n"), "ACK");
    const std::string log = daemon->Log();
    const auto first = log.find("not announced");
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(first, log.rfind("not announced")) << log;
}

TEST_F(Matrixd, AnnouncesOnceAvahiStartsAndAgainAfterItRestarts) {
    if (::access("/usr/bin/dbus-daemon", X_OK) != 0 ||
        ChildProcess({"/usr/bin/python3", "-c", "import dbus, gi"}).Finish().exitCode != 0) {
        GTEST_SKIP() << "needs dbus-daemon, python3-dbus and python3-gi";
    }
    // A bus of its own as the system bus, and Avahi not on it yet (matrixd started first).
    const std::string bus = "unix:path=" + sysDir.Path() + "/bus";
    ChildProcess busDaemon({"/usr/bin/dbus-daemon", "--session", "--nofork", "--address=" + bus});
    ASSERT_TRUE(WaitUntil([&] { return ::access((sysDir.Path() + "/bus").c_str(), F_OK) == 0; }));
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.c_str(), 1);
    advertise = true;
    Start(Via::Tcp, 8, 8);
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    ASSERT_FALSE(HasFatalFailure());
    const std::string avahiLog = sysDir.Path() + "/avahi.log";
    const std::string added =
        "AddService matrixd 8x8 _blackmagic._tcp " + std::to_string(daemon->RouterPort()) + "\n";
    const auto avahi = [&] {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/python3", FAKE_AVAHI_PATH, avahiLog, bus});
    };
    auto running = avahi();
    EXPECT_TRUE(WaitUntil([&] { return Count(FileText(avahiLog), added) == 1; })) << daemon->Log();
    running.reset();  // killed, as a crash or a restart ends it
    EXPECT_TRUE(WaitUntil([&] { return Count(daemon->Log(), "Avahi has left") == 1; }));
    running = avahi();
    EXPECT_TRUE(WaitUntil([&] { return Count(FileText(avahiLog), added) == 2; })) << daemon->Log();
    const std::string log = daemon->Log();
    EXPECT_EQ(Count(log, "not announced yet"), 1u) << log;
    EXPECT_EQ(Count(log, "Avahi is on the system bus"), 2u) << log;
    // The web panel is announced beside (at least by the Avahi that stayed), and the other
    // panels found are offered.
    EXPECT_TRUE(WaitUntil([&] {
        return Count(FileText(avahiLog), "_http._tcp " + std::to_string(daemon->WebPort())) >= 1;
    })) << FileText(avahiLog);
    EXPECT_TRUE(WaitUntil([&] {
        RawClient web(daemon->WebPort());
        web.Send("GET /api/v1/sites HTTP/1.1\r\nHost: localhost\r\n\r\n");
        return web.ReceivedWith("]").find(
                   R"({"answers":true,"name":"Studio B","url":"http://10.0.0.7:9980/"})") !=
               std::string::npos;
    })) << daemon->Log();
}

// ---- As a service ----------------------------------------------------------------------------

// The CPU time a process has used, from /proc/PID/stat (utime and stime, fields 14 and 15).
double CpuSeconds(pid_t pid) {
    const std::string stat = FileText("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));  // from field 3 on
    std::string field;
    long ticks = 0;
    for (int k = 3; k <= 15 && fields >> field; ++k) {
        ticks += k >= 14 ? std::stol(field) : 0;
    }
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

TEST_F(Matrixd, OutOfDescriptorsItRestsInsteadOfSpinningAndServesOnceClientsGo) {
    // Started under a soft limit below the hard one (systemd's default), it takes the hard one.
    rlimit own{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
    const rlimit low{std::min<rlim_t>(own.rlim_max, 200), own.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    Start(Via::Tcp, 8, 8);
    ::setrlimit(RLIMIT_NOFILE, &own);
    ASSERT_FALSE(HasFatalFailure());
    rlimit taken{};
    ASSERT_EQ(::prlimit(daemon->Pid(), RLIMIT_NOFILE, nullptr, &taken), 0);
    EXPECT_EQ(taken.rlim_cur, taken.rlim_max);

    // More clients than descriptors: the rest wait in the backlog.
    const rlimit tight{64, 64};
    ASSERT_EQ(::prlimit(daemon->Pid(), RLIMIT_NOFILE, &tight, nullptr), 0);
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int k = 0; k < 100; ++k) {
        clients.push_back(std::make_unique<RawClient>(daemon->RouterPort()));
    }
    ASSERT_TRUE(WaitUntil([&] { return Count(daemon->Log(), "cannot accept") > 0; }));
    const double before = CpuSeconds(daemon->Pid());
    std::this_thread::sleep_for(1s);
    EXPECT_LT(CpuSeconds(daemon->Pid()) - before, 0.3);  // a spinning accept takes a whole core
    EXPECT_EQ(Count(daemon->Log(), "cannot accept"), 1u) << daemon->Log();
    clients.clear();
    auto client = Client();
    EXPECT_EQ(client->Request("PING:\n\n"), "ACK");
}

TEST_F(Matrixd, TellsSystemdItIsReadyAndStopsAtOnceAndStartsAgainOnTheSamePorts) {
    // systemd's notification socket, as a Type=notify unit gets it.
    const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string notifyPath = sysDir.Path() + "/notify";
    notifyPath.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(notify, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const auto told = [notify] {
        char text[64] = {};
        pollfd ready{notify, POLLIN, 0};
        return ::poll(&ready, 1, 20000) > 0 && ::recv(notify, text, sizeof text - 1, 0) > 0
                   ? std::string(text)
                   : std::string("nothing");
    };
    ::setenv("NOTIFY_SOCKET", notifyPath.c_str(), 1);
    Start(Via::Tcp, 8, 8);
    ::unsetenv("NOTIFY_SOCKET");
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(told(), "READY=1");
    // Clients still connected when it stops leave its side of their connections closing.
    auto router = Client();
    RawClient raw(daemon->RawPort());
    const std::vector<std::string> samePorts = {
        "--videohub-port", std::to_string(daemon->RouterPort()),
        "--raw-port",      std::to_string(daemon->RawPort()),
        "--web-port",      std::to_string(daemon->WebPort())};
    const auto stopping = Clock::now();
    EXPECT_EQ(daemon->Stop(), 0);
    EXPECT_LT(Clock::now() - stopping, 3s) << daemon->Log();
    EXPECT_EQ(told(), "STOPPING=1");
    ::close(notify);
    EXPECT_TRUE(router->ClosedByServer());
    ASSERT_NO_FATAL_FAILURE(StartDaemon(Via::Tcp, 8, 8, samePorts));
    EXPECT_EQ(Client()->Request("PING:\n\n"), "ACK");
}

TEST_F(Matrixd, ItsLogSaysWhy) {
    // COM1 is a plain file, the labels file's directory is missing, this host is not allowed.
    const std::string com1 = sysDir.Path() + "/COM1";
    const std::string labels = sysDir.Path() + "/missing/labels.ini";
    { std::ofstream{com1}; }
    daemon = std::make_unique<MatrixdProcess>(
        std::vector<std::string>{"--serial", "COM1", "--inputs", "8", "--outputs", "8", "--labels",
                                 labels, "--allow", "10.0.0.0/8"},
        daemonLog);
    ASSERT_TRUE(daemon->Started()) << daemon->Log();
    for (int k = 0; k < 3; ++k) {
        EXPECT_TRUE(RouterClient(daemon->RouterPort()).ClosedByServer());
    }
    ASSERT_TRUE(WaitUntil([&] { return Count(daemon->Log(), "cannot open") > 0; }));
    const std::string log = daemon->Log();
    EXPECT_NE(log.find("link: cannot open COM1 (" + com1 + "): not a serial device"),
              std::string::npos)
        << log;
    // Once each: the refusal once a minute per address, however often the client tries.
    for (const std::string& line :
         {std::string(
              "refused a client from 127.0.0.1: its address is not in --allow (10.0.0.0/8)"),
          "default names are served, and names clients change are written to " + labels +
              ", but its directory cannot be written to"}) {
        EXPECT_EQ(Count(log, line), 1u) << line << "\n" << log;
    }
}

// ---- Labels ----------------------------------------------------------------------------------

TEST_F(Matrixd, LabelChangesAreKeptInThePanelsFileAndServedAfterARestart) {
    const std::string labels = sysDir.Path() + "/matrixpanel-labels.ini";
    { std::ofstream(labels) << "[inputs]\n2=Laptop\n"; }
    ASSERT_EQ(::chmod(labels.c_str(), 0640), 0);
    // What a writer killed midway left: gone at the start, not at the next write.
    const pid_t dead = ::fork();
    if (dead == 0) {
        ::_exit(0);
    }
    ::waitpid(dead, nullptr, 0);
    const std::string leftover = labels + ".tmp." + std::to_string(dead) + ".1";
    { std::ofstream(leftover) << "[inputs]\n"; }
    ASSERT_NO_FATAL_FAILURE(Start(Via::Tcp, 8, 8));
    EXPECT_NE(::access(leftover.c_str(), F_OK), 0);
    auto editor = Client();
    auto watcher = Client();
    EXPECT_EQ(editor->View().inputLabels.at(1), "Laptop");
    const std::string id = editor->View().device.at("Unique ID");

    EXPECT_EQ(editor->Request("INPUT LABELS:\n0 Camera 1\n\n"), "ACK");
    EXPECT_EQ(editor->Request("OUTPUT LABELS:\n4 Projector\n\n"), "ACK");
    for (auto* client : {editor.get(), watcher.get()}) {
        const auto inputs = client->Next("INPUT LABELS:");
        const auto outputs = client->Next("OUTPUT LABELS:");
        ASSERT_TRUE(inputs && outputs);
        EXPECT_EQ(inputs->lines, std::vector<std::string>{"0 Camera 1"});
        EXPECT_EQ(outputs->lines, std::vector<std::string>{"4 Projector"});
    }
    EXPECT_EQ(daemon->Stop(), 0);

    const std::string text = FileText(labels);
    for (const char* line : {"1=Camera 1\n", "2=Laptop\n", "5=Projector\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << text;
    }
    struct stat st {};
    ASSERT_EQ(::stat(labels.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    ASSERT_NO_FATAL_FAILURE(StartDaemon(Via::Tcp, 8, 8));
    auto later = Client();
    EXPECT_EQ(later->View().inputLabels.at(0), "Camera 1");
    EXPECT_EQ(later->View().inputLabels.at(1), "Laptop");
    EXPECT_EQ(later->View().outputLabels.at(4), "Projector");
    EXPECT_EQ(later->View().device.at("Unique ID"), id);
}

// ---- Locks -----------------------------------------------------------------------------------

TEST_F(Matrixd, LocksBelongToTheirConnection) {
    ASSERT_NO_FATAL_FAILURE(Start(Via::Tcp, 8, 8));
    auto owner = Client();
    auto other = Client();
    const auto lockUpdate = [](RouterClient& client) {
        const auto block = client.Next("VIDEO OUTPUT LOCKS:");
        return block ? block->lines : std::vector<std::string>{"none"};
    };
    using Lines = std::vector<std::string>;

    EXPECT_EQ(owner->Request("VIDEO OUTPUT LOCKS:\n2 O\n\n"), "ACK");
    EXPECT_EQ(lockUpdate(*owner), Lines{"2 O"});
    EXPECT_EQ(lockUpdate(*other), Lines{"2 L"});

    // Another client can neither route the locked output nor take the lock.
    const auto switcher = SwitcherFromNow();
    EXPECT_EQ(other->Request("VIDEO OUTPUT ROUTING:\n2 5\n\n"), "NAK");
    EXPECT_EQ(other->Request("VIDEO OUTPUT LOCKS:\n2 O\n\n"), "NAK");
    // The owner still routes it.
    EXPECT_EQ(owner->Request("VIDEO OUTPUT ROUTING:\n2 6\n\n"), "ACK");
    EXPECT_TRUE(WaitUntil([&] { return switcher() == "7B3."; })) << switcher();

    // F forces the lock open for everyone.
    EXPECT_EQ(other->Request("VIDEO OUTPUT LOCKS:\n2 F\n\n"), "ACK");
    EXPECT_EQ(lockUpdate(*owner), Lines{"2 U"});
    EXPECT_EQ(lockUpdate(*other), Lines{"2 U"});

    // U opens the owner's own lock.
    EXPECT_EQ(owner->Request("VIDEO OUTPUT LOCKS:\n5 O\n\n"), "ACK");
    EXPECT_EQ(lockUpdate(*other), Lines{"5 L"});
    EXPECT_EQ(owner->Request("VIDEO OUTPUT LOCKS:\n5 U\n\n"), "ACK");
    EXPECT_EQ(lockUpdate(*other), Lines{"5 U"});

    // A lock ends with its connection.
    EXPECT_EQ(owner->Request("VIDEO OUTPUT LOCKS:\n7 O\n\n"), "ACK");
    EXPECT_EQ(lockUpdate(*other), Lines{"7 L"});
    owner.reset();
    EXPECT_EQ(lockUpdate(*other), Lines{"7 U"});
    EXPECT_EQ(other->View().locks.at(7), 'U');
    EXPECT_EQ(other->Request("VIDEO OUTPUT ROUTING:\n7 0\n\n"), "ACK");
}

// ---- The link to the switcher ----------------------------------------------------------------

struct MatrixdLink : Matrixd, ::testing::WithParamInterface<Via> {};

TEST_P(MatrixdLink, ALostSwitcherIsReportedAndItsReturnResendsEverything) {
    ASSERT_NO_FATAL_FAILURE(Start(GetParam(), 8, 8));
    auto early = Client();
    const std::uint16_t port = simPort;
    sim.reset();  // the pseudo-terminal's master or the module's connection closes

    const auto gone = early->Next("VIDEOHUB DEVICE:");
    ASSERT_TRUE(gone.has_value()) << daemon->Log();
    EXPECT_EQ(gone->lines.front(), "Device present: false");
    // A client that connects meanwhile hears of the device's absence, with the counts and
    // names (a client given none makes up a router of its own), and of no routes.
    RouterClient late(daemon->RouterPort());
    const auto absent = late.ReadDump();
    EXPECT_EQ(Headers(absent),
              (std::vector<std::string>{
                  "PROTOCOL PREAMBLE:", "VIDEOHUB DEVICE:", "INPUT LABELS:", "OUTPUT LABELS:",
                  "VIDEO OUTPUT LOCKS:", "CONFIGURATION:", "END PRELUDE:"}));
    ASSERT_EQ(absent.size(), 7u);
    EXPECT_NE(std::find(absent[1].lines.begin(), absent[1].lines.end(), "Video outputs: 8"),
              absent[1].lines.end());
    EXPECT_EQ(absent[2].lines.size(), 8u);
    EXPECT_FALSE(late.View().devicePresent);
    EXPECT_TRUE(late.Quiet());

    ASSERT_NO_FATAL_FAILURE(StartSim(8, 8, port));
    const std::vector<std::string> resent(kDumpHeaders.begin() + 1, kDumpHeaders.end());
    for (RouterClient* client : {early.get(), &late}) {
        EXPECT_EQ(Headers(client->ReadDump()), resent) << daemon->Log();
        EXPECT_TRUE(client->View().devicePresent);
        EXPECT_EQ(client->View().routes.size(), 8u);
        EXPECT_TRUE(client->Violations().empty()) << client->Violations().front();
    }
    // The daemon asked the returned switcher for its routes, and nothing else; it serves
    // requests again.
    const std::string asked = SwitcherGot();
    EXPECT_TRUE(std::regex_match(asked, std::regex(R"((Status\.){2,})"))) << asked;
    EXPECT_EQ(early->Request("VIDEO OUTPUT ROUTING:\n0 7\n\n"), "ACK");
    ASSERT_TRUE(early->Next("VIDEO OUTPUT ROUTING:").has_value());
    EXPECT_EQ(early->View().routes.at(0), 7);
}

INSTANTIATE_TEST_SUITE_P(Links, MatrixdLink, ::testing::Values(Via::Pty, Via::Tcp),
                         [](const auto& param) { return ViaName(param.param); });

// ---- Bad requests and misbehaving clients ----------------------------------------------------

TEST_F(Matrixd, RequestsItCannotCarryOutChangeNothing) {
    enum class Answer { Nak, NakOrClose };
    struct Case {
        const char* what;
        std::string request;
        Answer answer;
    };
    const std::vector<Case> cases = {
        {"route to an output past the last", "VIDEO OUTPUT ROUTING:\n8 0\n\n", Answer::Nak},
        {"route from an input past the last", "VIDEO OUTPUT ROUTING:\n0 8\n\n", Answer::Nak},
        {"route that is not two numbers", "VIDEO OUTPUT ROUTING:\n0 x\n\n", Answer::Nak},
        {"negative output", "VIDEO OUTPUT ROUTING:\n-1 0\n\n", Answer::Nak},
        {"one bad line among good ones", "VIDEO OUTPUT ROUTING:\n0 3\n9 9\n\n", Answer::Nak},
        {"label past the last input", "INPUT LABELS:\n8 Nowhere\n\n", Answer::Nak},
        {"label that is not UTF-8", "OUTPUT LABELS:\n0 Cam\xC3\x28\n\n", Answer::Nak},
        {"lock state that does not exist", "VIDEO OUTPUT LOCKS:\n0 X\n\n", Answer::Nak},
        {"lock past the last output", "VIDEO OUTPUT LOCKS:\n8 O\n\n", Answer::Nak},
        {"block the server does not know", "VIDEO OUTPUT ROUTNIG:\n0 3\n\n", Answer::NakOrClose},
        {"line over 4 KiB", "INPUT LABELS:\n0 " + std::string(5000, 'a') + "\n\n",
         Answer::NakOrClose},
        {"block over 4096 lines",
         [] {
             std::string text = "VIDEO OUTPUT ROUTING:\n";
             for (int k = 0; k < 5000; ++k) {
                 text += "0 3\n";
             }
             return text + "\n";
         }(),
         Answer::NakOrClose},
    };
    ASSERT_NO_FATAL_FAILURE(Start(Via::Tcp, 8, 8));
    auto watcher = Client();
    const auto switcher = SwitcherFromNow();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto client = Client();
        const std::string answer = client->Request(c.request);
        if (c.answer == Answer::Nak || !answer.empty()) {
            EXPECT_EQ(answer, "NAK");
        } else {
            EXPECT_TRUE(client->ClosedByServer());
        }
        EXPECT_TRUE(watcher->Quiet(100ms));
    }
    EXPECT_TRUE(watcher->Quiet());
    EXPECT_EQ(switcher(), "");
    auto after = Client();
    for (int p = 0; p < 8; ++p) {
        EXPECT_EQ(after->View().routes.at(p), p);
        EXPECT_EQ(after->View().inputLabels.at(p), watcher->View().inputLabels.at(p));
        EXPECT_EQ(after->View().outputLabels.at(p), watcher->View().outputLabels.at(p));
    }
    EXPECT_EQ(after->Request("PING:\n\n"), "ACK");
}

TEST_F(Matrixd, AClientThatStopsReadingIsCutOffAndTheOthersGoOn) {
    constexpr int kPorts = 1024;
    ASSERT_NO_FATAL_FAILURE(Start(Via::Tcp, kPorts, kPorts));
    auto reader = Client();
    // Connected, and never reads again: its dump already fills its small receive buffer.
    RouterClient stuck(daemon->RouterPort(), 4096);
    ASSERT_TRUE(stuck.Connected());

    // Every output's label renamed at once, again and again: each update is ~40 KiB for every
    // client, until the daemon says it cut the stuck one off (at most 8 MiB: well past 1 MiB
    // plus what the two sockets can hold).
    const auto cutOff = [&] { return daemon->Log().find("cut off") != std::string::npos; };
    for (int round = 0; round < 200 && !cutOff(); ++round) {
        std::string request = "OUTPUT LABELS:\n";
        const std::string name = std::string(30, static_cast<char>('a' + round % 26));
        for (int o = 0; o < kPorts; ++o) {
            request += std::to_string(o) + " " + name + "\n";
        }
        ASSERT_EQ(reader->Request(request + "\n"), "ACK") << round;
        const auto update = reader->Next("OUTPUT LABELS:");
        ASSERT_TRUE(update.has_value()) << round;
        ASSERT_EQ(update->lines.size(), static_cast<std::size_t>(kPorts));
    }
    EXPECT_TRUE(stuck.ClosedByServer()) << daemon->Log();
    const std::string log = daemon->Log();
    EXPECT_EQ(log.find("cut off"), log.rfind("cut off")) << log;
    // The reader still gets answers and updates.
    EXPECT_EQ(reader->Request("VIDEO OUTPUT ROUTING:\n9 1\n\n"), "ACK");
    const auto route = reader->Next("VIDEO OUTPUT ROUTING:");
    ASSERT_TRUE(route.has_value());
    EXPECT_EQ(route->lines, std::vector<std::string>{"9 1"});
}

}  // namespace
