#include "hub/net/CClientServer.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "hub/CEventLog.h"
#include "hub/net/ClientAccess.h"

CClientServer::CClientServer(const char* kind, const CClientAccess& access, CEventLog& log,
                             QObject* parent)
    : QObject(parent),
      m_kind(kind),
      m_log(log),
      m_acceptor(
          kind, access, log, [this](int fd, const QHostAddress& peer) { Accepted(fd, peer); },
          this) {}

bool CClientServer::Listen(const QHostAddress& address, quint16 port, QString* error) {
    return m_acceptor.Listen(address, port, error);
}

void CClientServer::Log(const std::string& line) {
    m_log.Log(std::string(m_kind) + ": " + line);
}

void CClientServer::Accepted(int fd, const QHostAddress& address) {
    const QString peer = AddressText(address);
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(fd)) {
        ::close(fd);
        delete socket;
        return;
    }
    const ClientId id = NewClientId();
    socket->setReadBufferSize(kReadBuffer);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_clients[id] = Client{socket, peer, false};
    // Queued: a socket may end inside a send, and the front end must not be re-entered.
    connect(
        socket, &QTcpSocket::disconnected, this, [this, id] { Ended(id); }, Qt::QueuedConnection);
    connect(socket, &QTcpSocket::readyRead, this, [this, id] {
        if (Socket(id) != nullptr) {
            Readable(id);
        }
    });
    Log("client from " + peer.toStdString() + " connected");
    Connected(id);
}

QTcpSocket* CClientServer::Socket(ClientId client) const {
    const auto found = m_clients.find(client);
    return found == m_clients.end() || found->second.dropped ? nullptr : found->second.socket;
}

std::size_t CClientServer::ReadFrom(ClientId client, char* buffer, std::size_t size) {
    QTcpSocket* socket = Socket(client);
    if (socket == nullptr || socket->bytesAvailable() <= 0) {
        return 0;
    }
    const qint64 n = socket->read(buffer, static_cast<qint64>(size));
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

void CClientServer::Send(ClientId client, const char* data, qint64 size) {
    QTcpSocket* socket = Socket(client);
    // A client whose connection has closed (its end is queued) takes nothing more.
    if (socket == nullptr || socket->state() != QAbstractSocket::ConnectedState) {
        return;
    }
    socket->write(data, size);
    if (socket->bytesToWrite() > kMaxUnread) {
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
