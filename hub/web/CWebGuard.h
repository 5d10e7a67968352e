#pragma once

#include <QHostAddress>
#include <QTcpServer>

#include "hub/net/CAcceptor.h"

class CClientAccess;
class CEventLog;

// What stands in front of the HTTP server, which keeps no limits of its own: it takes the
// connections (through the door's acceptor: --allow, bursts, descriptors kept in reserve) and
// hands them to the server through this QTcpServer, at most kMaxConnections at once; it reads
// along every request (before the server does) and answers one whose header or body is too
// large with its status, then closes it, before the server buffers more; and it closes a
// connection idle for kIdleMs. A connection upgraded to a WebSocket is the socket's own.
class CWebGuard : public QTcpServer {
    Q_OBJECT

  public:
    static constexpr int kMaxConnections = 256;
    static constexpr int kIdleMs = 60000;

    CWebGuard(const CClientAccess& access, CEventLog& log, QObject* parent);

    bool Listen(const QHostAddress& address, quint16 port, QString* error);
    quint16 Port() const { return m_acceptor.Port(); }
    int Connections() const { return m_nConnections; }

    // Qt's QTcpServer turns its own accepting back on whenever a connection is taken from
    // it; the acceptor does the accepting, so it stays off.
    QTcpSocket* nextPendingConnection() override;

    // An upgrade the door refused: the connection stays an HTTP one, deleted when it closes.
    static void UpgradeRefused(QTcpSocket* socket);

  private:
    void Accepted(int fd, const QHostAddress& peer);

    CEventLog& m_log;
    CAcceptor m_acceptor;
    int m_nConnections = 0;
};
