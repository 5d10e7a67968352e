#include "hub/net/CClientServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

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

CClientServer::~CClientServer() {
    for (auto& [id, client] : m_clients) {
        client.readable.reset();
        client.backlog.reset();
        ::close(client.fd);
    }
}

bool CClientServer::Listen(const QHostAddress& address, quint16 port, QString* error) {
    return m_acceptor.Listen(address, port, error);
}

void CClientServer::Log(const std::string& line) {
    m_log.Log(std::string(m_kind) + ": " + line);
}

void CClientServer::Accepted(int fd, const QHostAddress& address) {
    // Updates are small and go out as they happen: no waiting to fill a segment.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const ClientId id = NewClientId();
    Client& client = m_clients[id];
    client.fd = fd;
    client.peer = AddressText(address).toStdString();
    client.readable = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(client.readable.get(), &QSocketNotifier::activated, this,
            [this, id] { ReadableNow(id); });
    Log("client from " + client.peer + " connected");
    Connected(id);
}

CClientServer::Client* CClientServer::Served(ClientId client) {
    const auto found = m_clients.find(client);
    return found == m_clients.end() || found->second.dropped ? nullptr : &found->second;
}

bool CClientServer::Serves(ClientId client) const {
    const auto found = m_clients.find(client);
    return found != m_clients.end() && !found->second.dropped;
}

bool CClientServer::MayHaveMore(ClientId client) const {
    const auto found = m_clients.find(client);
    return found != m_clients.end() && !found->second.dropped && !found->second.readAll;
}

void CClientServer::ReadableNow(ClientId id) {
    Client* client = Served(id);
    if (client == nullptr) {
        return;
    }
    client->readAll = false;
    Readable(id);
    // A front end that left bytes unread (a held client, a turn's budget spent) reads them
    // when it is ready; until then the notifier would only fire again and again.
    if (Client* still = Served(id); still != nullptr && !still->readAll) {
        still->readable->setEnabled(false);
    }
}

std::size_t CClientServer::ReadFrom(ClientId id, char* buffer, std::size_t size) {
    Client* client = Served(id);
    if (client == nullptr || client->readAll) {
        return 0;  // what comes meanwhile wakes the notifier
    }
    ssize_t n = 0;
    do {
        n = ::recv(client->fd, buffer, size, 0);
    } while (n < 0 && errno == EINTR);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
        Lost(id, *client);
        return 0;
    }
    // Less than asked for: the socket is empty now (a stream gives all it holds).
    if (n < 0 || static_cast<std::size_t>(n) < size) {
        client->readAll = true;
        if (!client->readable->isEnabled()) {
            client->readable->setEnabled(true);
        }
    }
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

void CClientServer::Send(ClientId client, const char* data, qint64 size) {
    if (Client* found = Served(client)) {
        Write(client, *found, std::string_view(data, static_cast<std::size_t>(size)), nullptr);
    }
}

void CClientServer::Send(ClientId client, const SharedBytes& bytes) {
    if (Client* found = Served(client)) {
        Write(client, *found, *bytes, bytes);
    }
}

void CClientServer::SendToAll(const SharedBytes& bytes) {
    // A client cut off here leaves the map only later (queued), so the loop stays valid.
    for (auto& [id, client] : m_clients) {
        if (!client.dropped) {
            Write(id, client, *bytes, bytes);
        }
    }
}

void CClientServer::Write(ClientId id, Client& client, std::string_view bytes,
                          const SharedBytes& shared) {
    // A client whose connection has closed (its end is queued) takes nothing more.
    if (client.ended || bytes.empty()) {
        return;
    }
    std::size_t taken = 0;
    if (!client.backlog) {
        ssize_t n = 0;
        do {
            n = ::send(client.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            Lost(id, client);
            return;
        }
        taken = n > 0 ? static_cast<std::size_t>(n) : 0;
        if (taken == bytes.size()) {
            return;
        }
    }
    if (!client.backlog) {
        client.backlog = std::make_unique<Backlog>();
        client.backlog->writable =
            std::make_unique<QSocketNotifier>(client.fd, QSocketNotifier::Write);
        connect(client.backlog->writable.get(), &QSocketNotifier::activated, this,
                [this, id] { Writable(id); });
    }
    Backlog& backlog = *client.backlog;
    if (shared) {
        backlog.chunks.push_back(Pending{shared, taken});
    } else {
        backlog.chunks.push_back(Pending{ShareBytes(std::string(bytes.substr(taken))), 0});
    }
    backlog.size += static_cast<qint64>(bytes.size() - taken);
    if (backlog.size > kMaxUnread) {
        Drop(id, "does not read: more than 1 MiB waited for it; cut off");
    }
}

void CClientServer::Writable(ClientId id) {
    Client* client = Served(id);
    if (client == nullptr || !client->backlog) {
        return;
    }
    Backlog& backlog = *client->backlog;
    while (!backlog.chunks.empty()) {
        Pending& chunk = backlog.chunks.front();
        const std::size_t left = chunk.bytes->size() - chunk.offset;
        ssize_t n = 0;
        do {
            n = ::send(client->fd, chunk.bytes->data() + chunk.offset, left,
                       MSG_NOSIGNAL | MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                Lost(id, *client);
            }
            return;
        }
        backlog.size -= n;
        chunk.offset += static_cast<std::size_t>(n);
        if (chunk.offset < chunk.bytes->size()) {
            return;  // the kernel took what it could; the notifier says when there is room
        }
        backlog.chunks.pop_front();
    }
    // All out: the backlog and its notifier go (not from inside the notifier's own signal).
    backlog.writable->setEnabled(false);
    backlog.writable.release()->deleteLater();
    client->backlog.reset();
}

void CClientServer::Lost(ClientId id, Client& client) {
    if (client.ended) {
        return;
    }
    client.ended = true;
    client.readAll = true;
    client.readable->setEnabled(false);
    if (client.backlog) {
        client.backlog->writable->setEnabled(false);
    }
    // Queued: a socket may end inside a send, and the front end must not be re-entered.
    QMetaObject::invokeMethod(
        this, [this, id] { Ended(id); }, Qt::QueuedConnection);
}

void CClientServer::Drop(ClientId id, const std::string& why) {
    Client& client = m_clients.at(id);
    if (client.dropped) {
        return;
    }
    Log("client from " + client.peer + " " + why);
    const bool ending = client.ended;
    Lost(id, client);
    client.dropped = true;
    if (!ending) {
        // Cut off: what waited for it is thrown away, and the peer sees a reset.
        const linger abort{1, 0};
        ::setsockopt(client.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
}

void CClientServer::Ended(ClientId id) {
    const auto found = m_clients.find(id);
    if (found == m_clients.end()) {
        return;
    }
    Client& client = found->second;
    if (!client.dropped) {
        Log("client from " + client.peer + " disconnected");
    }
    client.readable.reset();
    client.backlog.reset();
    ::close(client.fd);
    m_clients.erase(found);
    Gone(id);
}
