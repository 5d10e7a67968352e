// The whole program with what the command line can ask for: the serial terminal in a window of
// its own, and the rate the port opens at.
#include <gtest/gtest.h>
#include <termios.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>

#include <fstream>

#include "ProgramDriver.h"
#include "app/CTerminalWindow.h"
#include "controls/CGradientButton.h"
#include "link/CSerialPort.h"
#include "panel/CStFunView.h"
#include "platform/qt/ControlId.h"
#include "terminal/CAdFunView.h"

namespace {

speed_t SpeedOf(const PtyPort& port) {
    termios tio{};
    EXPECT_EQ(::tcgetattr(port.SlaveFd(), &tio), 0);
    return cfgetospeed(&tio);
}

PanelOptions WithTerminal() {
    PanelOptions options;
    options.bShowTerminal = true;
    return options;
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
    EXPECT_EQ(view.geometry(), QRect(0, 0, 717, 300));
    EXPECT_EQ(window->size(), QSize(717, 300));
    EXPECT_GE(window->x(), w.frameGeometry().right());

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
