#pragma once

#include <QDialog>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/MainWindowLayout.h"
#include "app/SessionParams.h"
#include "link/CSendPath.h"
#include "link/ConnectThread.h"
#include "link/LinkTypes.h"
#include "link/ReceiveThread.h"
#include "panel/CommandSet.h"
#include "terminal/LinkStatus.h"

class CAdFunView;
class CGradientButton;
class CPanelApp;
class CStFunView;
class CTerminalWindow;
class CTextLabel;
class CToolView;
class QAction;
class QMenu;
class WindowTimers;

// The program's one top-level window: after the login it builds the query buttons, the link
// menu, the model label, the header strips, the hidden terminal view and the switching panel,
// and it owns the link mode every sender reads. It also runs the network side of the links:
// the connect step's result, the connecting animation and the receive thread.
class CMainPanelDlg : public QDialog {
    Q_OBJECT
  public:
    enum ControlIds : int {
        kIdModelLabel = 0,
        kIdTitleStrip = MainWindowLayout::kIdTitleStrip,
        kIdBottomStrip = MainWindowLayout::kIdBottomStrip,
        kIdPanel = MainWindowLayout::kIdPanel,
        kIdTerminal = 9,
        kIdSerialWindow = 4096,
        kIdType = 4097,
        kIdVersion = 4098,
        kIdStatus = 4099,
        kIdTcpIp = 4100,
    };
    enum CommandIds : int { kCmdNet = 24577, kCmdCom = 24578 };
    enum SysCommandIds : int { kSysAbout = 16, kSysClose = 0xF060 };
    static constexpr int kConnectTimerId = 6;
    static constexpr int kConnectTickMs = 1000;

    explicit CMainPanelDlg(CPanelApp& app, QWidget* parent = nullptr);
    ~CMainPanelDlg() override;

    // The login gate, then the window: false when the operator left the login (nothing has
    // been built or sent then).
    bool Initialise();
    // Initialise, then the modal run; 0 when the login was left.
    int Run();

    // Handlers, by the ids the window's controls and menus use.
    void OnCommand(int id);
    void OnSysCommand(int id);
    void OnTimer(int id);
    void OnConnectResult(int result);
    void OnNetworkChunk(std::string_view text);

    LinkMode LinkModeNow() const { return m_nLinkMode; }
    const SessionParams& Session() const { return m_session; }
    CStFunView* Panel() const { return m_pPanel; }
    CAdFunView* Terminal() const { return m_pTerminal; }
    CTerminalWindow* TerminalWindow() const { return m_pTerminalWindow; }
    CTextLabel* ModelLabel() const { return m_pModelLabel; }
    CToolView* TitleStrip() const { return m_pTitleStrip; }
    CToolView* BottomStrip() const { return m_pBottomStrip; }
    QMenu* LinkMenu() const { return m_menuLink; }
    QMenu* SystemMenu() const { return m_pSystemMenu; }
    bool NetChecked() const;
    bool ComChecked() const;
    bool ReceiveThreadRunning() const { return m_hRecv && m_hRecv->Running(); }
    const WindowTimers& Timers() const { return *m_pTimers; }

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void BuildWindow();
    void BuildMenus();
    void LoadLabels();
    void SendQuery(const DeviceCommand& command);
    void OnNet();
    void OnCom();
    void ShowLinkMenu();
    void ShowSystemMenu(const QPoint& globalPos);
    void CheckLink(bool net);
    void ReplaceReplyText(const std::string& text);
    void StartReceiveThread();
    void StopReceiveThread();
    // The operator's console (--terminal), the echo of what was sent, and --sync.
    void BuildTerminalWindow();
    void EchoSent(std::string_view text, ReplyRoute route, TerminatorFlag flag);
    void SyncIfWanted();
    LinkStatus LinkStatusNow() const;

    CPanelApp& m_app;
    std::array<CGradientButton*, 4> m_queryButtons{};
    std::unique_ptr<ReceiveThread> m_hRecv;  // the most recent receive thread, or none
    QMenu* m_menuLink = nullptr;
    QAction* m_pNetItem = nullptr;
    QAction* m_pComItem = nullptr;
    bool m_bNetMarked = false;  // which item the link state checks
    QMenu* m_pSystemMenu = nullptr;
    int m_nConnectStep = 0;
    SessionParams m_session;
    CTextLabel* m_pModelLabel = nullptr;
    CToolView* m_pBottomStrip = nullptr;
    CToolView* m_pTitleStrip = nullptr;
    CStFunView* m_pPanel = nullptr;
    CAdFunView* m_pTerminal = nullptr;
    CTerminalWindow* m_pTerminalWindow = nullptr;  // only when asked for on the command line
    QWidget* m_pSerialWindow = nullptr;            // the serial port's hand-offs arrive through it
    WindowTimers* m_pTimers = nullptr;
    LinkMode m_nLinkMode = LinkMode::Serial;
    CSendPath m_sendPath;
    ConnectThread m_connect;
    std::optional<ConnectRequest> m_pendingConnect;  // from the dialog's OK, started after it
    std::string m_strNetAddress;                     // of the last connect started, a.b.c.d:port
};
