// The network link against a real loopback listener.
#include <gtest/gtest.h>

#include <cerrno>
#include <future>
#include <thread>

#include "link/CNetClient.h"
#include "link/ConnectThread.h"
#include "link/ReceiveThread.h"
#include "link/ReplyReceivers.h"
#include "platform/SocketLibrary.h"
#include "support/LinkTestSupport.h"

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

// Hands each connect result to sink as its number.
std::function<void(int)> ResultsInto(TextSink& sink) {
    return [&sink](int result) { sink.Receiver()(std::to_string(result)); };
}

// A connect to a listener that never completes the handshake, started and given time to block.
struct WaitingConnect {
    CNetClient client;
    TextSink results;
    ConnectThread connect;

    void Start(std::uint16_t port) {
        ASSERT_TRUE(client.Create());
        connect.Start(LoopbackRequest(client, port), ResultsInto(results));
        std::this_thread::sleep_for(100ms);
    }
};

// A client connected to a loopback peer, for a receive loop to read from.
struct ReceiveThreadTest : ::testing::Test {
    void SetUp() override {
        socketsBefore = SocketUseCount();
        ASSERT_NO_FATAL_FAILURE(Connect(client, peer));
    }

    int socketsBefore = 0;
    CNetClient client;
    TcpPeer peer;
    TextSink chunks;
};

}  // namespace

TEST(ConnectThreadTest, AConnectWaitingForItsHandshakeEndsWhenAbandonedOrClosed) {
    BlackHole hole;
    // Abandoned: Stop returns at once and nothing is handed over.
    {
        WaitingConnect waiting;
        ASSERT_NO_FATAL_FAILURE(waiting.Start(hole.Port()));
        ASSERT_TRUE(waiting.connect.Running())
            << "the connect did not block; the test proves nothing";
        waiting.connect.Stop();
        EXPECT_FALSE(waiting.connect.Running());
        EXPECT_EQ(waiting.results.Count(), 0u);
    }
    // Closed under it (the operator chose COM while connecting): the attempt fails at once.
    {
        WaitingConnect waiting;
        ASSERT_NO_FATAL_FAILURE(waiting.Start(hole.Port()));
        waiting.client.Close();
        ASSERT_TRUE(WaitUntil([&] { return !waiting.connect.Running(); }));
        ASSERT_EQ(waiting.results.Count(), 1u);
        EXPECT_NE(waiting.results.Items()[0], "0");
    }
}

TEST(ConnectThreadTest, ReportsRefusalOnceWithTheErrorCode) {
    CNetClient client;
    ASSERT_TRUE(client.Create());
    ConnectThread connect;
    TextSink results;
    connect.Start(LoopbackRequest(client, ClosedPort()), ResultsInto(results));
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
    connect.Start(LoopbackRequest(client, peer.Port()), ResultsInto(results), ui.Post());
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
    client.Send("3B5", kRoutePanel, kTermDot);  // never created
    TcpPeer peer;
    Connect(client, peer);
    client.Close();
    client.Send("3B5", kRoutePanel, kTermDot);
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
        client.Send("Status", kRoutePanel, kTermDot);
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_FALSE(boxes.Texts().empty());
}

TEST(NetClientTest, ASendToAPeerThatNeverReadsFailsInsteadOfBlocking) {
    MessageRecorder boxes;
    CNetClient client;
    TcpPeer peer;  // accepts and never reads
    Connect(client, peer);
    // Once the socket's buffers are full a send waits for room; it must give up and fail.
    auto sending = std::async(std::launch::async, [&] {
        const std::string block(64 * 1024, 'x');
        for (int i = 0; i < 4096 && boxes.Texts().empty(); ++i) {
            client.Send(block, kRouteTerminal, kTermDot);
        }
    });
    if (sending.wait_for(60s) != std::future_status::ready) {
        peer.Reset();  // lets the blocked send return so that the test can end
        sending.wait();
        FAIL() << "a send to a peer that never reads blocked";
    }
    ASSERT_FALSE(boxes.Texts().empty());
    EXPECT_EQ(boxes.Texts().front(), "Send failure!");
}

TEST_F(ReceiveThreadTest, HandsChunksOverCutAtTheFirstZeroByte) {
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

TEST_F(ReceiveThreadTest, PeerCloseEndsQuietlyAndClosesTheSocket) {
    ReceiveThread receiver;
    ASSERT_TRUE(receiver.Start(client, chunks.Receiver()));
    peer.Close();
    ASSERT_TRUE(WaitUntil([&] { return !receiver.Running(); }));
    EXPECT_EQ(chunks.Count(), 0u);
    EXPECT_FALSE(client.HasSocket());
    EXPECT_EQ(SocketUseCount(), socketsBefore);
}

TEST_F(ReceiveThreadTest, ReceiveErrorHandsOverTheFailureText) {
    ReceiveThread receiver;
    ASSERT_TRUE(receiver.Start(client, chunks.Receiver()));
    peer.Reset();
    ASSERT_TRUE(WaitUntil([&] { return !receiver.Running(); }));
    EXPECT_EQ(chunks.Items(), std::vector<std::string>{"Data receival failure!"});
    EXPECT_FALSE(client.HasSocket());
}

TEST_F(ReceiveThreadTest, ASendCutOffHalfWayClosesTheLinkAsLost) {
    MessageRecorder boxes;
    ReceiveThread receiver;
    ASSERT_TRUE(receiver.Start(client, chunks.Receiver()));
    // More than the buffers of both ends hold, to a peer that never reads: the time limit
    // cuts the send off with part of it in the stream.
    client.Send(std::string(16 << 20, 'x'), kRouteTerminal, kTermDot);
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Send failure!"});
    ASSERT_TRUE(WaitUntil([&] { return !receiver.Running(); }));
    EXPECT_EQ(chunks.Items(), std::vector<std::string>{"Data receival failure!"});
    EXPECT_FALSE(client.HasSocket());
    // Nothing is glued to the half command.
    client.Send("Undo", kRoutePanel, kTermDot);
    EXPECT_EQ(boxes.Texts().size(), 2u);
    EXPECT_EQ(peer.Read().find("Undo"), std::string::npos);
}

TEST_F(ReceiveThreadTest, RepliesFollowTheRouteOfTheLastSend) {
    TextSink terminal, panel;
    const ReplyReceivers receivers{terminal.Receiver(), panel.Receiver()};
    ReceiveThread receiver;
    receiver.Start(
        client, [&](std::string_view text) { RouteReply(client.ReplyRoute(), text, receivers); });

    peer.Send("before any command\r\n");
    ASSERT_TRUE(WaitUntil([&] { return terminal.Count() == 1; }));
    client.Send("Status", kRoutePanel, kTermDot);
    EXPECT_EQ(peer.Read(200ms, 7), "Status.");
    peer.Send("AV:1->1\r\n");
    ASSERT_TRUE(WaitUntil([&] { return panel.Count() == 1; }));
    client.Send("/*Type", kRouteTerminal, kTermSemicolon);
    EXPECT_EQ(peer.Read(200ms, 7), "/*Type;");
    peer.Send("Type\r\n");
    ASSERT_TRUE(WaitUntil([&] { return terminal.Count() == 2; }));
    EXPECT_EQ(panel.Items(), std::vector<std::string>{"AV:1->1\r\n"});
    receiver.Stop();
}

TEST_F(ReceiveThreadTest, StopWithAHandOffInFlightNeitherHangsNorDelivers) {
    FakeUiQueue ui;
    ReceiveThread receiver;
    receiver.Start(client, chunks.Receiver(), ui.Post());
    peer.Send("AV:2->3\r\n");
    ASSERT_TRUE(WaitUntil([&] { return ui.Pending() == 1; }));
    receiver.Stop();  // called on the "UI thread", which has not run the hand-off
    client.Close();
    ui.RunAll();
    EXPECT_EQ(chunks.Count(), 0u);
}

TEST_F(ReceiveThreadTest, AnOldLoopNeverClosesANewerSocket) {
    FakeUiQueue ui;
    ReceiveThread receiver;
    receiver.Start(client, chunks.Receiver(), ui.Post());
    peer.Send("A:1->1\r\n");
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
    client.Send("Undo", kRoutePanel, kTermDot);
    EXPECT_EQ(second.Read(200ms, 5), "Undo.");
    EXPECT_TRUE(boxes.Texts().empty());
}
