#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <map>
#include <string>

#include "tools/matrixd/RouterState.h"

class CClientAccess;
class CEventLog;

// One listening port and its clients: access at accept, bounded reading, and back-pressure: a
// client with more than kMaxQueued bytes it has not taken is cut off, and the others go on.
// A client that says nothing costs a socket and nothing else. The front ends derive from it.
class CClientServer : public QObject {
    Q_OBJECT

  public:
    static constexpr qint64 kMaxQueued = 1024 * 1024;
    static constexpr qint64 kReadBuffer = 64 * 1024;

    CClientServer(const char* kind, const CClientAccess& access, CEventLog& log, QObject* parent);

    bool Listen(const QHostAddress& address, quint16 port, QString* error);
    quint16 Port() const { return m_server.serverPort(); }

    void Send(ClientId client, const char* data, qint64 size);
    void SendToAll(const QByteArray& bytes);

  protected:
    virtual void Connected(ClientId client) = 0;
    // Bytes are waiting in `socket`; read what should be read now.
    virtual void Readable(ClientId client, QTcpSocket& socket) = 0;
    virtual void Gone(ClientId client) = 0;

    // The client's socket while it is served, else null (gone or being cut off).
    QTcpSocket* Socket(ClientId client) const;
    void Log(const std::string& line);

  private:
    struct Client {
        QTcpSocket* socket = nullptr;
        QString peer;
        bool dropped = false;
    };

    void Accept();
    void Drop(ClientId client, const std::string& why);
    void Ended(ClientId client);

    const char* m_kind;
    const CClientAccess& m_access;
    CEventLog& m_log;
    QTcpServer m_server;
    std::map<ClientId, Client> m_clients;
    ClientId m_nLastId = kNoClient;
};
