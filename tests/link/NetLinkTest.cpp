// The network link against a real loopback listener.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "LinkTestSupport.h"
#include "link/CNetClient.h"
#include "link/ConnectThread.h"
#include "link/ReceiveThread.h"
#include "link/ReplyReceivers.h"
#include "platform/SocketLibrary.h"

using namespace std::chrono_literals;

namespace {

ConnectRequest LoopbackRequest(CNetClient& client, std::uint16_t port) {
    return ConnectRequest{{127, 0, 0, 1}, port, &client, client.SocketToken()};
}

// A client connected to peer through ConnectThread, the way the "Set Net" dialog does it.
void Connect(CNetClient& client, TcpPeer& peer) {
    ASSERT_TRUE(client.Create());
    ConnectThread connect;
    std::vector<int> results;
    std::mutex mutex;
    connect.Start(LoopbackRequest(client, peer.Port()), [&](int result) {
        std::lock_guard lock(mutex);
        results.push_back(result);
    });
    ASSERT_TRUE(peer.Accept());
    ASSERT_TRUE(WaitUntil([&] { return !connect.Running(); }));
    connect.Stop();
    ASSERT_EQ(results, std::vector<int>{0});
}

// A loopback listener that never accepts and whose backlog is full: a connect to it waits for
// a handshake that does not come.
class BlackHole {
  public:
    BlackHole() {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(m_listener, 0);
        socklen_t len = sizeof addr;
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        for (int k = 0; k < 4; ++k) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            m_fillers.push_back(fd);
        }
    }
    ~BlackHole() {
        for (const int fd : m_fillers) {
            ::close(fd);
        }
        ::close(m_listener);
    }
    std::uint16_t Port() const { return m_port; }

  private:
    int m_listener = -1;
    std::uint16_t m_port = 0;
    std::vector<int> m_fillers;
};

}  // namespace

TEST(ConnectThreadTest, AConnectWaitingForItsHandshakeEndsWhenAbandonedOrClosed) {
    BlackHole hole;
    // Abandoned: Stop returns at once and nothing is handed over.
    {
        CNetClient client;
        ASSERT_TRUE(client.Create());
        TextSink results;
        ConnectThread connect;
        connect.Start(LoopbackRequest(client, hole.Port()),
                      [&](int result) { results.Receiver()(std::to_string(result)); });
        std::this_thread::sleep_for(100ms);
        ASSERT_TRUE(connect.Running()) << "the connect did not block; the test proves nothing";
        connect.Stop();
        EXPECT_FALSE(connect.Running());
        EXPECT_EQ(results.Count(), 0u);
    }
    // Closed under it (the operator chose COM while connecting): the attempt fails at once.
    {
        CNetClient client;
        ASSERT_TRUE(client.Create());
        TextSink results;
        ConnectThread connect;
        connect.Start(LoopbackRequest(client, hole.Port()),
                      [&](int result) { results.Receiver()(std::to_string(result)); });
        std::this_thread::sleep_for(100ms);
        client.Close();
        ASSERT_TRUE(WaitUntil([&] { return !connect.Running(); }));
        ASSERT_EQ(results.Count(), 1u);
        EXPECT_NE(results.Items()[0], "0");
    }
}

TEST(ConnectThreadTest, ReportsRefusalOnceWithTheErrorCode) {
    CNetClient client;
    ASSERT_TRUE(client.Create());
    std::uint16_t closedPort;
    {
        TcpPeer gone;
        closedPort = gone.Port();
    }
    ConnectThread connect;
    TextSink results;
    connect.Start(LoopbackRequest(client, closedPort),
                  [&](int result) { results.Receiver()(std::to_string(result)); });
    ASSERT_TRUE(WaitUntil([&] { return !connect.Running(); }));
    connect.Stop();
    EXPECT_EQ(results.Items(), std::vector<std::string>{std::to_string(ECONNREFUSED)});
    EXPECT_TRUE(client.HasSocket()) << "a failed socket stays until the next Create or Close";
}

TEST(ConnectThreadTest, StopDropsTheResultOfAnAbandonedAttempt) {
    CNetClient client;
    ASSERT_TRUE(client.Create());
    TcpPeer peer;
    FakeUiQueue ui;
    TextSink results;
    ConnectThread connect;
    connect.Start(
        LoopbackRequest(client, peer.Port()),
        [&](int result) { results.Receiver()(std::to_string(result)); }, ui.Post());
    ASSERT_TRUE(WaitUntil([&] { return ui.Pending() > 0; }));
    connect.Stop();  // the worker waits for the UI queue, which is this thread: must not hang
    ui.RunAll();
    EXPECT_EQ(results.Count(), 0u);
}

TEST(NetClientTest, CreateCountsOneUseOfTheSocketsLibraryPerSocket) {
    const int before = SocketUseCount();
    {
        CNetClient client;
        ASSERT_TRUE(client.Create());
        ASSERT_TRUE(client.Create());  // the first socket is closed first
        EXPECT_EQ(SocketUseCount(), before + 1);
        client.Close();
        client.Close();
        EXPECT_FALSE(client.HasSocket());
        EXPECT_EQ(SocketUseCount(), before);
        ASSERT_TRUE(client.Create());
    }
    EXPECT_EQ(SocketUseCount(), before) << "the destructor closes the socket";
}

TEST(NetClientTest, SendWithoutAConnectionReportsSendFailure) {
    MessageRecorder boxes;
    CNetClient client;
    client.Send("3B5", 2, 0);  // never created
    TcpPeer peer;
    Connect(client, peer);
    client.Close();
    client.Send("3B5", 2, 0);
    EXPECT_EQ(boxes.Texts(), (std::vector<std::string>{"Send failure!", "Send failure!"}));
    EXPECT_EQ(client.ReplyRoute(), 2) << "the route is kept even when the send fails";
}

TEST(NetClientTest, SendToAPeerThatLeftFailsWithoutKillingTheProcess) {
    MessageRecorder boxes;
    CNetClient client;
    TcpPeer peer;
    Connect(client, peer);
    peer.Reset();
    // The first send may still be taken by the kernel; by the next ones the reset is known.
    for (int i = 0; i < 50 && boxes.Texts().empty(); ++i) {
        client.Send("Status", 2, 0);
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_FALSE(boxes.Texts().empty());
}

TEST(ReceiveThreadTest, HandsChunksOverCutAtTheFirstZeroByte) {
    CNetClient client;
    TcpPeer peer;
    Connect(client, peer);
    TextSink chunks;
    ReceiveThread receiver;
    ASSERT_TRUE(receiver.Start(client, chunks.Receiver()));

    const std::string full(ReceiveThread::kChunk, 'x');
    peer.Send(full);
    ASSERT_TRUE(WaitUntil([&] { return chunks.Joined().size() >= full.size(); }));
    EXPECT_EQ(chunks.Items().front().size(), full.size()) << "1024 bytes arrive as one chunk";

    peer.Send(std::string("AV:1->2\r\n\0junk", 15));
    ASSERT_TRUE(WaitUntil([&] { return chunks.Count() >= 2 && chunks.Items().back() != full; }));
    EXPECT_EQ(chunks.Items().back(), "AV:1->2\r\n");
    receiver.Stop();
}

TEST(ReceiveThreadTest, PeerCloseEndsQuietlyAndClosesTheSocket) {
    const int uses = SocketUseCount();
    CNetClient client;
    TcpPeer peer;
    Connect(client, peer);
    TextSink chunks;
    ReceiveThread receiver;
    ASSERT_TRUE(receiver.Start(client, chunks.Receiver()));
    peer.Close();
    ASSERT_TRUE(WaitUntil([&] { return !receiver.Running(); }));
    EXPECT_EQ(chunks.Count(), 0u);
    EXPECT_FALSE(client.HasSocket());
    EXPECT_EQ(SocketUseCount(), uses);
}

TEST(ReceiveThreadTest, ReceiveErrorHandsOverTheFailureText) {
    CNetClient client;
    TcpPeer peer;
    Connect(client, peer);
    TextSink chunks;
    ReceiveThread receiver;
    ASSERT_TRUE(receiver.Start(client, chunks.Receiver()));
    peer.Reset();
    ASSERT_TRUE(WaitUntil([&] { return !receiver.Running(); }));
    EXPECT_EQ(chunks.Items(), std::vector<std::string>{"Data receival failure!"});
    EXPECT_FALSE(client.HasSocket());
}

TEST(ReceiveThreadTest, RepliesFollowTheRouteOfTheLastSend) {
    CNetClient client;
    TcpPeer peer;
    Connect(client, peer);
    TextSink terminal, panel;
    const ReplyReceivers receivers{terminal.Receiver(), panel.Receiver()};
    ReceiveThread receiver;
    receiver.Start(
        client, [&](std::string_view text) { RouteReply(client.ReplyRoute(), text, receivers); });

    peer.Send("before any command\r\n");
    ASSERT_TRUE(WaitUntil([&] { return terminal.Count() == 1; }));
    client.Send("Status", 2, 0);
    EXPECT_EQ(peer.Read(7, 200ms), "Status.");
    peer.Send("AV:1->1\r\n");
    ASSERT_TRUE(WaitUntil([&] { return panel.Count() == 1; }));
    client.Send("/*Type", 1, 1);
    EXPECT_EQ(peer.Read(7, 200ms), "/*Type;");
    peer.Send("Type\r\n");
    ASSERT_TRUE(WaitUntil([&] { return terminal.Count() == 2; }));
    EXPECT_EQ(panel.Items(), std::vector<std::string>{"AV:1->1\r\n"});
    receiver.Stop();
}

TEST(ReceiveThreadTest, StopWithAHandOffInFlightNeitherHangsNorDelivers) {
    CNetClient client;
    TcpPeer peer;
    Connect(client, peer);
    FakeUiQueue ui;
    TextSink chunks;
    ReceiveThread receiver;
    receiver.Start(client, chunks.Receiver(), ui.Post());
    peer.Send("AV:2->3\r\n");
    ASSERT_TRUE(WaitUntil([&] { return ui.Pending() == 1; }));
    receiver.Stop();  // called on the "UI thread", which has not run the hand-off
    client.Close();
    ui.RunAll();
    EXPECT_EQ(chunks.Count(), 0u);
}

TEST(ReceiveThreadTest, AnOldLoopNeverClosesANewerSocket) {
    CNetClient client;
    TcpPeer first;
    Connect(client, first);
    FakeUiQueue ui;
    TextSink chunks;
    ReceiveThread receiver;
    receiver.Start(client, chunks.Receiver(), ui.Post());
    first.Send("A:1->1\r\n");
    ASSERT_TRUE(WaitUntil([&] { return ui.Pending() == 1; }));
    // While the old loop is held in its hand-off, its socket is closed and a new one made.
    client.Close();
    TcpPeer second;
    Connect(client, second);
    ui.RunAll();  // the old loop goes on, finds its socket gone and ends
    ASSERT_TRUE(WaitUntil([&] {
        ui.RunAll();
        return !receiver.Running();
    }));
    EXPECT_EQ(chunks.Items(), (std::vector<std::string>{"A:1->1\r\n", "Data receival failure!"}));
    EXPECT_TRUE(client.HasSocket());
    MessageRecorder boxes;
    client.Send("Undo", 2, 0);
    EXPECT_EQ(second.Read(5, 200ms), "Undo.");
    EXPECT_TRUE(boxes.Texts().empty());
}
