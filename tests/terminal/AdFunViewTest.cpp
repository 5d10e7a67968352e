#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <termios.h>

#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "controls/CGradientButton.h"
#include "controls/CIconButton.h"
#include "controls/CTextLabel.h"
#include "link/CNetClient.h"
#include "link/CSendPath.h"
#include "link/CSerialPort.h"
#include "platform/MessageBox.h"
#include "platform/qt/ControlId.h"
#include "platform/qt/WindowTimers.h"
#include "support/LinkTestSupport.h"
#include "support/PixelCheck.h"
#include "terminal/CAdFunView.h"

using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

const std::string kBaudOk = "更改波特率成功\r\n";
const std::string kBaudFailed = "更改波特率失败!\r\n";

// The view with the application's two links, a send path that reads the test's link mode and
// the panel's reply operations recorded. Ports are linked in before the view is made.
class AdFunViewTest : public ::testing::Test {
  protected:
    AdFunViewTest() : m_path(m_net, m_serial, [this] { return m_mode; }) {
        m_serial.SetUiPost([](std::function<void()> task) {
            QMetaObject::invokeMethod(qApp, std::move(task), Qt::QueuedConnection);
        });
        m_previousHook =
            SetMessageBoxHook([this](const void*, const std::string& text, const std::string&) {
                m_boxes.push_back(text);
                if (m_boxOpen) {
                    m_boxOpen();
                }
            });
    }
    ~AdFunViewTest() override {
        m_serial.Close();
        m_view.reset();
        SetMessageBoxHook(m_previousHook);
    }

    PtyPort& Port(int com) {
        auto& port = m_ports[com];
        if (!port) {
            port = std::make_unique<PtyPort>(m_sysDir.Path(), com);
        }
        return *port;
    }

    CAdFunView& View() {
        if (!m_view) {
            CAdFunView::Context context{m_serial,
                                        m_net,
                                        m_path,
                                        [this] { return m_mode; },
                                        [this] { ++m_clears; },
                                        [this](std::string_view text) { m_fed.emplace_back(text); },
                                        [this] { ++m_receiverStops; }};
            m_view =
                std::make_unique<CAdFunView>(std::move(context), QRect(0, 0, 720, 210), nullptr, 9);
            m_serial.SetReceivers(
                {[this](std::string_view text) { m_view->AppendReceived(text); }, {}});
        }
        return *m_view;
    }

    template <class T>
    T& Control(int id) {
        T* control = FindControlAs<T>(&View(), id);
        EXPECT_NE(control, nullptr) << id;
        return *control;
    }
    QLineEdit& SendField() { return Control<QLineEdit>(CAdFunView::kIdSendText); }
    QLineEdit& IntervalField() { return Control<QLineEdit>(CAdFunView::kIdInterval); }
    QComboBox& List(int id) { return Control<QComboBox>(id); }

    // Picks an entry of a list as the operator does.
    void Pick(int listId, int index) {
        QComboBox& list = List(listId);
        list.setCurrentIndex(index);
        emit list.activated(index);
    }

    void ConnectNetwork(TcpPeer& peer) {
        ASSERT_TRUE(m_net.Create());
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(peer.Port());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(m_net.Connect(m_net.SocketToken(), address), 0);
        ASSERT_TRUE(peer.Accept());
        m_mode = LinkMode::Network;
    }

    ScopedSysDir m_sysDir;
    std::map<int, std::unique_ptr<PtyPort>> m_ports;
    CSerialPort m_serial;
    CNetClient m_net;
    LinkMode m_mode = LinkMode::Serial;
    CSendPath m_path;
    int m_clears = 0;
    int m_receiverStops = 0;
    std::vector<std::string> m_fed;
    std::vector<std::string> m_boxes;
    std::function<void()> m_boxOpen;  // runs while a recorded box is "open"
    MessageBoxHook m_previousHook;
    std::unique_ptr<CAdFunView> m_view;
};

TEST_F(AdFunViewTest, IsBuiltWithEveryControlAndListAndOpensTheFirstFreePort) {
    Port(2);
    Port(3).HoldExclusively();  // another program has it
    Port(4);
    CAdFunView& view = View();

    const std::pair<int, QRect> placed[] = {
        {257, {10, 10, 100, 20}},   {258, {10, 50, 100, 20}},    {259, {10, 90, 100, 20}},
        {260, {10, 130, 100, 20}},  {261, {10, 170, 100, 20}},   {262, {610, 20, 80, 20}},
        {769, {250, 10, 60, 30}},   {770, {315, 10, 60, 30}},    {771, {400, 10, 140, 30}},
        {772, {630, 80, 80, 30}},   {773, {630, 150, 80, 30}},   {1025, {545, 15, 60, 20}},
        {1026, {250, 50, 450, 25}}, {1027, {250, 90, 350, 110}},
    };
    for (const auto& [id, rect] : placed) {
        const QWidget* control = FindControl(&view, id);
        ASSERT_NE(control, nullptr) << id;
        EXPECT_EQ(control->geometry(), rect) << id;
    }
    EXPECT_EQ(Control<CTextLabel>(262).Caption(), "millseconds");
    EXPECT_EQ(Control<CIconButton>(771).Caption(), "Continuous Send");
    EXPECT_TRUE(Control<CIconButton>(769).IsSelected());
    EXPECT_FALSE(Control<CIconButton>(770).IsSelected());
    EXPECT_FALSE(Control<CIconButton>(771).IsSelected());
    EXPECT_TRUE(view.Log()->isReadOnly());

    struct ListCase {
        int id;
        int x, y;
        QStringList entries;
        int selected;
    };
    const ListCase lists[] = {
        {513, 120, 10, {"Com2", "Com4"}, 0},
        {514,
         120,
         50,
         {"110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200", "38400", "56000",
          "57600", "115200", "128000", "256000"},
         5},
        {515, 120, 90, {"1", "1.5", "2"}, 0},
        {516, 120, 130, {"NONE", "EVEN", "MARK", "ODD", "SPACE"}, 0},
        {517, 120, 170, {"4", "5", "6", "7", "8"}, 4},
    };
    for (const ListCase& l : lists) {
        QComboBox& list = List(l.id);
        QStringList entries;
        for (int i = 0; i < list.count(); ++i) {
            entries << list.itemText(i);
        }
        EXPECT_EQ(entries, l.entries) << l.id;
        EXPECT_EQ(list.currentIndex(), l.selected) << l.id;
        EXPECT_EQ(list.pos(), QPoint(l.x, l.y)) << l.id;
    }

    // COM2 is open: what is sent arrives there.
    ASSERT_EQ(m_serial.State(), CSerialPort::PortState::Open);
    SendField().setText("x");
    view.OnSend();
    EXPECT_EQ(Port(2).Read(), "x");
    EXPECT_EQ(Port(4).Read(50ms), "");

    EXPECT_COLOUR_NEAR(Grab(view).pixelColor(5, 205), QColor(20, 133, 127));
}

TEST_F(AdFunViewTest, NoFreePortLeavesTheListEmptyAndOpensNothing) {
    Port(1).HoldExclusively();
    View();
    EXPECT_EQ(List(CAdFunView::kIdPortList).count(), 0);
    EXPECT_NE(m_serial.State(), CSerialPort::PortState::Open);
    // Going back to serial with nothing listed does not reach for COM1 by a blank name.
    EXPECT_TRUE(View().SwitchToSerial());
    EXPECT_NE(m_serial.State(), CSerialPort::PortState::Open);
}

TEST_F(AdFunViewTest, SendsExactlyTheTextOrTheBytesItsHexDigitsName) {
    PtyPort& device = Port(1);
    CAdFunView& view = View();
    struct Case {
        bool hex;
        std::string typed;
        std::string wire;
    };
    const Case cases[] = {
        {true, "48656c6c6f", "Hello"}, {true, "48656C6C6F", "Hello"},
        {true, "48 65 6c", "Hel"},     {true, "414", "A"},
        {true, "41004200", "A\0B\0"s}, {false, "3B5.", "3B5."},
        {false, "a b\tc", "a b\tc"},   {false, "更", "更"},
    };
    int clears = 0;
    for (const Case& c : cases) {
        c.hex ? view.OnHex() : view.OnAscii();
        SendField().setText(QString::fromStdString(c.typed));
        view.OnSend();
        EXPECT_EQ(device.Read(), c.wire) << c.typed;
        EXPECT_EQ(m_clears, ++clears);
    }
    EXPECT_EQ(m_serial.ReplyRoute(), kRouteTerminal);
}

TEST_F(AdFunViewTest, AsciiAndHexConvertTheSendFieldBothWaysWithoutLoss) {
    PtyPort& device = Port(1);
    CAdFunView& view = View();
    SendField().setText("AB");
    view.OnAscii();  // already Ascii: nothing changes
    EXPECT_EQ(SendField().text(), "AB");
    view.OnHex();
    EXPECT_EQ(SendField().text(), "4142");
    EXPECT_TRUE(view.IsHexMode());
    view.OnHex();  // already Hex
    EXPECT_EQ(SendField().text(), "4142");
    view.OnAscii();
    EXPECT_EQ(SendField().text(), "AB");

    // Bytes that are not text (a line feed, e9, a zero) survive the trip through Ascii mode
    // and go out as they are.
    view.OnHex();
    SendField().setText("0a e9 00 41");
    view.OnAscii();
    view.OnSend();
    EXPECT_EQ(device.Read(), "\n\xe9\0A"s);
    view.OnHex();
    EXPECT_EQ(SendField().text(), "0ae90041");
}

TEST_F(AdFunViewTest, TheButtonsWorkWhenClickedOnAShownView) {
    PtyPort& device = Port(1);
    CAdFunView& view = View();
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    SendField().setText("4869");
    QTest::mouseClick(&Control<CIconButton>(CAdFunView::kIdHex), Qt::LeftButton);
    EXPECT_EQ(SendField().text(), "34383639");
    SendField().setText("4869");
    QTest::mouseClick(&Control<CGradientButton>(CAdFunView::kIdSend), Qt::LeftButton);
    EXPECT_EQ(device.Read(), "Hi");
    view.AppendReceived("reply");
    QTest::mouseClick(&Control<CGradientButton>(CAdFunView::kIdClear), Qt::LeftButton);
    EXPECT_EQ(view.LogText(), "");
}

TEST_F(AdFunViewTest, ContinuousSendRefusesAnIntervalBelowOne) {
    CAdFunView& view = View();
    for (const char* interval : {"", "0", "-5", "abc", " 0x10"}) {
        view.AppendReceived("old");
        IntervalField().setText(interval);
        view.OnContinuousSend();
        EXPECT_EQ(view.LogText(), "Error! The time should be more than 1 mill-seconds.")
            << interval;
        EXPECT_FALSE(view.IsSending()) << interval;
        EXPECT_FALSE(view.Timers().IsActive(CAdFunView::kRepeatTimerId)) << interval;
        EXPECT_TRUE(IntervalField().isEnabled()) << interval;
    }
    IntervalField().setText(" 1ms");
    view.OnContinuousSend();
    EXPECT_TRUE(view.IsSending());
    EXPECT_EQ(view.Timers().Interval(CAdFunView::kRepeatTimerId), 1);
    view.OnContinuousSend();
    EXPECT_FALSE(view.IsSending());
}

TEST_F(AdFunViewTest, ContinuousSendRepeatsTheTextFixedAtTheStartUntilClickedAgain) {
    PtyPort& device = Port(1);
    CAdFunView& view = View();
    view.OnHex();
    SendField().setText("70 69 6e 67");
    IntervalField().setText("500");
    view.OnContinuousSend();
    EXPECT_TRUE(view.IsSending());
    EXPECT_FALSE(IntervalField().isEnabled());
    EXPECT_EQ(view.RepeatText(), "ping");
    SendField().setText("41");  // changes nothing while sending runs

    // Nothing goes out before the first interval has passed.
    EXPECT_EQ(device.Read(50ms), "");
    QTest::qWait(1700);
    const std::string sent = device.Read(50ms);
    const std::size_t ticks = sent.size() / 4;
    EXPECT_EQ(sent, std::string(std::string("pingpingpingping"), 0, ticks * 4));
    EXPECT_GE(ticks, 1u);
    EXPECT_LE(ticks, 4u);  // never faster than one per 500 ms
    EXPECT_EQ(m_clears, static_cast<int>(ticks));

    view.OnContinuousSend();
    EXPECT_FALSE(view.IsSending());
    EXPECT_TRUE(IntervalField().isEnabled());
    EXPECT_EQ(IntervalField().text(), "500");
    QTest::qWait(700);
    EXPECT_EQ(device.Read(50ms), "");
}

TEST_F(AdFunViewTest, DroppingThePortListDownStopsSendingAndClosesThePort) {
    PtyPort& first = Port(1);
    PtyPort& second = Port(2);
    CAdFunView& view = View();
    QComboBox& ports = List(CAdFunView::kIdPortList);
    SendField().setText("z");
    IntervalField().setText("20");
    view.OnContinuousSend();
    ASSERT_TRUE(view.IsSending());

    ports.showPopup();
    ports.hidePopup();
    EXPECT_FALSE(view.IsSending());
    EXPECT_FALSE(view.Timers().IsActive(CAdFunView::kRepeatTimerId));
    EXPECT_TRUE(IntervalField().isEnabled());
    EXPECT_EQ(m_serial.State(), CSerialPort::PortState::Closed);
    EXPECT_EQ(ports.count(), 2);  // COM1 is free again and listed
    EXPECT_EQ(ports.currentIndex(), -1);
    first.Read(50ms);
    view.OnSend();
    EXPECT_EQ(first.Read(50ms), "");

    Pick(CAdFunView::kIdPortList, 1);
    view.OnSend();
    EXPECT_EQ(second.Read(), "z");
    // Picking a port opens it at 9600.
    struct termios tio {};
    ASSERT_EQ(::tcgetattr(second.SlaveFd(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), B9600);
}

TEST_F(AdFunViewTest, BaudAndLineListsSetTheSerialPort) {
    PtyPort& device = Port(1);
    CAdFunView& view = View();
    Pick(CAdFunView::kIdBaudList, 9);  // 38400
    EXPECT_EQ(view.LogText(), kBaudOk);
    struct termios tio {};
    ASSERT_EQ(::tcgetattr(device.SlaveFd(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), B38400);

    Pick(CAdFunView::kIdStopBitsList, 2);
    Pick(CAdFunView::kIdParityList, 1);
    Pick(CAdFunView::kIdDataBitsList, 3);
    EXPECT_EQ(view.LogText(), kBaudOk);  // no text for these
    const SerialLine line = m_serial.StoredLine();
    EXPECT_EQ(line.stopBits, CSerialPort::StopBitsAt(2));
    EXPECT_EQ(line.parity, CSerialPort::ParityAt(1));
    EXPECT_EQ(line.dataBits, 7);

    ASSERT_TRUE(view.ReleaseSerialPort());
    EXPECT_EQ(m_serial.State(), CSerialPort::PortState::Closed);
    Pick(CAdFunView::kIdBaudList, 6);
    EXPECT_EQ(view.LogText(), kBaudOk + kBaudFailed);
}

TEST_F(AdFunViewTest, BaudAndLineListsSendTheModuleItsCommands) {
    TcpPeer peer;
    CAdFunView& view = View();
    ConnectNetwork(peer);
    struct Case {
        int index;
        std::string command;  // empty: the module has no such rate
    };
    const Case rates[] = {{5, "AT + C1_BAUD = 4800"},
                          {6, "AT + C1_BAUD = 9600"},
                          {8, "AT + C1_BAUD = 19200"},
                          {9, "AT + C1_BAUD = 38400"},
                          {11, "AT + C1_BAUD = 57600"},
                          {0, ""},
                          {7, ""},
                          {14, ""}};
    for (const Case& c : rates) {
        view.OnClear();
        Pick(CAdFunView::kIdBaudList, c.index);
        EXPECT_EQ(peer.Read(c.command.empty() ? 50ms : 150ms), c.command) << c.index;
        EXPECT_EQ(view.LogText(), c.command.empty() ? kBaudFailed : kBaudOk) << c.index;
    }
    view.OnClear();
    Pick(CAdFunView::kIdParityList, 1);
    EXPECT_EQ(peer.Read(), "AT + C1_PARITY = 2");
    Pick(CAdFunView::kIdStopBitsList, 2);
    EXPECT_EQ(peer.Read(), "AT + C1_STOPB = 2");
    Pick(CAdFunView::kIdDataBitsList, 4);
    EXPECT_EQ(peer.Read(), "AT + C1_DATAB = 8");
    EXPECT_EQ(view.LogText(), "");
    EXPECT_TRUE(m_boxes.empty());

    // The module's connection is gone: the log says the change failed, after the box.
    m_net.Close();
    Pick(CAdFunView::kIdBaudList, 6);
    EXPECT_EQ(view.LogText(), kBaudFailed);
    EXPECT_EQ(m_boxes, std::vector<std::string>{"Send failure!"});
}

TEST_F(AdFunViewTest, NetworkSendsAndAFailingContinuousSendShowsOneBoxAtATime) {
    TcpPeer peer;
    CAdFunView& view = View();
    ConnectNetwork(peer);
    SendField().setText("raw");
    view.OnSend();
    EXPECT_EQ(peer.Read(), "raw");  // route 1 with no terminator
    EXPECT_EQ(m_net.ReplyRoute(), kRouteTerminal);

    peer.Reset();
    QTest::qWait(100);
    int depth = 0;
    int deepest = 0;
    std::size_t shownUnderBox = 0;
    m_boxOpen = [&] {
        ++depth;
        deepest = std::max(deepest, depth);
        // A modal box runs its own loop; sends that fail under it show nothing more.
        const std::size_t before = m_boxes.size();
        view.OnSend();
        QEventLoop loop;
        QTimer::singleShot(300, &loop, &QEventLoop::quit);
        loop.exec();
        view.OnSend();
        shownUnderBox = std::max(shownUnderBox, m_boxes.size() - before);
        --depth;
    };
    IntervalField().setText("1");
    view.OnContinuousSend();
    EXPECT_TRUE(QTest::qWaitFor([&] { return m_boxes.size() >= 2 && depth == 0; }, 20000));
    view.OnContinuousSend();
    m_boxOpen = nullptr;
    EXPECT_EQ(m_boxes.front(), "Send failure!");
    EXPECT_EQ(shownUnderBox, 0u);
    EXPECT_EQ(deepest, 1);
}

TEST_F(AdFunViewTest, ReceivedTextIsFedToThePanelAndAppendedExactly) {
    PtyPort& device = Port(1);
    CAdFunView& view = View();
    view.AppendReceived("abc");
    view.AppendReceived("def");
    EXPECT_EQ(view.LogText(), "abcdef");
    EXPECT_EQ(m_fed, (std::vector<std::string>{"abc", "def"}));

    // Line ends stay as they came, also a CR LF split between two arrivals, and a character
    // split between two arrivals shows whole.
    view.ReplaceLogText("status");
    const std::string parts[] = {"\r\nV:1->2\r", "\nbare\nlf", "\xe6\x9b", "\xb4"};
    for (const std::string& part : parts) {
        view.AppendReceived(part);
    }
    EXPECT_EQ(view.LogText(), "status\r\nV:1->2\r\nbare\nlf更");
    EXPECT_EQ(view.Log()->toPlainText(), "status\nV:1->2\nbare\nlf更");

    // From the wire, through the driver's reader and hand-off.
    view.OnClear();
    device.Write("All Through.\r\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return view.LogText().size() >= 14; }, 20000));
    EXPECT_EQ(view.LogText(), "All Through.\r\n");
    EXPECT_EQ(m_fed.back(), "All Through.\r\n");
}

TEST_F(AdFunViewTest, TheLogKeepsOnlyTheNewestMebibyteInWholeLinesAndShowsItsEnd) {
    CAdFunView& view = View();
    std::string all;
    const std::string filler(200, 'x');
    for (int i = 0; i < 12000; ++i) {
        const std::string line = "line " + std::to_string(i) + " " + filler + "\r\n";
        view.AppendReceived(line);
        all += line;
    }
    const std::string kept = view.LogText();
    EXPECT_LE(kept.size(), CAdFunView::kLogLimit);
    EXPECT_GT(kept.size(), CAdFunView::kLogLimit / 2);
    ASSERT_EQ(all.compare(all.size() - kept.size(), kept.size(), kept), 0);
    EXPECT_EQ(kept.rfind("line ", 0), 0u);  // starts with a whole line
    QString shown = QString::fromStdString(kept);
    shown.replace("\r\n", "\n");
    EXPECT_EQ(view.Log()->toPlainText(), shown);
    const QScrollBar* bar = view.Log()->verticalScrollBar();
    EXPECT_EQ(bar->value(), bar->maximum());

    // One endless line is cut too, keeping its end.
    view.OnClear();
    for (int i = 0; i < 3000; ++i) {
        view.AppendReceived(std::string(1000, static_cast<char>('a' + i % 26)));
    }
    EXPECT_LE(view.LogText().size(), CAdFunView::kLogLimit);
    EXPECT_EQ(view.LogText().back(), static_cast<char>('a' + 2999 % 26));
    // Shown folded, so that each append lays out a short line only.
    EXPECT_EQ(view.Log()->toPlainText().remove('\n').toStdString(), view.LogText());
    EXPECT_LE(view.Log()->document()->lastBlock().length(), 1025);
}

TEST_F(AdFunViewTest, SwitchingToSerialStopsTheNetworkAndReopensThePickedPort) {
    PtyPort& first = Port(1);
    Port(2);
    TcpPeer peer;
    CAdFunView& view = View();
    Pick(CAdFunView::kIdPortList, 1);
    ASSERT_TRUE(view.ReleaseSerialPort());
    EXPECT_EQ(m_serial.State(), CSerialPort::PortState::Closed);
    ConnectNetwork(peer);

    // The list was dropped down meanwhile: no selection, so the first entry is opened.
    List(CAdFunView::kIdPortList).setCurrentIndex(-1);
    EXPECT_TRUE(view.SwitchToSerial());
    m_mode = LinkMode::Serial;
    EXPECT_EQ(m_receiverStops, 1);
    EXPECT_FALSE(m_net.HasSocket());
    EXPECT_EQ(List(CAdFunView::kIdPortList).currentIndex(), 0);
    SendField().setText("back");
    view.OnSend();
    EXPECT_EQ(first.Read(), "back");
}

TEST_F(AdFunViewTest, TheMainWindowsWritesAndDirectEditsKeepTheLogConsistent) {
    CAdFunView& view = View();
    view.ReplaceLogText("connecting .");
    view.ReplaceLogText("connecting ..");
    view.AppendLogText("\r\nok");
    EXPECT_EQ(view.LogText(), "connecting ..\r\nok");
    view.Log()->setPlainText("typed in");
    EXPECT_EQ(view.LogText(), "typed in");
    view.AppendReceived("!");
    EXPECT_EQ(view.LogText(), "typed in!");
    EXPECT_EQ(view.Log()->toPlainText(), "typed in!");
}

}  // namespace

TEST_F(AdFunViewTest, TheWidgetGetsTheLogWhileTheViewIsSeen) {
    CAdFunView& view = View();
    // The widget as it stands: looked at by id, which does not bring it up to date.
    const auto& widget = Control<QPlainTextEdit>(CAdFunView::kIdLog);
    view.AppendReceived("AV:1->2\r");
    view.AppendReceived("\nV:3->4\r\n\xe6\x9b");
    view.AppendReceived("\xb4");
    EXPECT_EQ(widget.toPlainText(), "") << "hidden, a reply costs no layout";
    EXPECT_EQ(view.LogText(), "AV:1->2\r\nV:3->4\r\n更");

    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    EXPECT_EQ(widget.toPlainText(), "AV:1->2\nV:3->4\n更");
    // While seen, arrivals follow in batches.
    view.AppendReceived("\r\nA:5->6\r");
    view.AppendReceived("\n");
    EXPECT_TRUE(QTest::qWaitFor([&] {
        return widget.toPlainText() == "AV:1->2\nV:3->4\n更\nA:5->6\n";
    })) << widget.toPlainText().toStdString();
    EXPECT_EQ(widget.verticalScrollBar()->value(), widget.verticalScrollBar()->maximum());
    // A status text replaces the content at once.
    view.ReplaceLogText("connect success!\r\n");
    EXPECT_EQ(widget.toPlainText(), "connect success!\n");

    // Hidden again, then shown: what came meanwhile is there, byte for byte behind it.
    view.hide();
    view.AppendReceived("All Through.\r\n");
    EXPECT_EQ(widget.toPlainText(), "connect success!\n");
    view.show();
    EXPECT_EQ(widget.toPlainText(), "connect success!\nAll Through.\n");
    EXPECT_EQ(view.LogText(), "connect success!\r\nAll Through.\r\n");
}
