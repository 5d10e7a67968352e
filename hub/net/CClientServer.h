#pragma once

#include <QHostAddress>
#include <QObject>
#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "hub/core/HubState.h"
#include "hub/core/SharedBytes.h"
#include "hub/net/CAcceptor.h"

class CEventLog;
class QSocketNotifier;

// One listening port and its clients: access at accept, bounded reading, and back-pressure: a
// client with more than kMaxUnread bytes it has not taken is cut off, and the others go on.
//
// Clients are plain non-blocking sockets. What is sent goes to the kernel at once, in the
// event-loop turn that made it; only what the kernel does not take waits, in a backlog that
// exists (with its write notifier) only while it holds something. A change sent to all is
// kept once for every client that waits for it. A client that says nothing costs its socket,
// a read notifier and a few words. The front ends derive from it.
class CClientServer : public QObject {
    Q_OBJECT

  public:
    static constexpr qint64 kMaxUnread = 1024 * 1024;
    CClientServer(const char* kind, const CClientAccess& access, CEventLog& log, QObject* parent);
    ~CClientServer() override;

    bool Listen(const QHostAddress& address, quint16 port, QString* error);
    quint16 Port() const { return m_acceptor.Port(); }

    void Send(ClientId client, const char* data, qint64 size);
    void Send(ClientId client, const SharedBytes& bytes);
    void SendToAll(const SharedBytes& bytes);

  protected:
    virtual void Connected(ClientId client) = 0;
    // Bytes from the client are waiting; read (ReadFrom) what should be read now. Until the
    // front end has read all there is, it is not told again: it reads the rest when it wants.
    virtual void Readable(ClientId client) = 0;
    virtual void Gone(ClientId client) = 0;

    // True while the client is served (not gone, not being cut off).
    bool Serves(ClientId client) const;
    // What the client sent, up to `size` bytes; 0 when nothing waits or it is gone.
    std::size_t ReadFrom(ClientId client, char* buffer, std::size_t size);
    // True unless the last read found the client's socket empty.
    bool MayHaveMore(ClientId client) const;
    void Log(const std::string& line);
    // Cuts a client off, saying why in the log.
    void Drop(ClientId client, const std::string& why);

  private:
    struct Pending {
        SharedBytes bytes;
        std::size_t offset = 0;  // what the kernel took of them already
    };
    struct Backlog {
        std::deque<Pending> chunks;
        qint64 size = 0;
        std::unique_ptr<QSocketNotifier> writable;
    };
    struct Client {
        int fd = -1;
        std::unique_ptr<QSocketNotifier> readable;
        std::unique_ptr<Backlog> backlog;  // only while bytes wait for the kernel
        std::string peer;
        bool dropped = false;  // being cut off, or its end is queued
        bool ended = false;    // the peer closed or the socket failed
        bool readAll = false;  // the last read found the socket empty
    };

    void Accepted(int fd, const QHostAddress& address);
    Client* Served(ClientId client);
    void ReadableNow(ClientId client);
    // Writes `bytes` (all of `shared` when given, else a copy is kept of what waits).
    void Write(ClientId id, Client& client, std::string_view bytes, const SharedBytes& shared);
    void Writable(ClientId client);
    // The peer closed, or the socket failed: its end is handled from the event loop.
    void Lost(ClientId id, Client& client);
    void Ended(ClientId client);

    const char* m_kind;
    CEventLog& m_log;
    CAcceptor m_acceptor;
    std::unordered_map<ClientId, Client> m_clients;
};
