#pragma once

#include <QHostAddress>
#include <QTcpServer>
#include <map>
#include <set>

#include "hub/net/CAcceptor.h"
#include "hub/web/RequestMeter.h"

class CClientAccess;
class CEventLog;

// What stands in front of the HTTP server, which keeps no limits of its own: it takes the
// connections (through the door's acceptor: --allow, bursts, descriptors kept in reserve) and
// hands them to the server through this QTcpServer, at most kMaxConnections open at once and
// kMaxPerAddress of them from one address (an IPv6 /64); it reads along every request (before the
// server does) and answers one whose header or body is too large, or whose header is not complete
// kHeaderMs after it began, with its status, then closes it, before the server buffers more;
// it closes a connection idle for kIdleMs, and one that sends requests while more than
// kMaxUnread of its answers wait unread. What one connection holds unread is bounded
// (kMaxHeldPerConnection), so all of them together stay within kMaxHeldTotal.
//
// A connection the server turned into a WebSocket (Upgraded) is the WebSocket's: no more
// reading along nor timers; it keeps its place until its TCP connection ends.
class CWebGuard : public QTcpServer {
    Q_OBJECT

  public:
    static constexpr int kMaxConnections = 256;
    static constexpr int kMaxPerAddress = 32;
    static constexpr int kIdleMs = 60000;
    static constexpr int kHeaderMs = 10000;
    static constexpr int kClosingMs = 10000;  // for a closing WebSocket's last frames
    static constexpr qint64 kMaxUnread = 1024 * 1024;
    // The largest request, and the start of the next one behind it.
    static constexpr qint64 kMaxHeldPerConnection =
        2 * CRequestMeter::kMaxHeader + CRequestMeter::kMaxBody;
    static constexpr qint64 kMaxHeldTotal = 32 * 1024 * 1024;
    static_assert(kMaxConnections * kMaxHeldPerConnection <= kMaxHeldTotal);

    CWebGuard(const CClientAccess& access, CEventLog& log, QObject* parent);

    bool Listen(const QHostAddress& address, quint16 port, QString* error);
    quint16 Port() const { return m_acceptor.Port(); }
    int Connections() const { return m_nConnections; }

    // Qt's QTcpServer turns its own accepting back on whenever a connection is taken from
    // it; the acceptor does the accepting, so it stays off.
    QTcpSocket* nextPendingConnection() override;

    // The head of the next request the server hands on from `socket` (requests are handed on
    // in the order they came).
    CRequestMeter::Head TakeHead(QTcpSocket* socket);
    // The server is handing `socket` to its WebSocket.
    void Upgraded(QTcpSocket* socket);

  private:
    class CConnection;
    friend class CConnection;

    void Accepted(int fd, const QHostAddress& peer);
    int Refusal(const QString& share);
    void Released(const QString& share);

    CEventLog& m_log;
    CAcceptor m_acceptor;
    int m_nConnections = 0;
    std::map<QString, int> m_perAddress;  // by IPv4 address or IPv6 /64
    std::map<QTcpSocket*, CConnection*> m_connections;
    // Refusals are logged when they begin, not one line each.
    bool m_bFullLogged = false;
    std::set<QString> m_addressesLogged;
};
