#include "link/CNetSetDlg.h"

#include <sys/socket.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "controls/CIpAddressEdit.h"
#include "link/CNetClient.h"
#include "platform/LeadingInt.h"
#include "platform/qt/DialogColours.h"
#include "platform/qt/DialogUnits.h"

CNetSetDlg::CNetSetDlg(Context context, QWidget* parent)
    : QDialog(parent), m_context(std::move(context)) {
    setWindowTitle("Set Net");
    setFixedSize(SystemFontUnits(0, 0, 187, 94).size());
    ApplyDialogColours(this);

    constexpr int kNoId = -1;  // the two captions have no id of their own
    auto* ipLabel =
        AddControl<QLabel>(this, kNoId, SystemFontUnits(26, 19, 32, 8), QString::fromUtf8("IP："));
    ipLabel->setAlignment(Qt::AlignRight | Qt::AlignTop);
    m_pAddress = AddControl<CIpAddressEdit>(this, kIdAddress, SystemFontUnits(69, 16, 100, 11));
    auto* portLabel = AddControl<QLabel>(this, kNoId, SystemFontUnits(26, 38, 32, 8), "PORT:");
    portLabel->setAlignment(Qt::AlignRight | Qt::AlignTop);
    m_pPort = AddControl<QLineEdit>(this, kIdPort, SystemFontUnits(70, 38, 39, 12));

    auto* ok = AddControl<QPushButton>(this, kIdOk, SystemFontUnits(120, 66, 50, 14), "OK");
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &CNetSetDlg::OnOk);
    auto* cancel =
        AddControl<QPushButton>(this, kIdCancel, SystemFontUnits(60, 67, 50, 14), "Cancel");
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    m_pAddress->setFocus();
}

void CNetSetDlg::OnOk() {
    // The serial port goes first and stays closed whatever happens next.
    if (m_context.releaseSerialPort) {
        m_context.releaseSerialPort();
    }
    if (!m_context.net.Create(SOCK_STREAM)) {
        return;  // no socket was made: the dialog stays open
    }
    ConnectRequest request;
    request.address = m_pAddress->Address();
    // Any text may be typed; its leading number's low 16 bits are the port.
    request.port = static_cast<std::uint16_t>(LeadingInt(m_pPort->text().toStdString()));
    request.client = &m_context.net;
    request.socket = m_context.net.SocketToken();
    if (m_context.startConnect) {
        m_context.startConnect(request);
    }
    accept();
}
