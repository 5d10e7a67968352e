#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <chrono>
#include <map>
#include <string>

#include "tools/matrixd/RouterState.h"

class CClientAccess;
class CEventLog;
class QSocketNotifier;

// One listening port and its clients: access at accept, bounded reading, and back-pressure: a
// client with more than kMaxUnread bytes it has not taken is cut off, and the others go on.
// A client that says nothing costs a socket and nothing else. The front ends derive from it.
class CClientServer : public QObject {
    Q_OBJECT

  public:
    static constexpr qint64 kMaxUnread = 1024 * 1024;
    static constexpr qint64 kReadBuffer = 64 * 1024;
    // Connections taken at one wake-up of the listener: a storm of connects leaves the event
    // loop free in between for the clients already served, and for a stop.
    static constexpr int kAcceptBurst = 16;
    // How long the listener rests when a connection cannot be taken for want of descriptors
    // or memory (the connection waits in the backlog meanwhile).
    static constexpr int kAcceptPauseMs = 500;
    // A client refused by --allow is logged once in this time for its address.
    static constexpr std::chrono::minutes kRefusalLogInterval{1};

    CClientServer(const char* kind, const CClientAccess& access, CEventLog& log, QObject* parent);

    bool Listen(const QHostAddress& address, quint16 port, QString* error);
    quint16 Port() const { return m_server.serverPort(); }

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

    void Accept();
    void Ended(ClientId client);
    void Refused(const QString& peer);

    const char* m_kind;
    const CClientAccess& m_access;
    CEventLog& m_log;
    QTcpServer m_server;
    // The daemon accepts itself, beside m_server, so that it sees why an accept failed.
    QSocketNotifier* m_pAcceptable = nullptr;
    long m_nAcceptFailures = 0;  // in a row, since the last connection taken
    std::map<QString, std::chrono::steady_clock::time_point> m_refusalsLogged;
    std::map<ClientId, Client> m_clients;
    // Shared by every door, so that an id names one client in the whole daemon (the command
    // queue serves clients of all doors in turn).
    inline static ClientId m_nLastId = kNoClient;
};
