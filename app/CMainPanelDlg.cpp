#include "app/CMainPanelDlg.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QShortcut>
#include <QShowEvent>

#include <cstdio>

#include "access/CLoginDlg.h"
#include "app/CAboutDlg.h"
#include "app/CPanelApp.h"
#include "app/CTerminalWindow.h"
#include "app/CToolView.h"
#include "app/MainWindowLayout.h"
#include "controls/CGradientButton.h"
#include "controls/CTextLabel.h"
#include "controls/ControlIcons.h"
#include "link/CNetSetDlg.h"
#include "link/ReplyReceivers.h"
#include "link/Terminator.h"
#include "panel/CStFunView.h"
#include "panel/PanelLabels.h"
#include "panel/PanelLayout.h"
#include "platform/MessageBox.h"
#include "platform/SystemDir.h"
#include "platform/qt/ControlId.h"
#include "platform/qt/DialogColours.h"
#include "platform/qt/UiPost.h"
#include "platform/qt/WindowTimers.h"
#include "terminal/CAdFunView.h"

namespace {

using MainWindowLayout::kClientWidth;
using MainWindowLayout::kStripHeight;
using MainWindowLayout::kTitleCaption;

constexpr const char* kTitle = "Vantrel Matrix";
constexpr const char* kAboutItem = "关于 Tarnel(&A)...";
constexpr int kViewHeight = 300;

// One text per tick, cycling: a dot more each second, five at most.
constexpr std::array<const char*, 5> kConnectingTexts = {
    "connecting .",       "connecting . .",       "connecting . . .",
    "connecting . . . .", "connecting . . . . .",
};

struct QueryButton {
    const char* caption;
    int id;
    int x;
};
constexpr std::array<QueryButton, 4> kQueryButtons = {{
    {"TYPE", CMainPanelDlg::kIdType, 20},
    {"VERSION", CMainPanelDlg::kIdVersion, 110},
    {"STATUS", CMainPanelDlg::kIdStatus, 200},
    {"TCP/IP", CMainPanelDlg::kIdTcpIp, 290},
}};

}  // namespace

CMainPanelDlg::CMainPanelDlg(CPanelApp& app, QWidget* parent)
    : QDialog(parent),
      m_app(app),
      m_sendPath(app.Net(), app.Serial(), [this] { return m_nLinkMode; }) {
    setWindowTitle(kTitle);
    setWindowIcon(QIcon(LoadIcon(kIconApplication)));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    m_pTimers = new WindowTimers(this, [this](int id) { OnTimer(id); });
}

CMainPanelDlg::~CMainPanelDlg() {
    // Nothing of a worker may reach this window once it is gone: the connect step and the
    // receive loop are stopped (each wakes its blocked call and is joined; neither waits for
    // this thread), and the serial reader is stopped with its port.
    m_connect.Stop();
    StopReceiveThread();
    if (m_pTerminal != nullptr) {
        m_app.Serial().Close();
        m_app.Serial().SetReceivers({});
    }
    // The views hold the send path and reach back into this window: they go now, before the
    // members they use (as children they would go only after all of them).
    delete m_pPanel;
    m_pPanel = nullptr;
    if (m_pTerminalWindow != nullptr) {
        delete m_pTerminalWindow;  // with the terminal in it
    } else {
        delete m_pTerminal;
    }
    m_pTerminalWindow = nullptr;
    m_pTerminal = nullptr;
}

int CMainPanelDlg::Run() {
    if (!Initialise()) {
        return 0;
    }
    return exec();
}

bool CMainPanelDlg::Initialise() {
    CLoginDlg login(m_session.m_strModelType, m_session.m_nInputs, m_session.m_nOutputs, this);
    if (login.exec() != QDialog::Accepted) {
        return false;
    }
    BuildWindow();
    return true;
}

void CMainPanelDlg::BuildWindow() {
    ApplyBackground(this, kWindowBackground);
    const int width = kClientWidth;
    BuildMenus();

    // The serial port's hidden window: its hand-offs are run on the UI thread through it.
    m_pSerialWindow = new QWidget(this);
    m_pSerialWindow->setWindowTitle("COM");
    m_pSerialWindow->setGeometry(0, 0, 0, 0);
    m_pSerialWindow->hide();
    SetControlId(m_pSerialWindow, kIdSerialWindow);
    CSerialPort& serial = m_app.Serial();
    m_app.Net().SetOwner(this);
    serial.SetOwner(this);
    serial.SetUiPost(MakeUiPost(m_pSerialWindow));

    for (std::size_t k = 0; k < kQueryButtons.size(); ++k) {
        const QueryButton& b = kQueryButtons[k];
        m_queryButtons[k] = new CGradientButton(b.caption, QRect(b.x, 0, 70, 30), this, b.id);
        connect(m_queryButtons[k], &CGradientButton::clicked, this,
                [this, id = b.id] { OnCommand(id); });
    }

    const QString model =
        QString("Model Name: QR-KS-N%1%2M").arg(m_session.m_nInputs).arg(m_session.m_nOutputs);
    m_pModelLabel =
        new CTextLabel(model, Qt::AlignLeft, QRect(380, 10, 250, 20), this, kIdModelLabel);

    m_pBottomStrip = new CToolView("", QRect(0, 0, width, kStripHeight), this, kIdBottomStrip);
    m_pTitleStrip =
        new CToolView(kTitleCaption, QRect(0, 0, width, kStripHeight), this, kIdTitleStrip);

    CAdFunView::Context terminal{
        serial,
        m_app.Net(),
        m_sendPath,
        [this] { return m_nLinkMode; },
        [this] {
            if (m_pPanel != nullptr) {
                m_pPanel->ClearReplyBuffer();
            }
        },
        [this](std::string_view text) {
            if (m_pPanel != nullptr) {
                m_pPanel->FeedReply(text);
            }
        },
        [this] { StopReceiveThread(); },
        m_app.Options().startRatePosition,
    };
    m_pTerminal = new CAdFunView(terminal, QRect(0, 0, width, kViewHeight), this, kIdTerminal);
    m_pTerminal->setEnabled(false);
    m_pTerminal->hide();
    if (m_app.Options().bShowTerminal) {
        BuildTerminalWindow();
    }

    CStFunView::Hooks hooks{
        [this](const std::string& text, ReplyRoute route, TerminatorFlag flag) {
            m_sendPath.SendToDevice(text, route, flag);
            EchoSent(text, route, flag);
        },
        [this](const std::string& text) { ReplaceReplyText(text); },
        [this](std::string_view text) { m_pTerminal->AppendLogText(text); },
    };
    m_pPanel = new CStFunView(m_session.m_nInputs, m_session.m_nOutputs,
                              QRect(0, 0, width, kViewHeight), this, kIdPanel, hooks);
    m_pPanel->setContextMenuPolicy(Qt::PreventContextMenu);
    LoadLabels();

    serial.SetReceivers(ReplyReceivers{
        [this](std::string_view text) { m_pTerminal->AppendReceived(text); },
        [this](std::string_view text) { m_pPanel->ShowReply(text); },
    });

    m_pTitleStrip->setGeometry(0, 40, width, kStripHeight);
    const int height = MainWindowLayout::PanelHeight(m_session.m_nInputs, m_session.m_nOutputs);
    m_pPanel->setGeometry(0, m_pTitleStrip->geometry().bottom() + 1, width, height);
    m_pBottomStrip->setGeometry(0, m_pPanel->geometry().bottom() + 1 + MainWindowLayout::kStripGap,
                                width, kStripHeight);
    // The window ends at the bottom strip's lower edge.
    setFixedSize(width, m_pBottomStrip->geometry().bottom() + 1);
    SyncIfWanted();
}

void CMainPanelDlg::BuildMenus() {
    m_menuLink = new QMenu(this);
    m_pNetItem = m_menuLink->addAction("NET");
    m_pComItem = m_menuLink->addAction("COM");
    for (QAction* item : {m_pNetItem, m_pComItem}) {
        item->setCheckable(true);
    }
    CheckLink(false);
    // Qt flips a checkable item's mark as it is chosen; the marks follow the link state
    // alone, so they are put back before the handler decides what changes.
    const auto choose = [this](QAction* item, int command) {
        connect(item, &QAction::triggered, this, [this, command] {
            CheckLink(m_bNetMarked);
            OnCommand(command);
        });
    };
    choose(m_pNetItem, kCmdNet);
    choose(m_pComItem, kCmdCom);

    // Qt cannot add to the window manager's menu, so the window offers its own.
    m_pSystemMenu = new QMenu(this);
    connect(m_pSystemMenu->addAction("Close"), &QAction::triggered, this,
            [this] { OnSysCommand(kSysClose); });
    m_pSystemMenu->addSeparator();
    auto* altSpace = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
    connect(altSpace, &QShortcut::activated, this,
            [this] { ShowSystemMenu(mapToGlobal(QPoint(0, 0))); });
    connect(m_pSystemMenu->addAction(QString::fromUtf8(kAboutItem)), &QAction::triggered, this,
            [this] { OnSysCommand(kSysAbout); });
}

void CMainPanelDlg::LoadLabels() {
    const std::optional<std::string>& named = m_app.Options().labelsPath;
    const std::string path = named.value_or(SystemDir() + "/" + kLabelsFileName);
    LabelsRead read = ReadPanelLabels(QString::fromStdString(path), named.has_value());
    for (const std::string& warning : read.warnings) {
        std::fprintf(stderr, "%s\n", warning.c_str());
    }
    m_pPanel->SetLabels(std::move(read.labels));
}

bool CMainPanelDlg::NetChecked() const {
    return m_pNetItem != nullptr && m_pNetItem->isChecked();
}

bool CMainPanelDlg::ComChecked() const {
    return m_pComItem != nullptr && m_pComItem->isChecked();
}

void CMainPanelDlg::CheckLink(bool net) {
    m_bNetMarked = net;
    m_pNetItem->setChecked(net);
    m_pComItem->setChecked(!net);
}

void CMainPanelDlg::ReplaceReplyText(const std::string& text) {
    if (m_pTerminal != nullptr) {
        m_pTerminal->ReplaceLogText(text);
    }
}

// ---- commands --------------------------------------------------------------------------

void CMainPanelDlg::OnCommand(int id) {
    switch (id) {
        case kIdType:
            SendQuery(TypeQuery());
            break;
        case kIdVersion:
            SendQuery(VersionQuery());
            break;
        case kIdStatus:
            SendQuery(StatusQuery(m_nLinkMode == LinkMode::Network));
            break;
        case kIdTcpIp:
            ShowLinkMenu();
            break;
        case kCmdNet:
            OnNet();
            break;
        case kCmdCom:
            OnCom();
            break;
        default:
            break;
    }
}

void CMainPanelDlg::SendQuery(const DeviceCommand& command) {
    // The queries leave the panel's partial reply line alone.
    m_sendPath.SendToDevice(command.text, command.route, command.flag);
    EchoSent(command.text, command.route, command.flag);
}

void CMainPanelDlg::ShowLinkMenu() {
    const QWidget* button = m_queryButtons[3];
    m_menuLink->popup(button->mapToGlobal(QPoint(0, button->height())));
}

void CMainPanelDlg::OnSysCommand(int id) {
    if ((id & 0xFFF0) == kSysAbout) {
        CAboutDlg about(this);
        about.exec();
    } else if (id == kSysClose) {
        close();
    }
}

void CMainPanelDlg::ShowSystemMenu(const QPoint& globalPos) {
    m_pSystemMenu->popup(globalPos);
}

// ---- link changes --------------------------------------------------------------------------

void CMainPanelDlg::OnNet() {
    if (m_nLinkMode == LinkMode::Network) {
        m_pTerminal->SwitchToSerial();
        m_nLinkMode = LinkMode::Serial;
        CheckLink(false);
        SyncIfWanted();
        return;
    }
    CNetSetDlg dlg(CNetSetDlg::Context{
                       m_app.Net(),
                       [this] { return m_pTerminal->ReleaseSerialPort(); },
                       [this](const ConnectRequest& request) { m_pendingConnect = request; },
                   },
                   this);
    m_pendingConnect.reset();
    if (dlg.exec() != QDialog::Accepted) {
        return;
    }
    if (!m_app.Net().HasSocket()) {
        ReplaceReplyText("connected failed!");
        return;
    }
    m_nConnectStep = 0;
    m_pTimers->Start(kConnectTimerId, kConnectTickMs);
    // Started only now, so that its result is always handled after this handler, with the
    // animation already running.
    if (m_pendingConnect) {
        const auto& a = m_pendingConnect->address;
        m_strNetAddress = std::to_string(a[0]) + "." + std::to_string(a[1]) + "." +
                          std::to_string(a[2]) + "." + std::to_string(a[3]) + ":" +
                          std::to_string(m_pendingConnect->port);
        m_connect.Start(
            *m_pendingConnect, [this](int result) { OnConnectResult(result); }, MakeUiPost(this));
        m_pendingConnect.reset();
    }
}

void CMainPanelDlg::OnCom() {
    // A connect still under way is abandoned, not left to fail once its socket is closed: its
    // result would put NET back and "connect unsuccess!" into the reply box while the serial
    // link is already in use.
    m_connect.Stop();
    m_pTimers->Stop(kConnectTimerId);
    m_nLinkMode = LinkMode::Serial;
    m_pTerminal->SwitchToSerial();
    CheckLink(false);
    SyncIfWanted();
}

void CMainPanelDlg::OnTimer(int id) {
    if (id != kConnectTimerId) {
        return;
    }
    ReplaceReplyText(kConnectingTexts[static_cast<std::size_t>(m_nConnectStep)]);
    m_nConnectStep = (m_nConnectStep + 1) % static_cast<int>(kConnectingTexts.size());
}

void CMainPanelDlg::OnConnectResult(int result) {
    m_pTimers->Stop(kConnectTimerId);
    CheckLink(true);
    if (result != 0) {
        // The serial port stays closed until COM is chosen, although the menu shows NET.
        ReplaceReplyText("connect unsuccess!\r\n");
        return;
    }
    m_nLinkMode = LinkMode::Network;
    ReplaceReplyText("connect success!\r\n");
    StartReceiveThread();
    SyncIfWanted();
}

void CMainPanelDlg::StartReceiveThread() {
    StopReceiveThread();
    auto thread = std::make_unique<ReceiveThread>();
    if (!thread->Start(
            m_app.Net(), [this](std::string_view text) { OnNetworkChunk(text); },
            MakeUiPost(this))) {
        ShowMessageBox(this, "m_hRecv == NULL");
        return;
    }
    m_hRecv = std::move(thread);
}

void CMainPanelDlg::StopReceiveThread() {
    if (m_hRecv) {
        m_hRecv->Stop();
        m_hRecv.reset();
    }
}

void CMainPanelDlg::OnNetworkChunk(std::string_view text) {
    if (text.empty()) {
        return;
    }
    // Routed by the last send on the network link, whoever made it.
    RouteReply(m_app.Net().ReplyRoute(), text,
               ReplyReceivers{
                   [this](std::string_view t) { m_pTerminal->AppendReceived(t); },
                   [this](std::string_view t) { m_pPanel->ShowReply(t); },
               });
}

// ---- keys and menus --------------------------------------------------------------------------

void CMainPanelDlg::keyPressEvent(QKeyEvent* event) {
    // Every control of the window leaves Enter and Escape to its parent, so they end up here
    // after their control has seen them. Enter runs the terminal's send; neither ever reaches
    // the dialog's default or cancel handling, so neither closes the window.
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (m_pTerminal != nullptr) {
                m_pTerminal->OnSend();
            }
            event->accept();
            return;
        case Qt::Key_Escape:
            event->accept();
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

void CMainPanelDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Placed once the main window has its place on the screen.
    if (m_pTerminalWindow != nullptr && !event->spontaneous() && !m_pTerminalWindow->isVisible()) {
        m_pTerminalWindow->ShowBesideOwner();
    }
}

// ---- the operator's console (--terminal) and --sync ------------------------------------------

void CMainPanelDlg::BuildTerminalWindow() {
    CTerminalWindow::Hooks hooks{
        [this] { return LinkStatusNow(); },
        [this] { return QRect(m_pPanel->mapToGlobal(QPoint(0, 0)), m_pPanel->size()); },
    };
    m_pTerminalWindow =
        new CTerminalWindow(m_pTerminal, this, std::move(hooks), m_app.Options().bSync);
    // Closing the console only hides it; the system menu (also the context menu) and Ctrl+T
    // bring it back.
    m_pSystemMenu->addSeparator();
    QAction* reopen = m_pSystemMenu->addAction("Serial Terminal");
    reopen->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    addAction(reopen);
    connect(reopen, &QAction::triggered, m_pTerminalWindow, &CTerminalWindow::ShowBesideOwner);
}

void CMainPanelDlg::EchoSent(std::string_view text, ReplyRoute route, TerminatorFlag flag) {
    if (m_pTerminalWindow == nullptr) {
        return;
    }
    std::string bytes(text);
    bytes += m_nLinkMode == LinkMode::Network ? NetTerminator(route, flag) : SerialTerminator(flag);
    m_pTerminalWindow->EchoSent(bytes);
}

void CMainPanelDlg::SyncIfWanted() {
    const bool wanted =
        m_app.Options().bSync || (m_pTerminalWindow != nullptr && m_pTerminalWindow->SyncWanted());
    const bool up = m_nLinkMode == LinkMode::Network
                        ? m_app.Net().HasSocket()
                        : m_app.Serial().State() == CSerialPort::PortState::Open;
    if (wanted && up) {
        // The STATUS button's query: the replies light the panel's routes on either link.
        SendQuery(StatusQuery(m_nLinkMode == LinkMode::Network));
    }
}

LinkStatus CMainPanelDlg::LinkStatusNow() const {
    LinkStatus status;
    const bool connecting = m_pTimers->IsActive(kConnectTimerId);
    if (m_nLinkMode == LinkMode::Network || connecting || m_bNetMarked) {
        status.network = true;
        status.address = m_strNetAddress;
        if (connecting) {
            status.state = LinkStatus::State::Connecting;
        } else if (m_nLinkMode != LinkMode::Network) {
            status.state = LinkStatus::State::Failed;
        } else {
            status.state = m_app.Net().HasSocket() && ReceiveThreadRunning()
                               ? LinkStatus::State::Connected
                               : LinkStatus::State::Lost;
        }
        return status;
    }
    CSerialPort& serial = m_app.Serial();
    status.comPort = m_pTerminal->PortNumber();
    status.line = serial.StoredLine();
    switch (serial.State()) {
        case CSerialPort::PortState::Open:
            status.state = LinkStatus::State::Open;
            break;
        case CSerialPort::PortState::FailedOpen:
            status.state = LinkStatus::State::Failed;
            break;
        case CSerialPort::PortState::Closed:
            status.state = status.comPort != 0 && !m_pTerminal->PortReleased()
                               ? LinkStatus::State::Lost
                               : LinkStatus::State::Closed;
            break;
    }
    return status;
}

void CMainPanelDlg::contextMenuEvent(QContextMenuEvent* event) {
    // The background and the header strips (which leave the event to their parent).
    ShowSystemMenu(event->globalPos());
}
