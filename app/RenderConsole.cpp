// render_console: draws the main window and the operator's console (--terminal) side by side
// into a PNG file, after a short session against a pseudo-terminal that plays the switcher on
// COM1. Runs headless, with settings and COM links in a temporary folder.
//
//   render_console FILE.png
#include <fcntl.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <string>

#include "access/CLoginDlg.h"
#include "app/CMainPanelDlg.h"
#include "app/CPanelApp.h"
#include "app/CTerminalWindow.h"
#include "controls/CGradientButton.h"
#include "panel/CStFunView.h"
#include "platform/qt/ControlId.h"
#include "terminal/CConsoleLog.h"

namespace {

constexpr int kGap = 8;

// Runs `step` once `ready` holds, looking every few milliseconds.
void When(std::function<bool()> ready, std::function<void()> step) {
    QTimer::singleShot(5, [ready = std::move(ready), step = std::move(step)]() mutable {
        if (ready()) {
            step();
        } else {
            When(std::move(ready), std::move(step));
        }
    });
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: render_console FILE.png\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen:size=1600x800");
    }
    QApplication qtApp(argc, argv);
    const QTemporaryDir dir;
    ::setenv("MATRIXPANEL_SYSDIR", dir.path().toLocal8Bit().constData(), 1);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());

    // The switcher: the master side of a pseudo-terminal linked as COM1.
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    const std::string com1 = dir.path().toStdString() + "/COM1";
    if (::symlink(::ttyname(slave), com1.c_str()) != 0) {
        std::perror("symlink");
        return 1;
    }
    const auto reply = [master](const std::string& text) {
        (void)!::write(master, text.data(), text.size());
    };

    PanelOptions options;
    options.bShowTerminal = true;
    options.startRatePosition = 6;  // 9600
    CPanelApp app(options);
    const std::string path = argv[1];
    bool saved = false;

    When([] { return qobject_cast<CLoginDlg*>(QApplication::activeModalWidget()) != nullptr; },
         [] {
             auto* login = qobject_cast<CLoginDlg*>(QApplication::activeModalWidget());
             FindControlAs<QLineEdit>(login, CLoginDlg::kIdInput)->setText("8");
             FindControlAs<QLineEdit>(login, CLoginDlg::kIdOutput)->setText("8");
             FindControlAs<QPushButton>(login, CLoginDlg::kIdEnter)->click();
         });
    When([] { return qobject_cast<CMainPanelDlg*>(QApplication::activeModalWidget()) != nullptr; },
         [&] {
             auto* w = qobject_cast<CMainPanelDlg*>(QApplication::activeModalWidget());
             CTerminalWindow* console = w->TerminalWindow();
             console->Tool("Time")->setChecked(true);
             console->Tool("Hex")->setChecked(true);
             // A session: the type query, a crosspoint, a lock refused, a status answer.
             FindControlAs<CGradientButton>(w, CMainPanelDlg::kIdType)->click();
             reply("HDMI MATRIX 8X8\r\n");
             w->Panel()->Key(w->Panel()->Model().GridKey(5, 3))->click();
             reply("AV:3->5\r\n");
             reply("System Locked!\r\n");
             reply("AV:1->1\r\nAV:2->2\r\nA:3->5\r\nV:4->5\r\n");
             QTimer::singleShot(600, [&, w, console] {
                 console->RefreshStatus();
                 console->ConsoleLog()->CatchUp();
                 const QPixmap main = w->grab();
                 const QPixmap side = console->grab();
                 QImage both(main.width() + kGap + side.width(),
                             std::max(main.height(), side.height()), QImage::Format_RGB32);
                 both.fill(Qt::white);
                 QPainter painter(&both);
                 painter.drawPixmap(0, 0, main);
                 painter.drawPixmap(main.width() + kGap, 0, side);
                 painter.end();
                 saved = both.save(QString::fromStdString(path));
                 w->close();
             });
         });
    app.Run();
    ::close(master);
    ::close(slave);
    if (!saved) {
        std::fprintf(stderr, "render_console: cannot write %s\n", path.c_str());
        return 1;
    }
    return 0;
}
