// matrixsim as a process: the panel's links against it on TCP and on its pseudo-terminal.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "link/CNetClient.h"
#include "link/CSerialPort.h"
#include "link/ConnectThread.h"
#include "link/ReceiveThread.h"
#include "support/LinkTestSupport.h"
#include "support/SimProcess.h"

TEST(MatrixsimProcessTest, AnswersTheNetworkLinkWithRouteLines) {
    SimProcess sim({"--port", "0", "--inputs", "4", "--outputs", "4"});
    const std::uint16_t port = sim.Port();
    ASSERT_NE(port, 0);
    CNetClient client;
    ASSERT_TRUE(client.Create());
    TextSink results, panel;
    ConnectThread connect;
    connect.Start({{127, 0, 0, 1}, port, &client, client.SocketToken()},
                  [&](int r) { results.Receiver()(std::to_string(r)); });
    ASSERT_TRUE(WaitUntil([&] { return results.Count() == 1; }));
    ASSERT_EQ(results.Items()[0], "0");
    ReceiveThread receiver;
    receiver.Start(client, panel.Receiver());
    client.Send("1B2", kRoutePanel, kTermDot);
    ASSERT_TRUE(WaitUntil([&] { return panel.Joined() == "AV:1->2\r\n"; }));
    client.SetModuleBaud(1);
    ASSERT_TRUE(WaitUntil([&] { return panel.Joined() == "AV:1->2\r\nOK\r\n"; }));
    receiver.Stop();
    client.Close();

    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(), 0);
}

TEST(MatrixsimProcessTest, ServesTheSerialLinkOnItsPseudoTerminal) {
    ScopedSysDir sys;
    const std::string link = sys.Path() + "/COM2";
    SimProcess sim({"--port", "0", "--pty", link});
    ASSERT_NE(sim.Port(), 0);
    CSerialPort port;
    TextSink terminal, panel;
    port.SetReceivers({terminal.Receiver(), panel.Receiver()});
    ASSERT_TRUE(port.OpenByName("Com2"));
    port.WriteCommand("3V5", kRoutePanel, kTermDot);
    ASSERT_TRUE(WaitUntil([&] { return panel.Joined() == "V:3->5\r\n"; }));
    port.WriteCommand("/^Version", kRouteTerminal, kTermSemicolon);
    ASSERT_TRUE(WaitUntil([&] { return terminal.Joined() == "Version: matrixsim 1.0\r\n"; }));
    EXPECT_TRUE(port.Close());

    sim.Signal(SIGINT);
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(link)) << "the link goes with the simulator";
}

TEST(MatrixsimProcessTest, RefusesABusyPortAndBadArguments) {
    TcpPeer busy;
    struct Case {
        std::vector<std::string> args;
        std::string firstLine;  // a part of it
        int exitCode;
    };
    const Case cases[] = {
        {{"--port", std::to_string(busy.Port())}, "is in use", 1},
        {{"--outputs", "0"}, "--outputs", 2},
        {{"--listen", "localhost"}, "bad address for --listen: 'localhost'", 2},
        {{"--listen", "127.1"}, "bad address for --listen: '127.1'", 2},
        {{"--help"}, "Usage: matrixsim", 0},
        {{"--version"}, "matrixsim 1.0", 0},
    };
    for (const Case& c : cases) {
        SimProcess sim(c.args);
        const std::string line = sim.Line();
        EXPECT_NE(line.find(c.firstLine), std::string::npos) << line;
        EXPECT_EQ(sim.Wait(), c.exitCode) << c.args.front();
    }
}

TEST(MatrixsimProcessTest, ListensOnTheAddressItIsGiven) {
    SimProcess sim({"--port", "0", "--listen", "127.0.0.2"});
    const std::string line = sim.Line();
    const std::string listening = "listening on 127.0.0.2:";
    const auto at = line.find(listening);
    ASSERT_NE(at, std::string::npos) << line;
    const auto port = static_cast<std::uint16_t>(std::stoi(line.substr(at + listening.size())));
    struct Case {
        std::array<std::uint8_t, 4> address;
        int result;
    };
    for (const Case& c : {Case{{127, 0, 0, 2}, 0}, Case{{127, 0, 0, 1}, ECONNREFUSED}}) {
        CNetClient client;
        ASSERT_TRUE(client.Create());
        EXPECT_EQ(ConnectThread::Connect({c.address, port, &client, client.SocketToken()}),
                  c.result);
    }
}
