#include "tools/matrixd/CClientServer.h"

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

#include "tools/matrixd/CEventLog.h"
#include "tools/matrixd/ClientAccess.h"

namespace {

// Failures of one connection (the peer gave up, a network error it carried): the next one may
// be taken at once.
bool FailedConnection(int error) {
    switch (error) {
        case EINTR:
        case ECONNABORTED:
        case EPERM:
        case EPROTO:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
            return true;
        default:
            return false;
    }
}

// Descriptors the daemon keeps for its own work when clients would take the rest: writing the
// labels file (the file, its temporary, the directory), reopening the switcher link, D-Bus,
// Qt's own, and the pipes through which sanitizer builds check memory. Without them a flood
// of clients would leave a rename unwritten and a lost link closed until clients go.
constexpr rlim_t kReservedDescriptors = 16;

// Empty while one more client may have a descriptor, else why not: the lowest free descriptor
// (taken and given back; every one below it is in use) must lie below the reserve.
std::string NoRoomForClient(int listener) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return {};
    }
    const rlim_t reserve = std::min(kReservedDescriptors, limit.rlim_cur / 4);
    const int lowest = ::fcntl(listener, F_DUPFD_CLOEXEC, 0);
    if (lowest >= 0) {
        ::close(lowest);
        if (static_cast<rlim_t>(lowest) + reserve < limit.rlim_cur) {
            return {};
        }
    } else if (errno != EMFILE) {
        return {};
    }
    return "cannot accept more clients: of the " + std::to_string(limit.rlim_cur) +
           " descriptors this process may have, all but the " + std::to_string(reserve) +
           " kept for the switcher link and the labels file are in use (LimitNOFILE= raises "
           "the limit)";
}

}  // namespace

CClientServer::CClientServer(const char* kind, const CClientAccess& access, CEventLog& log,
                             QObject* parent)
    : QObject(parent), m_kind(kind), m_access(access), m_log(log) {}

bool CClientServer::Listen(const QHostAddress& address, quint16 port, QString* error) {
    // Control surfaces reconnect together after a network outage: room for all of them at once.
    m_server.setListenBacklogSize(1024);
    if (!m_server.listen(address, port)) {
        *error = m_server.errorString();
        return false;
    }
    // Qt 6.4's server retries a failed accept at once and says nothing: out of descriptors the
    // connection stays in the backlog, the listener stays readable and the loop spins. Its
    // notifier is switched off and the daemon accepts itself, seeing errno. (QTcpServer still
    // binds: SO_REUSEADDR, so that a restart finds the port free at once, and its errors.)
    m_server.pauseAccepting();
    m_pAcceptable = new QSocketNotifier(m_server.socketDescriptor(), QSocketNotifier::Read, this);
    connect(m_pAcceptable, &QSocketNotifier::activated, this, &CClientServer::Accept);
    return true;
}

void CClientServer::Log(const std::string& line) {
    m_log.Log(std::string(m_kind) + ": " + line);
}

void CClientServer::Accept() {
    const int listener = static_cast<int>(m_server.socketDescriptor());
    for (int taken = 0; taken < kAcceptBurst; ++taken) {
        std::string why = NoRoomForClient(listener);
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        int fd = -1;
        if (why.empty()) {
            fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&from), &fromLength,
                           SOCK_CLOEXEC | SOCK_NONBLOCK);
            const int error = errno;
            if (fd < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
                return;
            }
            if (fd < 0 && FailedConnection(error)) {
                continue;
            }
            if (fd < 0) {
                why = "cannot accept a client: " + std::string(std::strerror(error));
            }
        }
        if (fd < 0) {
            // The connection waits in the backlog and the listener stays readable: retrying at
            // once would only spin until something else frees a descriptor.
            m_pAcceptable->setEnabled(false);
            QTimer::singleShot(kAcceptPauseMs, this, [this] { m_pAcceptable->setEnabled(true); });
            if (m_nAcceptFailures++ == 0) {
                Log(why + "; new clients wait, tried every " + std::to_string(kAcceptPauseMs) +
                    " ms");
            }
            return;
        }
        if (m_nAcceptFailures > 0) {
            Log("accepting clients again, after " + std::to_string(m_nAcceptFailures) +
                " attempts that failed");
            m_nAcceptFailures = 0;
        }
        const QHostAddress address(reinterpret_cast<const sockaddr*>(&from));
        const QString peer = AddressText(address);
        if (!m_access.Allows(address)) {
            ::close(fd);
            Refused(peer);
            continue;
        }
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(fd)) {
            ::close(fd);
            delete socket;
            continue;
        }
        const ClientId id = ++m_nLastId;
        socket->setReadBufferSize(kReadBuffer);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_clients[id] = Client{socket, peer, false};
        // Queued: a socket may end inside a send, and the front end must not be re-entered.
        connect(
            socket, &QTcpSocket::disconnected, this, [this, id] { Ended(id); },
            Qt::QueuedConnection);
        connect(socket, &QTcpSocket::readyRead, this, [this, id] {
            if (Socket(id) != nullptr) {
                Readable(id);
            }
        });
        Log("client from " + peer.toStdString() + " connected");
        Connected(id);
    }
}

void CClientServer::Refused(const QString& peer) {
    // A device retrying every few seconds from the wrong network says so once a minute, not
    // at every attempt; the memory of addresses stays small.
    const auto now = std::chrono::steady_clock::now();
    if (m_refusalsLogged.size() >= 256) {
        std::erase_if(m_refusalsLogged,
                      [&](const auto& entry) { return now - entry.second >= kRefusalLogInterval; });
        if (m_refusalsLogged.size() >= 256) {
            m_refusalsLogged.clear();  // a spray of addresses: the event log bounds the lines
        }
    }
    const auto found = m_refusalsLogged.find(peer);
    if (found != m_refusalsLogged.end() && now - found->second < kRefusalLogInterval) {
        return;
    }
    m_refusalsLogged[peer] = now;
    Log("refused a client from " + peer.toStdString() + ": its address is not in --allow (" +
        m_access.Text() + "); said once a minute per address");
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
