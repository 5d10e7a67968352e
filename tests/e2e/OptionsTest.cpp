// The whole program with what the command line can ask for: the serial terminal in a window of
// its own, and the rate the port opens at.
#include <gtest/gtest.h>
#include <termios.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>
#include <sstream>

#include "ProgramDriver.h"
#include "app/CTerminalWindow.h"
#include "app/CommandLine.h"
#include "controls/CGradientButton.h"
#include "link/CSerialPort.h"
#include "panel/CStFunView.h"
#include "platform/qt/ControlId.h"
#include "support/ChildProcess.h"
#include "terminal/CAdFunView.h"
#include "terminal/CConsoleLog.h"

using namespace std::string_literals;

namespace {

speed_t SpeedOf(const PtyPort& port) {
    termios tio{};
    EXPECT_EQ(::tcgetattr(port.SlaveFd(), &tio), 0);
    return cfgetospeed(&tio);
}

// The console remembers its place and tools in the user's configuration: here a folder of
// the test's own, emptied for each run so that every run starts from the first placement.
void FreshConsoleSettings() {
    static const QTemporaryDir dir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    QSettings(QSettings::NativeFormat, QSettings::UserScope, "matrixpanel", "console").clear();
}

PanelOptions WithTerminal() {
    FreshConsoleSettings();
    PanelOptions options;
    options.bShowTerminal = true;
    return options;
}

std::string StatusLine(CTerminalWindow& console) {
    console.RefreshStatus();
    return console.StatusLine()->text().toStdString();
}

std::string ConsoleText(CTerminalWindow& console) {
    console.ConsoleLog()->CatchUp();
    return console.ConsoleLog()->ShownText().toStdString();
}

// What the terminal window shows in its reply box.
std::string ShownLog(CAdFunView& view) {
    return view.Log()->toPlainText().toStdString();
}

}  // namespace

TEST(Options, TheStartRateIsTheOneAskedForAndOtherwise300) {
    const std::pair<std::optional<int>, speed_t> cases[] = {
        {std::nullopt, B300}, {6, B9600}, {12, B115200}};
    for (const auto& [position, speed] : cases) {
        Program program;
        PtyPort device(program.sysDir.Path(), 1);
        PanelOptions options;
        options.startRatePosition = position;
        ASSERT_TRUE(program.Start("4", "4", options));
        ASSERT_EQ(program.app->Serial().State(), CSerialPort::PortState::Open);
        EXPECT_EQ(SpeedOf(device), speed) << position.value_or(-1);
        // The baud list shows the rate asked for; without one it keeps its own first choice.
        const auto* list =
            FindControlAs<QComboBox>(program.Window().Terminal(), CAdFunView::kIdBaudList);
        EXPECT_EQ(list->currentText().toStdString(),
                  position ? std::to_string(CSerialPort::RateAt(*position)) : "4800");
    }
}

TEST(Options, WithoutTheOptionTheTerminalStaysHidden) {
    Program program;
    ASSERT_TRUE(program.Start("4", "4"));
    EXPECT_EQ(program.Window().TerminalWindow(), nullptr);
    for (const QAction* item : program.Window().SystemMenu()->actions()) {
        EXPECT_NE(item->text(), "Serial Terminal");
    }
    EXPECT_FALSE(program.Window().Terminal()->isVisible());
    EXPECT_EQ(program.Window().Terminal()->parentWidget(), &program.Window());
}

TEST(Options, TheTerminalWindowShowsTheReplyBoxAndWorks) {
    Program program;
    PtyPort device(program.sysDir.Path(), 1);
    ASSERT_TRUE(program.Start("4", "4", WithTerminal()));
    CMainPanelDlg& w = program.Window();
    CAdFunView& view = *w.Terminal();
    CTerminalWindow* window = w.TerminalWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    // The main window's own view, in a window of its own, enabled, at its own size.
    EXPECT_EQ(view.window(), window);
    EXPECT_EQ(window->windowTitle(), "Serial Terminal");
    EXPECT_TRUE(view.isVisible());
    EXPECT_TRUE(view.isEnabled());
    // Its lists and buttons on top; the console's log and status line take the rest.
    EXPECT_EQ(view.geometry(), QRect(0, 0, 717, CTerminalWindow::kControlsHeight));
    EXPECT_FALSE(window->frameGeometry().intersects(
        QRect(w.Panel()->mapToGlobal(QPoint(0, 0)), w.Panel()->size())));

    // Its lists reach the port: a rate chosen with the keyboard is applied.
    auto* baud = FindControlAs<QComboBox>(&view, CAdFunView::kIdBaudList);
    baud->setFocus();
    QTest::keyClick(baud, Qt::Key_Down);  // 4800 -> 9600
    EXPECT_EQ(SpeedOf(device), B9600);
    EXPECT_NE(ShownLog(view).find("更改波特率成功"), std::string::npos) << ShownLog(view);

    // Enter in its send field sends, once.
    auto* field = FindControlAs<QLineEdit>(&view, CAdFunView::kIdSendText);
    field->setText("abc");
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_EQ(device.Read(), "abc");

    // Status texts and replies of the network link are on screen.
    TcpPeer peer;
    program.ConnectThroughDialog(peer.Port());
    ASSERT_TRUE(peer.Accept());
    ASSERT_TRUE(WaitFor([&] { return w.LinkModeNow() == LinkMode::Network; }));
    EXPECT_EQ(ShownLog(view), "connect success!\n");
    peer.Send("HDMI 4x4\r\n");
    EXPECT_TRUE(WaitFor([&] { return ShownLog(view) == "connect success!\nHDMI 4x4\n"; }))
        << ShownLog(view);

    // Closing it only hides it.
    window->close();
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(w.isVisible());
}

TEST(Options, NamesComeFromTheSettingsDirectoryOrTheFileNamed) {
    for (const bool named : {false, true}) {
        Program program;
        const std::string path =
            program.sysDir.Path() + (named ? "/studio.ini" : "/matrixpanel-labels.ini");
        std::ofstream(path) << "[inputs]\n2=Laptop HDMI\n[outputs]\n3=Projector\n";
        PanelOptions options;
        if (named) {
            options.labelsPath = path;
        }
        ASSERT_TRUE(program.Start("4", "4", options));
        const CSwitchModel& model = program.Window().Panel()->Model();
        EXPECT_EQ(program.Window().Panel()->Key(model.GridKey(3, 2))->toolTip(),
                  "Laptop HDMI \u2192 Projector")
            << named;
    }
}

// The console through a working session: COM, then NET, the network lost, COM again.
TEST(Options, TheConsoleKeepsEverythingAndItsStatusLineFollowsTheLink) {
    Program program;
    PtyPort device(program.sysDir.Path(), 1);
    PanelOptions options = WithTerminal();
    options.startRatePosition = 6;  // 9600
    ASSERT_TRUE(program.Start("4", "4", options));
    CMainPanelDlg& w = program.Window();
    CTerminalWindow& console = *w.TerminalWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&console));
    EXPECT_EQ(StatusLine(console), "COM1 9600 8N1 · open · 0 B received · 0 B sent");

    program.Click(CMainPanelDlg::kIdType);
    EXPECT_EQ(device.Read(), "/*Type;");
    device.Write("System Locked!\r\nAV:1\0->2\r\n"s);
    ASSERT_TRUE(WaitFor([&] { return console.History().ReceivedBytes() == 20; }));
    EXPECT_EQ(StatusLine(console), "COM1 9600 8N1 · open · 20 B received · 7 B sent · locked");
    // The hand-over cuts a reply at a zero byte; the hex view shows what came.
    console.Tool("Hex")->click();
    EXPECT_NE(ConsoleText(console).find("AV:1" + std::string(24, ' ') + "  41 56 3A 31"),
              std::string::npos)
        << ConsoleText(console);
    console.Tool("Hex")->click();

    TcpPeer peer;
    program.ConnectThroughDialog(peer.Port());
    ASSERT_TRUE(peer.Accept());
    ASSERT_TRUE(WaitFor([&] { return w.LinkModeNow() == LinkMode::Network; }));
    const std::string net = "NET 127.0.0.1:" + std::to_string(peer.Port());
    EXPECT_EQ(StatusLine(console).substr(0, net.size() + 13), net + " · connected");
    peer.Send("AV:3->4\r\n");
    ASSERT_TRUE(WaitFor([&] { return console.History().ReceivedBytes() == 29; }));
    // "connect success!" took its own line: the replies before it are still there.
    EXPECT_EQ(ConsoleText(console), "> /*Type;\nSystem Locked!\nAV:1\nconnect success!\nAV:3->4");
    EXPECT_NE(StatusLine(console).find("unlocked"), std::string::npos);
    peer.Close();
    EXPECT_TRUE(WaitFor([&] {
        return StatusLine(console).find(" · lost · ") != std::string::npos;
    })) << StatusLine(console);
    program.ChooseLink("COM");
    EXPECT_EQ(StatusLine(console).substr(0, 21), "COM1 9600 8N1 · open");

    // Save (Ctrl+S) writes the received bytes exactly.
    const std::string path = program.sysDir.Path() + "/received.bin";
    WhenModal<QFileDialog>([&](QFileDialog* dialog) {
        dialog->selectFile(QString::fromStdString(path));
        static_cast<QDialog*>(dialog)->accept();  // as OK does
    });
    console.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&console));
    QTest::keyClick(&console, Qt::Key_S, Qt::ControlModifier);
    std::ifstream saved(path, std::ios::binary);
    std::stringstream bytes;
    bytes << saved.rdbuf();
    EXPECT_EQ(bytes.str(), "System Locked!\r\nAV:1AV:3->4\r\n");

    // Find (Ctrl+F) marks every match and selects one.
    QTest::keyClick(&console, Qt::Key_F, Qt::ControlModifier);
    QTest::keyClicks(console.FindField(), "av:");
    EXPECT_EQ(console.ConsoleLog()->MatchCount(), 2);
    EXPECT_EQ(console.ConsoleLog()->CurrentMatch(), "AV:");

    // Closed, it comes back from the main window's menu and with Ctrl+T.
    console.close();
    ASSERT_FALSE(console.isVisible());
    QAction* item = nullptr;
    for (QAction* action : w.SystemMenu()->actions()) {
        item = action->text() == "Serial Terminal" ? action : item;
    }
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_T));
    item->trigger();
    EXPECT_TRUE(console.isVisible());
    console.close();
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    QTest::keyClick(&w, Qt::Key_T, Qt::ControlModifier);
    EXPECT_TRUE(console.isVisible());
}

TEST(Options, SyncAsksForTheStatusWheneverTheLinkComesUp) {
    Program program;
    PtyPort device(program.sysDir.Path(), 1);
    const PanelOptions options = ParseCommandLine({"matrixpanel", "--sync"}).options;
    ASSERT_TRUE(program.Start("4", "4", options));
    EXPECT_EQ(device.Read(), "Status.");
    TcpPeer peer;
    program.ConnectThroughDialog(peer.Port());
    ASSERT_TRUE(peer.Accept());
    ASSERT_TRUE(WaitFor([&] { return program.Window().LinkModeNow() == LinkMode::Network; }));
    EXPECT_EQ(peer.Read(), "Status.");
    program.ChooseLink("COM");
    EXPECT_EQ(device.Read(), "Status.");
}

// Run by the next test in a child process on an Xvfb screen of the size it names, for a panel
// of the size it puts in MATRIXPANEL_TEST_COUNT.
TEST(Options, DISABLED_TheConsoleOpensOnTheScreenOffThePanelAndRemembersItsPlace) {
    const char* given = std::getenv("MATRIXPANEL_TEST_COUNT");
    const std::string count = given != nullptr ? given : "16";
    QRect remembered;
    for (int run = 0; run < 2; ++run) {
        Program program;
        PanelOptions options = WithTerminal();
        if (run == 1) {
            QSettings(QSettings::NativeFormat, QSettings::UserScope, "matrixpanel", "console")
                .setValue("geometry", remembered);
        }
        ASSERT_TRUE(program.Start(count, count, options));
        CTerminalWindow& console = *program.Window().TerminalWindow();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&console));
        const QRect available = console.screen()->availableGeometry();
        EXPECT_TRUE(available.contains(console.frameGeometry()))
            << available.width() << "x" << available.height();
        // Every screen here has room for at least the console's least size off the main
        // window: it never covers any of it, its panel or its strips.
        const QRect owner = program.Window().frameGeometry();
        EXPECT_FALSE(console.frameGeometry().intersects(owner))
            << "console " << console.frameGeometry().y() << ".." << console.frameGeometry().bottom()
            << ", main window " << owner.y() << ".." << owner.bottom();
        if (run == 1) {
            EXPECT_EQ(console.geometry(), remembered);
            return;
        }
        // Resizable; the log takes the change.
        const int logHeight = console.ConsoleLog()->height();
        console.resize(console.width() - 10, console.height() - 40);
        ASSERT_TRUE(WaitFor([&] { return console.ConsoleLog()->height() == logHeight - 40; }));
        remembered = console.geometry();
        console.close();
    }
}

TEST(Options, TheConsoleOpensOnTheScreenOnSmallAndLargeScreens) {
    if (::access("/usr/bin/Xvfb", X_OK) != 0) {
        GTEST_SKIP() << "no Xvfb";
    }
    // An 8 x 8 panel leaves 380 px below the main window of a 1024 x 768 screen, less than the
    // console's usual height.
    const std::pair<const char*, const char*> cases[] = {
        {"1024x768x24", "16"}, {"1920x1080x24", "16"}, {"1024x768x24", "8"}};
    for (const auto& [screen, count] : cases) {
        // Xvfb tells its display number on the descriptor it is given.
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const std::string fd = std::to_string(ready[1]);
        ChildProcess xvfb(
            {"/usr/bin/Xvfb", "-displayfd", fd, "-screen", "0", screen, "-nolisten", "tcp"});
        ::close(ready[1]);
        char number[16] = {};
        ASSERT_GT(::read(ready[0], number, sizeof number - 1), 0);
        ::close(ready[0]);
        const std::string display = ":" + std::to_string(std::atoi(number));
        ::setenv("DISPLAY", display.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        // The X platform's own libraries leave allocations behind at exit; ours are checked
        // in every other test.
        ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        ::setenv("MATRIXPANEL_TEST_COUNT", count, 1);
        ChildProcess run({"/proc/self/exe", "--gtest_also_run_disabled_tests",
                          "--gtest_filter=Options.DISABLED_TheConsoleOpensOnTheScreen*"});
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::unsetenv("ASAN_OPTIONS");
        ::unsetenv("DISPLAY");
        ::unsetenv("MATRIXPANEL_TEST_COUNT");
        const ChildOutcome outcome = run.Finish();
        EXPECT_EQ(outcome.exitCode, 0) << screen << ", " << count << " x " << count << "\n"
                                       << outcome.out << outcome.err;
    }
}
