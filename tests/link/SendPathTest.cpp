// Exact bytes on the wire for every sender, on both links, chosen by the link mode at send time.
#include <gtest/gtest.h>

#include "link/CNetClient.h"
#include "link/CSendPath.h"
#include "link/CSerialPort.h"
#include "link/ConnectThread.h"
#include "panel/CommandSet.h"
#include "support/LinkTestSupport.h"

using namespace std::chrono_literals;

namespace {

class SendPathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_net.Create());
        ConnectThread connect;
        connect.Start({{127, 0, 0, 1}, m_peer.Port(), &m_net, m_net.SocketToken()}, {});
        ASSERT_TRUE(m_peer.Accept());
        ASSERT_TRUE(WaitUntil([&] { return !connect.Running(); }));
        ASSERT_TRUE(m_serial.Open(1));
    }

    // What each link puts on the wire for one send.
    std::pair<std::string, std::string> Both(const std::function<void(CSendPath&)>& send,
                                             std::size_t netBytes, std::size_t serialBytes) {
        m_mode = LinkMode::Network;
        send(m_path);
        std::string net = m_peer.Read(150ms, netBytes);
        m_mode = LinkMode::Serial;
        send(m_path);
        std::string serial = m_com1.Read(150ms, serialBytes);
        return {net, serial};
    }

    ScopedSysDir m_sysDir;
    PtyPort m_com1{m_sysDir.Path(), 1};
    TcpPeer m_peer;
    CNetClient m_net;
    CSerialPort m_serial;
    LinkMode m_mode = LinkMode::Serial;
    CSendPath m_path{m_net, m_serial, [this] { return m_mode; }};
    MessageRecorder m_boxes;
};

}  // namespace

TEST_F(SendPathTest, EverySenderPutsItsBytesOnBothLinks) {
    struct Row {
        DeviceCommand command;
        std::string net;
        std::string serial;
    };
    const Row rows[] = {
        {RouteCommand('V', InputNo{3}, OutputNo{5}), "3V5.", "3V5."},
        {RouteCommand('B', InputNo{3}, OutputNo{5}), "3B5.", "3B5."},
        {InputToAllCommand(InputNo{3}), "3All.", "3All."},
        {AllToAllCommand(), "All$.", "All$."},
        {AllToOutputCommand(OutputNo{5}), "5$.", "5$."},
        {InputThroughCommand(InputNo{3}), "3#.", "3#."},
        {PresetCommand("Recall", 10), "Recall10.", "Recall10."},
        {UndoCommand(), "Undo.", "Undo."},
        {LockCommand(), "/%Lock;", "/%Lock;"},
        {UnlockCommand(), "/%Unlock;", "/%Unlock;"},
        {OutputStatusCommand(OutputNo{4}), "Status4.", "Status4."},
        {TypeQuery(), "/*Type;", "/*Type;"},
        {VersionQuery(), "/^Version;", "/^Version;"},
        // route 1 with flag 0: the network link appends nothing, the serial link "."
        {DeviceCommand{"abc", kRouteTerminal, kTermDot}, "abc", "abc."},
        // an unknown route: nothing on the network link, the flag's terminator on serial
        {DeviceCommand{"x", static_cast<ReplyRoute>(7), kTermSemicolon}, "x", "x;"},
    };
    for (const Row& row : rows) {
        const DeviceCommand& c = row.command;
        const auto [net, serial] =
            Both([&](CSendPath& path) { path.SendToDevice(c.text, c.route, c.flag); },
                 row.net.size(), row.serial.size());
        EXPECT_EQ(net, row.net) << c.text;
        EXPECT_EQ(serial, row.serial) << c.text;
        EXPECT_EQ(m_net.ReplyRoute(), c.route) << c.text;
        EXPECT_EQ(m_serial.ReplyRoute(), c.route) << c.text;
    }
    EXPECT_TRUE(m_boxes.Texts().empty());
}

TEST_F(SendPathTest, StatusButtonAndRawTexts) {
    // The STATUS button's route differs per link; the bytes do not.
    m_net.Send(StatusQuery(true).text, StatusQuery(true).route, StatusQuery(true).flag);
    EXPECT_EQ(m_peer.Read(150ms, 7), "Status.");
    EXPECT_EQ(m_net.ReplyRoute(), 2);
    m_serial.WriteCommand(StatusQuery(false).text, StatusQuery(false).route, kTermDot);
    EXPECT_EQ(m_com1.Read(150ms, 7), "Status.");
    EXPECT_EQ(m_serial.ReplyRoute(), 1);

    m_net.Send("Undo", kRoutePanel, kTermDot);
    m_peer.Read(150ms, 5);
    const auto [net, serial] = Both([](CSendPath& path) { path.SendRawToDevice("a%sb"); }, 4, 4);
    EXPECT_EQ(net, "a%sb");
    EXPECT_EQ(serial, "a%sb");
    EXPECT_EQ(m_net.ReplyRoute(), 1);
    EXPECT_EQ(m_serial.ReplyRoute(), 1);

    m_mode = LinkMode::Network;
    m_path.SendRawToDevice("");  // a zero-length send is no failure
    EXPECT_TRUE(m_boxes.Texts().empty());
}

TEST_F(SendPathTest, ModuleCommandsGoOutWithoutTerminator) {
    struct Row {
        int index;
        std::string bytes;
    };
    for (const Row& row : {Row{0, "AT + C1_BAUD = 4800"}, Row{1, "AT + C1_BAUD = 9600"},
                           Row{4, "AT + C1_BAUD = 57600"}, Row{5, "AT + C1_BAUD = 9600"},
                           Row{-1, "AT + C1_BAUD = 9600"}}) {
        m_net.Send("Undo", kRoutePanel, kTermDot);
        EXPECT_EQ(m_peer.Read(150ms, 5), "Undo.");
        EXPECT_TRUE(m_net.SetModuleBaud(row.index));
        EXPECT_EQ(m_peer.Read(150ms, row.bytes.size()), row.bytes) << row.index;
        EXPECT_EQ(m_net.ReplyRoute(), 1);
    }
    m_net.SetModuleStopBits(1);
    EXPECT_EQ(m_peer.Read(150ms, 20), "AT + C1_STOPB = 1.5");
}

TEST_F(SendPathTest, EachSendTakesTheLinkOfItsMoment) {
    m_mode = LinkMode::Network;
    m_path.SendToDevice("1B1", kRoutePanel, kTermDot);
    m_mode = LinkMode::Serial;
    m_path.SendToDevice("2B2", kRouteTerminal, kTermSemicolon);
    EXPECT_EQ(m_peer.Read(150ms, 100), "1B1.");
    EXPECT_EQ(m_com1.Read(150ms, 100), "2B2;");
    EXPECT_EQ(m_net.ReplyRoute(), 2) << "each link keeps its own route";
    EXPECT_EQ(m_serial.ReplyRoute(), 1);
}
