#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <chrono>
#include <map>
#include <string>

#include "hub/core/HubState.h"
#include "hub/net/CAcceptor.h"

class CEventLog;

// One listening port and its clients: access at accept, bounded reading, and back-pressure: a
// client with more than kMaxUnread bytes it has not taken is cut off, and the others go on.
// A client that says nothing costs a socket and nothing else. The front ends derive from it.
class CClientServer : public QObject {
    Q_OBJECT

  public:
    static constexpr qint64 kMaxUnread = 1024 * 1024;
    static constexpr qint64 kReadBuffer = 64 * 1024;
    CClientServer(const char* kind, const CClientAccess& access, CEventLog& log, QObject* parent);

    bool Listen(const QHostAddress& address, quint16 port, QString* error);
    quint16 Port() const { return m_acceptor.Port(); }

    void Send(ClientId client, const char* data, qint64 size);
    void SendToAll(const QByteArray& bytes);

  protected:
    virtual void Connected(ClientId client) = 0;
    // Bytes from the client are waiting; read (ReadFrom) what should be read now.
    virtual void Readable(ClientId client) = 0;
    virtual void Gone(ClientId client) = 0;

    // The client's socket while it is served, else null (gone or being cut off).
    QTcpSocket* Socket(ClientId client) const;
    // What the client sent, up to `size` bytes; 0 when nothing waits or it is gone.
    std::size_t ReadFrom(ClientId client, char* buffer, std::size_t size);
    void Log(const std::string& line);
    // Cuts a client off, saying why in the log.
    void Drop(ClientId client, const std::string& why);

  private:
    struct Client {
        QTcpSocket* socket = nullptr;
        QString peer;
        bool dropped = false;
    };

    void Accepted(int fd, const QHostAddress& address);
    void Ended(ClientId client);

    const char* m_kind;
    CEventLog& m_log;
    CAcceptor m_acceptor;
    std::map<ClientId, Client> m_clients;
};
