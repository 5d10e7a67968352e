// The serial link on pseudo-terminals linked as <sysdir>/COMn; no real device is touched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "link/CSerialPort.h"
#include "platform/SerialSpeed2.h"
#include "support/LinkTestSupport.h"

using namespace std::chrono_literals;

namespace {

struct TtyLine {
    unsigned rate = 0;
    tcflag_t size = 0;
    bool parity = true;
    bool twoStop = true;
    bool flowControl = true;  // any of RTS/CTS, XON/XOFF sent or obeyed
};

TtyLine LineOf(int fd) {
    struct termios tio {};
    tcgetattr(fd, &tio);
    TtyLine line;
    GetSpeed2(fd, line.rate);
    line.size = tio.c_cflag & CSIZE;
    line.parity = (tio.c_cflag & PARENB) != 0;
    line.twoStop = (tio.c_cflag & CSTOPB) != 0;
    line.flowControl = (tio.c_cflag & CRTSCTS) != 0 || (tio.c_iflag & (IXON | IXOFF | IXANY)) != 0;
    return line;
}

class SerialLinkTest : public ::testing::Test {
  protected:
    ScopedSysDir m_sysDir;
    PtyPort m_com1{m_sysDir.Path(), 1};
    PtyPort m_com3{m_sysDir.Path(), 3};
    CSerialPort m_port;
    TextSink m_terminal, m_panel;

    void SetUp() override { m_port.SetReceivers({m_terminal.Receiver(), m_panel.Receiver()}); }
};

}  // namespace

TEST_F(SerialLinkTest, OpenSetsThreeHundredEightNoneOneWithoutFlowControl) {
    // Left behind by another program: flow control that would hold writes back for ever.
    struct termios tio {};
    ASSERT_EQ(tcgetattr(m_com3.SlaveFd(), &tio), 0);
    tio.c_cflag |= CRTSCTS;
    tio.c_iflag |= IXON | IXOFF | IXANY;
    ASSERT_EQ(tcsetattr(m_com3.SlaveFd(), TCSANOW, &tio), 0);
    ASSERT_TRUE(LineOf(m_com3.SlaveFd()).flowControl);

    ASSERT_TRUE(m_port.Open(3));
    const TtyLine line = LineOf(m_com3.SlaveFd());
    EXPECT_EQ(line.rate, 300u);
    EXPECT_EQ(line.size, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(line.parity);
    EXPECT_FALSE(line.twoStop);
    EXPECT_FALSE(line.flowControl);
}

TEST_F(SerialLinkTest, OpenByNameTakesExactNamesAndRunsAt9600) {
    ASSERT_TRUE(m_port.OpenByName("Com3"));
    EXPECT_EQ(LineOf(m_com3.SlaveFd()).rate, 9600u);
    EXPECT_FALSE(m_port.Probe(3));

    ASSERT_TRUE(m_port.OpenByName("COM3"));  // not a list entry: port 1
    EXPECT_FALSE(m_port.Probe(1));
    EXPECT_TRUE(m_port.Probe(3)) << "opening another port released the first";
    EXPECT_EQ(LineOf(m_com1.SlaveFd()).rate, 9600u);
}

TEST_F(SerialLinkTest, ProbeSeesPortsThisProgramHoldsAndMissingOnes) {
    EXPECT_TRUE(m_port.Probe(1));
    EXPECT_FALSE(m_port.Probe(2)) << "no COM2 link in the system directory";
    ASSERT_TRUE(m_port.Open(1));
    CSerialPort other;
    EXPECT_FALSE(other.Probe(1)) << "held open here, whoever runs the test (root included)";
    EXPECT_FALSE(other.Open(1));
    EXPECT_EQ(other.State(), CSerialPort::PortState::FailedOpen);
    EXPECT_FALSE(other.Close());
    EXPECT_TRUE(m_port.Close());
    EXPECT_TRUE(other.Probe(1));
}

TEST_F(SerialLinkTest, WithoutAPortCloseAndSettersFailButSettingsAreKept) {
    EXPECT_FALSE(m_port.Close());
    EXPECT_FALSE(m_port.SetBaud(14));
    EXPECT_EQ(m_port.StoredLine().rate, 256000u);
    EXPECT_FALSE(m_port.WriteBytes("x"));
    MessageRecorder boxes;
    EXPECT_FALSE(m_port.WriteCommand("x", kRoutePanel, kTermDot))
        << "a command that reached no port failed";
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Send failure!"});
}

TEST_F(SerialLinkTest, RatesOutsideTheClassicTableAndRejectedFormats) {
    ASSERT_TRUE(m_port.Open(1));
    struct Case {
        int position;
        unsigned rate;
    };
    for (const Case c : {Case{14, 256000}, Case{13, 128000}, Case{7, 14400}, Case{10, 56000},
                         Case{0, 110}, Case{20, 9600}, Case{6, 9600}}) {
        EXPECT_TRUE(m_port.SetBaud(c.position)) << c.position;
        EXPECT_EQ(LineOf(m_com1.SlaveFd()).rate, c.rate) << c.position;
    }
    EXPECT_FALSE(m_port.SetDataBits(0)) << "no 4-bit characters on a tty";
    EXPECT_TRUE(m_port.SetDataBits(4));
    EXPECT_FALSE(m_port.SetStopBits(1)) << "no 1.5 stop bits on a tty";
    const SerialLine stored = m_port.StoredLine();
    EXPECT_EQ(stored.rate, 9600u);
    EXPECT_EQ(stored.stopBits, 1);
}

TEST_F(SerialLinkTest, WritesPutExactBytesAndKeepTheRoute) {
    ASSERT_TRUE(m_port.Open(1));
    m_port.WriteCommand("Undo", kRoutePanel, kTermDot);
    EXPECT_EQ(m_com1.Read(300ms, 5), "Undo.");
    EXPECT_EQ(m_port.ReplyRoute(), 2);
    m_port.WriteRaw("abc");
    EXPECT_EQ(m_com1.Read(300ms, 3), "abc");
    EXPECT_EQ(m_port.ReplyRoute(), 1);
}

TEST_F(SerialLinkTest, ACutOffWriteNeverPurgesEarlierWrites) {
    ASSERT_TRUE(m_port.OpenByName("Com1"));
    // The device reads nothing, so the line fills and a write runs into its time-out (10 ms a
    // byte plus 100 ms); so do a few short ones after it. Every write that ended before its
    // time-out is complete, and stays so.
    std::string done;
    bool filled = false;
    for (int k = 0; k < 1000 && !filled; ++k) {
        std::string chunk(100, static_cast<char>('a' + k % 26));
        chunk.replace(0, 4, std::to_string(1000 + k));
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(m_port.WriteRaw(chunk));
        filled = std::chrono::steady_clock::now() - start >= 1100ms;
        if (!filled) {
            done += chunk;
        }
    }
    ASSERT_TRUE(filled) << "the line never filled";
    for (int k = 0; k < 3; ++k) {
        EXPECT_TRUE(m_port.WriteCommand("1B2.3B4.5B6.7B8", kRoutePanel, kTermDot));
    }
    EXPECT_EQ(m_com1.Read().substr(0, done.size()), done) << "earlier writes were purged";
    EXPECT_EQ(m_port.State(), CSerialPort::PortState::Open);
}

TEST_F(SerialLinkTest, ASlowLineGivesACommandTheTimeItsBytesTake) {
    // At 300 bit/s a byte is 33 ms on the wire. A pseudo-terminal has no wire, so the device
    // plays a line still busy with earlier bytes: it takes nothing for 1.5 s (45 bytes' time),
    // then all. A send of 100 bytes is owed 100 x 67 ms + 100 ms and must go out whole; at
    // 10 ms a byte it was cut after 1.1 s.
    ASSERT_TRUE(m_port.Open(1));
    ASSERT_EQ(m_port.StoredLine().rate, 300u);
    const int slave = m_com1.SlaveFd();
    const int flags = fcntl(slave, F_GETFL);
    ASSERT_EQ(fcntl(slave, F_SETFL, flags | O_NONBLOCK), 0);
    std::size_t queued = 0;
    for (const std::size_t size : {256, 1}) {
        const std::string block(size, '-');
        for (ssize_t n; (n = ::write(slave, block.data(), block.size())) > 0;) {
            queued += static_cast<std::size_t>(n);
        }
    }
    ASSERT_EQ(fcntl(slave, F_SETFL, flags), 0);
    std::string command;
    for (int k = 0; command.size() < 100; ++k) {
        command += std::to_string(k % 8 + 1) + "B" + std::to_string(k % 8 + 1) + ".";
    }
    command.resize(100);
    std::string arrived;
    std::thread device([&] {
        std::this_thread::sleep_for(1500ms);
        arrived = m_com1.Read(5s, queued + command.size());
    });
    MessageRecorder boxes;
    const bool sent = m_port.WriteRaw(command);
    device.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{});
    ASSERT_EQ(arrived.size(), queued + command.size());
    EXPECT_EQ(arrived.substr(queued), command);
}

TEST_F(SerialLinkTest, APurgeBetweenPollAndReadLeavesThePortOpen) {
    // A line-setting change purges the input; when that falls between the reader's poll and
    // its read, the read finds nothing, which is no reason to close the port.
    FakeUiQueue ui;
    m_port.SetUiPost(ui.Post());
    ASSERT_TRUE(m_port.OpenByName("Com1"));
    std::atomic<bool> stop{false}, done{false};
    std::thread device([&] {
        while (!stop.load()) {
            m_com1.Write("A");  // byte by byte: a poll and a read each
        }
        done.store(true);
    });
    // The race is narrow: a few seconds of changes catch it nearly every time.
    const auto end = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < end &&
           m_port.State() == CSerialPort::PortState::Open) {
        m_port.SetBaud(6);
        ui.RunAll();
    }
    stop.store(true);
    while (!done.load()) {  // a device blocked on a full line is let go
        ui.RunAll();
        tcflush(m_com1.SlaveFd(), TCIFLUSH);
        std::this_thread::sleep_for(1ms);
    }
    device.join();
    EXPECT_EQ(m_port.State(), CSerialPort::PortState::Open);
    m_port.Close();  // before the queue the reader posts to is gone
}

TEST_F(SerialLinkTest, ReaderRoutesRepliesByTheLastWrite) {
    ASSERT_TRUE(m_port.Open(1));
    m_port.WriteCommand("3V5", kRoutePanel, kTermDot);
    m_com1.Read(200ms, 4);
    m_com1.Write("V:3->5\r\n");
    ASSERT_TRUE(WaitUntil([&] { return m_panel.Joined() == "V:3->5\r\n"; }));
    m_port.WriteRaw("ping");
    m_com1.Read(200ms, 4);
    m_com1.Write("pong\r\n");
    ASSERT_TRUE(WaitUntil([&] { return m_terminal.Joined() == "pong\r\n"; }));
    EXPECT_EQ(m_panel.Count(), 1u);
}

TEST_F(SerialLinkTest, ReaderHandsOverWholeChunksCutAtAZeroByte) {
    ASSERT_TRUE(m_port.OpenByName("Com1"));
    const std::string full(CSerialPort::kChunk, 'y');
    m_com1.Write(full);
    ASSERT_TRUE(WaitUntil([&] { return m_terminal.Count() == 1; }));
    EXPECT_EQ(m_terminal.Items()[0].size(), full.size());
    m_com1.Write(std::string("A:1->2\r\n\0rest", 13));
    ASSERT_TRUE(WaitUntil([&] { return m_terminal.Count() == 2; }));
    EXPECT_EQ(m_terminal.Items()[1], "A:1->2\r\n");
}

TEST_F(SerialLinkTest, CloseWithAHandOffInFlightNeitherHangsNorDelivers) {
    FakeUiQueue ui;
    m_port.SetUiPost(ui.Post());
    ASSERT_TRUE(m_port.Open(1));
    m_com1.Write("AV:1->1\r\n");
    ASSERT_TRUE(WaitUntil([&] { return ui.Pending() == 1; }));
    EXPECT_TRUE(m_port.Close());
    ui.RunAll();
    EXPECT_EQ(m_terminal.Count(), 0u);
    EXPECT_TRUE(m_port.Probe(1));
}

TEST_F(SerialLinkTest, ChunksEndAtALineFeedAtAFullChunkOrWhenTheLineGoesQuiet) {
    ASSERT_TRUE(m_port.Open(1));
    // Without a line end the bytes still come, once the line has gone quiet.
    m_com1.Write("AV:1");
    ASSERT_TRUE(WaitUntil([&] { return m_terminal.Count() == 1; }));
    EXPECT_EQ(m_terminal.Items()[0], "AV:1");
    m_com1.Write("->2\r\n");
    ASSERT_TRUE(WaitUntil([&] { return m_terminal.Count() == 2; }));
    EXPECT_EQ(m_terminal.Items()[1], "->2\r\n");

    // More than a chunk at once: whole chunks first, then the rest.
    const std::string burst = std::string(2 * CSerialPort::kChunk, 'z') + std::string(952, 'w');
    m_com1.Write(burst);
    ASSERT_TRUE(WaitUntil([&] { return m_terminal.Joined().size() == 9 + burst.size(); }));
    const std::vector<std::string> items = m_terminal.Items();
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items[2].size(), CSerialPort::kChunk);
    EXPECT_EQ(items[3].size(), CSerialPort::kChunk);
    EXPECT_EQ(items[4].size(), 952u);
    EXPECT_EQ(m_terminal.Joined(), "AV:1->2\r\n" + burst) << "every byte, in order";
}

TEST_F(SerialLinkTest, AnUnpluggedLineIsClosedAndLaterCommandsFailAloud) {
    // The port is closed on the UI thread, played here by the test's own.
    FakeUiQueue ui;
    m_port.SetUiPost(ui.Post());
    // Unplugged while the reader waits for bytes, and while a line is half in.
    for (const bool midLine : {false, true}) {
        SCOPED_TRACE(midLine);
        auto device = std::make_unique<PtyPort>(m_sysDir.Path(), 2);
        ASSERT_TRUE(m_port.Open(2));
        if (midLine) {
            device->Write("AV:1-");
            std::this_thread::sleep_for(10ms);  // most likely read, and waiting for its end
        }
        device.reset();
        ASSERT_TRUE(WaitUntil([&] {
            ui.RunAll();
            return m_port.State() != CSerialPort::PortState::Open;
        }));
        // What the reader had is handed over; the kernel drops what it had not read yet.
        const std::string got = m_terminal.Joined();
        EXPECT_TRUE(got.empty() || got == "AV:1-") << got;
        MessageRecorder boxes;
        EXPECT_FALSE(m_port.WriteCommand("1B1", kRoutePanel, kTermDot));
        EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Send failure!"});
    }
}
