#include "hub/web/CWebGuard.h"

#include <unistd.h>

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <memory>

#include "hub/CEventLog.h"
#include "hub/net/ClientAccess.h"
#include "hub/web/HttpStatus.h"
#include "hub/web/RequestMeter.h"

namespace {

const char kUpgraded[] = "matrixdUpgraded";

QByteArray Refusal(int status) {
    return "HTTP/1.1 " + QByteArray::number(status) + " " + HttpReason(status) +
           "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
}

// Answers with `status` and closes; what the client still sends is thrown away.
void Refuse(QTcpSocket* socket, int status) {
    socket->readAll();
    QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    socket->write(Refusal(status));
    socket->disconnectFromHost();
}

}  // namespace

CWebGuard::CWebGuard(const CClientAccess& access, CEventLog& log, QObject* parent)
    : QTcpServer(parent),
      m_log(log),
      m_acceptor(
          "web", access, log, [this](int fd, const QHostAddress& peer) { Accepted(fd, peer); },
          this, this) {
    // The server takes every connection at once; none waits here.
    setMaxPendingConnections(kMaxConnections);
}

bool CWebGuard::Listen(const QHostAddress& address, quint16 port, QString* error) {
    return m_acceptor.Listen(address, port, error);
}

void CWebGuard::Accepted(int fd, const QHostAddress&) {
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(fd)) {
        ::close(fd);
        delete socket;
        return;
    }
    if (m_nConnections >= kMaxConnections) {
        m_log.Log("web: refused a connection: " + std::to_string(kMaxConnections) +
                  " are open already");
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        Refuse(socket, 503);
        return;
    }
    ++m_nConnections;
    connect(socket, &QObject::destroyed, this, [this] { --m_nConnections; });
    // Qt's server does not delete the sockets it served; an upgraded one is its WebSocket's.
    connect(socket, &QTcpSocket::disconnected, this, [socket] {
        if (!socket->property(kUpgraded).toBool()) {
            socket->deleteLater();
        }
    });

    auto meter = std::make_shared<CRequestMeter>();
    auto* idle = new QTimer(socket);
    idle->setSingleShot(true);
    idle->setInterval(kIdleMs);
    connect(idle, &QTimer::timeout, socket, [socket] { socket->abort(); });
    idle->start();
    connect(socket, &QTcpSocket::bytesWritten, idle, qOverload<>(&QTimer::start));
    // The meter sees each byte once: connected before the server's reading, it takes what
    // arrived since the server last read (the server leaves an unfinished request's bytes
    // in the socket, to read them again with the rest).
    auto seen = std::make_shared<qint64>(0);
    connect(socket, &QTcpSocket::readyRead, socket, [this, socket, meter, idle, seen] {
        const qint64 available = socket->bytesAvailable();
        const QByteArray fresh = socket->peek(available).mid(std::min(*seen, available));
        *seen = available;
        switch (const auto verdict = meter->Feed({fresh.constData(), size_t(fresh.size())})) {
            case CRequestMeter::Verdict::Pass:
                idle->start();
                return;
            case CRequestMeter::Verdict::Upgraded:
                // The WebSocket keeps its own limits from here on.
                socket->setProperty(kUpgraded, true);
                delete idle;
                disconnect(socket, &QTcpSocket::readyRead, socket, nullptr);
                return;
            default:
                m_log.Log("web: refused a request from " +
                          AddressText(socket->peerAddress()).toStdString() + " (status " +
                          std::to_string(static_cast<int>(verdict)) + ")");
                Refuse(socket, static_cast<int>(verdict));
                return;
        }
    });
    addPendingConnection(socket);
    emit newConnection();
    // After the server's reading (connected as it took the socket): what it left unread.
    connect(socket, &QTcpSocket::readyRead, socket,
            [socket, seen] { *seen = socket->bytesAvailable(); });
}

void CWebGuard::UpgradeRefused(QTcpSocket* socket) {
    socket->setProperty(kUpgraded, false);
}

QTcpSocket* CWebGuard::nextPendingConnection() {
    QTcpSocket* socket = QTcpServer::nextPendingConnection();
    pauseAccepting();
    return socket;
}
