#include "tools/matrixd/CClientServer.h"

#include <QPointer>

#include "tools/matrixd/CEventLog.h"
#include "tools/matrixd/ClientAccess.h"

CClientServer::CClientServer(const char* kind, const CClientAccess& access, CEventLog& log,
                             QObject* parent)
    : QObject(parent), m_kind(kind), m_access(access), m_log(log) {
    connect(&m_server, &QTcpServer::newConnection, this, &CClientServer::Accept);
}

bool CClientServer::Listen(const QHostAddress& address, quint16 port, QString* error) {
    // Control surfaces reconnect together after a network outage: room for all of them at once.
    m_server.setListenBacklogSize(1024);
    if (!m_server.listen(address, port)) {
        *error = m_server.errorString();
        return false;
    }
    return true;
}

void CClientServer::Log(const std::string& line) {
    m_log.Log(std::string(m_kind) + ": " + line);
}

void CClientServer::Accept() {
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        const QString peer = AddressText(socket->peerAddress());
        if (!m_access.Allows(socket->peerAddress())) {
            Log("refused a client from " + peer.toStdString() + " (not in --allow)");
            socket->abort();
            socket->deleteLater();
            continue;
        }
        const ClientId id = ++m_nLastId;
        socket->setParent(this);
        socket->setReadBufferSize(kReadBuffer);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_clients[id] = Client{socket, peer, false};
        // Queued: a socket may end inside a send, and the front end must not be re-entered.
        connect(
            socket, &QTcpSocket::disconnected, this, [this, id] { Ended(id); },
            Qt::QueuedConnection);
        connect(socket, &QTcpSocket::readyRead, this, [this, id] {
            if (QTcpSocket* s = Socket(id)) {
                Readable(id, *s);
            }
        });
        Log("client from " + peer.toStdString() + " connected");
        Connected(id);
    }
}

QTcpSocket* CClientServer::Socket(ClientId client) const {
    const auto found = m_clients.find(client);
    return found == m_clients.end() || found->second.dropped ? nullptr : found->second.socket;
}

void CClientServer::Send(ClientId client, const char* data, qint64 size) {
    QTcpSocket* socket = Socket(client);
    if (socket == nullptr) {
        return;
    }
    socket->write(data, size);
    if (socket->bytesToWrite() > kMaxQueued) {
        Drop(client, "does not read: more than 1 MiB waited for it; cut off");
    }
}

void CClientServer::SendToAll(const QByteArray& bytes) {
    // A client cut off here leaves the map only later (queued), so the loop stays valid.
    for (auto& [id, client] : m_clients) {
        if (!client.dropped) {
            Send(id, bytes.constData(), bytes.size());
        }
    }
}

void CClientServer::Drop(ClientId client, const std::string& why) {
    Client& entry = m_clients.at(client);
    entry.dropped = true;
    Log("client from " + entry.peer.toStdString() + " " + why);
    QMetaObject::invokeMethod(
        this,
        [socket = QPointer<QTcpSocket>(entry.socket)] {
            if (socket) {
                socket->abort();  // its disconnected() ends it
            }
        },
        Qt::QueuedConnection);
}

void CClientServer::Ended(ClientId client) {
    const auto found = m_clients.find(client);
    if (found == m_clients.end()) {
        return;
    }
    QTcpSocket* socket = found->second.socket;
    if (!found->second.dropped) {
        Log("client from " + found->second.peer.toStdString() + " disconnected");
    }
    m_clients.erase(found);
    socket->deleteLater();
    Gone(client);
}
