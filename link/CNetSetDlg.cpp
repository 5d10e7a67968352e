#include "link/CNetSetDlg.h"

#include <sys/socket.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "controls/CIpAddressEdit.h"
#include "link/CNetClient.h"
#include "platform/LeadingInt.h"
#include "platform/qt/ControlId.h"
#include "platform/qt/DialogColours.h"

namespace {
// The dialog's template is laid out in units of the "System" font: 2 px each way.
QRect Units(int x, int y, int w, int h) {
    return QRect(x * 2, y * 2, w * 2, h * 2);
}
}  // namespace

CNetSetDlg::CNetSetDlg(Context context, QWidget* parent)
    : QDialog(parent), m_context(std::move(context)) {
    setWindowTitle("Set Net");
    setFixedSize(Units(0, 0, 187, 94).size());
    ApplyDialogColours(this);

    auto* ipLabel = new QLabel(QString::fromUtf8("IP："), this);
    ipLabel->setAlignment(Qt::AlignRight | Qt::AlignTop);
    ipLabel->setGeometry(Units(26, 19, 32, 8));

    m_pAddress = new CIpAddressEdit(this);
    m_pAddress->setGeometry(Units(69, 16, 100, 11));
    SetControlId(m_pAddress, kIdAddress);

    auto* portLabel = new QLabel("PORT:", this);
    portLabel->setAlignment(Qt::AlignRight | Qt::AlignTop);
    portLabel->setGeometry(Units(26, 38, 32, 8));

    m_pPort = new QLineEdit(this);
    m_pPort->setGeometry(Units(70, 38, 39, 12));
    SetControlId(m_pPort, kIdPort);

    auto* ok = new QPushButton("OK", this);
    ok->setGeometry(Units(120, 66, 50, 14));
    ok->setDefault(true);
    SetControlId(ok, kIdOk);
    connect(ok, &QPushButton::clicked, this, &CNetSetDlg::OnOk);

    auto* cancel = new QPushButton("Cancel", this);
    cancel->setGeometry(Units(60, 67, 50, 14));
    SetControlId(cancel, kIdCancel);
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
