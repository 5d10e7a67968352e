#pragma once

// Runs the whole program in the test's process: the application object, the real login
// dialog (typed into while it runs modally) and the main window, against real links.
#include <QApplication>
#include <QTimer>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/CMainPanelDlg.h"
#include "app/CPanelApp.h"
#include "support/LinkTestSupport.h"
#include "support/SimProcess.h"

// Calls `act` with the modal dialog of type T as soon as it runs (within a generous while).
template <typename T>
void WhenModal(std::function<void(T*)> act, int triesLeft = 2000) {
    QTimer::singleShot(5, [act = std::move(act), triesLeft] {
        if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
            act(dialog);
        } else if (triesLeft > 0) {
            WhenModal<T>(act, triesLeft - 1);
        }
    });
}

// Waits, processing events, until pred holds.
bool WaitFor(const std::function<bool()>& pred, int ms = 20000);

// Everything matrixsim logged as received from one peer ("pty", "tcp#1", ...), unescaped only
// for the CR LF the panel never sends.
std::string SimReceived(const std::string& logPath, const std::string& peer);

struct Program {
    ScopedSysDir sysDir;
    std::unique_ptr<CPanelApp> app;
    std::unique_ptr<CMainPanelDlg> window;

    // Logs in with the typed counts; false when the login was left or refused. `options` are
    // what the command line would have asked for.
    bool Start(const std::string& inputs, const std::string& outputs, PanelOptions options = {});
    // Presses "Exit" in the login dialog.
    bool StartAndExit();
    void Stop();
    ~Program() { Stop(); }

    CMainPanelDlg& Window() { return *window; }
    std::string ReplyBox() const;
    void Click(int id);     // a query button of the main window
    void ClickKey(int id);  // a key of the switching panel
    // A double-click on a panel key or a query button, through the window system as a mouse
    // makes it (press, release, press reported as a double-click, release).
    void DoubleClick(QWidget* button);
    // TCP/IP, then the item ("NET" or "COM") of the menu it opens. Returns once the item's
    // handler has (a dialog it opens runs modally inside).
    void ChooseLink(const QString& item);
    // NET, with the address fields and the port typed into the Set Net dialog and OK pressed.
    void ConnectThroughDialog(std::uint16_t port,
                              std::array<const char*, 4> fields = {"127", "0", "0", "1"});
};

// Where matrixsim logs what it receives: in the program's system directory.
std::string SimLog(const Program& program);
// matrixsim as a counts x counts switcher on the program's COM1 and a free TCP port, logging to
// SimLog(program).
std::unique_ptr<SimProcess> StartSim(const Program& program, const std::string& counts);
// StartSim, then the login with those counts; null when either failed.
std::unique_ptr<SimProcess> StartWithSim(Program& program, const std::string& counts);
