#include "hub/web/CWebGuard.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>

#include <QPointer>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>

#include "hub/CEventLog.h"
#include "hub/net/ClientAccess.h"
#include "hub/web/HttpStatus.h"

namespace {

QByteArray Refusal(int status) {
    return "HTTP/1.1 " + QByteArray::number(status) + " " + HttpReason(status) +
           "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
}

// Whose share a connection counts in: its IPv4 address, or its IPv6 /64 (one site's lot).
QString ShareOf(const QHostAddress& peer) {
    bool v4 = false;
    peer.toIPv4Address(&v4);
    if (v4 || peer.protocol() != QAbstractSocket::IPv6Protocol) {
        return AddressText(peer);
    }
    Q_IPV6ADDR bytes = peer.toIPv6Address();
    std::fill(std::begin(bytes.c) + 8, std::end(bytes.c), quint8{0});
    return AddressText(QHostAddress(bytes)) + "/64";
}

// How long a closed connection goes on taking what the client still sends.
constexpr int kLingerMs = 2000;
// Connections lingering at once, at most (each holds a descriptor for kLingerMs).
constexpr int kMaxLingering = 256;
const char kLingering[] = "matrixdLingering";

// Closing a socket while the client's bytes wait unread makes the system reset the connection,
// and the client loses the last thing it was sent with it (a refusal, a WebSocket's close
// frame). So a socket that closes gracefully is kept open under a copy of its descriptor: once
// Qt has closed its own, the copy ends the stream and takes what still comes, until the client
// closes too or kLingerMs passed.
class CLinger : public QObject {
  public:
    explicit CLinger(int fd) : m_fd(fd), m_readable(fd, QSocketNotifier::Read) {
        ++s_nLingering;
        m_readable.setEnabled(false);
        connect(&m_readable, &QSocketNotifier::activated, this, &CLinger::Drain);
    }
    ~CLinger() override {
        ::close(m_fd);
        --s_nLingering;
    }
    CLinger(const CLinger&) = delete;
    CLinger& operator=(const CLinger&) = delete;

    // Watches `socket`: when it begins to close, its descriptor is copied.
    static void Watch(QTcpSocket* socket) {
        QObject::connect(socket, &QAbstractSocket::stateChanged, socket,
                         [socket](QAbstractSocket::SocketState state) {
                             if (state == QAbstractSocket::ClosingState) {
                                 Copy(socket);
                             }
                         });
    }

  private:
    static void Copy(QTcpSocket* socket) {
        if (s_nLingering >= kMaxLingering || socket->property(kLingering).toBool()) {
            return;
        }
        const int fd = ::fcntl(static_cast<int>(socket->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
        if (fd < 0) {
            return;
        }
        socket->setProperty(kLingering, true);
        auto* linger = new CLinger(fd);
        // Once Qt wrote what it had and let go (or the socket went before that).
        QObject::connect(socket, &QAbstractSocket::disconnected, linger, &CLinger::Start);
        QObject::connect(socket, &QObject::destroyed, linger, &CLinger::Start);
    }

    void Start() {
        if (std::exchange(m_bStarted, true)) {
            return;
        }
        ::shutdown(m_fd, SHUT_WR);
        m_readable.setEnabled(true);
        QTimer::singleShot(kLingerMs, this, &QObject::deleteLater);
    }

    void Drain() {
        char buffer[16384];
        for (;;) {
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n > 0) {
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                return;
            }
            m_readable.setEnabled(false);  // the client closed too, or the connection broke
            deleteLater();
            return;
        }
    }

    static inline int s_nLingering = 0;
    const int m_fd;
    QSocketNotifier m_readable;
    bool m_bStarted = false;
};

// Answers with `status` and closes; what the client still sends is thrown away.
void Refuse(QTcpSocket* socket, int status) {
    socket->readAll();
    QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    CLinger::Watch(socket);
    socket->write(Refusal(status));
    socket->disconnectFromHost();
}

}  // namespace

// One connection's place and watch, a child of its socket: the place is given back when the
// connection ends, or at the latest when the socket goes (whoever deletes it: the server, or
// the WebSocket it became).
class CWebGuard::CConnection : public QObject {
  public:
    CConnection(CWebGuard& guard, QTcpSocket* socket, QString share)
        : QObject(socket),
          m_pGuard(&guard),
          m_pSocket(socket),
          m_share(std::move(share)),
          m_address(AddressText(socket->peerAddress()).toStdString()) {
        socket->setReadBufferSize(kMaxHeldPerConnection);
        connect(socket, &QTcpSocket::disconnected, this, &CConnection::Closed);
        CLinger::Watch(socket);
        m_idle.setSingleShot(true);
        m_idle.setInterval(kIdleMs);
        connect(&m_idle, &QTimer::timeout, this, [this] { m_pSocket->abort(); });
        m_idle.start();
        connect(socket, &QTcpSocket::bytesWritten, &m_idle, qOverload<>(&QTimer::start));
        m_header.setSingleShot(true);
        m_header.setInterval(kHeaderMs);
        connect(&m_header, &QTimer::timeout, this, [this] {
            Refused(408, "its request's header was not complete within " +
                             std::to_string(kHeaderMs / 1000) + " s");
        });
        // The meter sees each byte once: connected before the server's reading, it takes what
        // arrived since the server last read (the server leaves an unfinished request's bytes
        // in the socket, to read them again with the rest).
        connect(socket, &QTcpSocket::readyRead, this, &CConnection::Read);
    }

    ~CConnection() override {
        Release();
        if (m_pGuard) {
            m_pGuard->m_connections.erase(m_pSocket);
        }
    }

    // After the server's reading (connected as it took the socket): what it left unread.
    void ServerRead() { m_nSeen = m_pSocket->bytesAvailable(); }

    CRequestMeter::Head TakeHead() { return m_meter.TakeHead(); }

    void Upgraded() {
        m_bUpgraded = true;
        m_idle.stop();
        m_header.stop();
        disconnect(m_pSocket, &QTcpSocket::readyRead, this, nullptr);
        disconnect(m_pSocket, &QTcpSocket::bytesWritten, &m_idle, nullptr);
        // The server disconnects the socket from everyone as it hands it on: the end of the
        // connection is watched again once that is done.
        QMetaObject::invokeMethod(
            this,
            [this] {
                connect(m_pSocket, &QTcpSocket::disconnected, this, &CConnection::Closed,
                        Qt::UniqueConnection);
                CLinger::Watch(m_pSocket);
                // A WebSocket that closes while its client reads nothing would wait for ever
                // to write its last frames.
                connect(m_pSocket, &QAbstractSocket::stateChanged, this,
                        [this](QAbstractSocket::SocketState state) {
                            if (state == QAbstractSocket::ClosingState) {
                                m_idle.setInterval(kClosingMs);
                                m_idle.start();
                            }
                        });
                if (m_pSocket->state() == QAbstractSocket::UnconnectedState) {
                    Release();
                }
            },
            Qt::QueuedConnection);
    }

  private:
    void Read() {
        const qint64 available = m_pSocket->bytesAvailable();
        const QByteArray fresh = m_pSocket->peek(available).mid(std::min(m_nSeen, available));
        m_nSeen = available;
        if (m_pSocket->bytesToWrite() > kMaxUnread) {
            Cut("sends requests while more than 1 MiB of its answers wait unread; cut off");
            return;
        }
        const std::size_t headers = m_meter.Headers();
        const auto verdict = m_meter.Feed({fresh.constData(), size_t(fresh.size())});
        if (verdict != CRequestMeter::Verdict::Pass) {
            Refused(static_cast<int>(verdict),
                    "status " + std::to_string(static_cast<int>(verdict)));
            return;
        }
        m_idle.start();
        // A header has its time from its own first byte: a request that began in this read
        // starts the clock anew.
        if (!m_meter.InHeader()) {
            m_header.stop();
        } else if (!m_header.isActive() || m_meter.Headers() != headers) {
            m_header.start();
        }
    }

    void Closed() {
        Release();
        if (!m_bUpgraded) {
            m_pSocket->deleteLater();  // the server does not delete every socket it served
        }
    }

    void Release() {
        if (!std::exchange(m_bReleased, true) && m_pGuard) {
            m_pGuard->Released(m_share);
        }
    }

    void Refused(int status, const std::string& why) {
        m_idle.stop();
        m_header.stop();
        Log("web: refused a request from " + m_address + " (" + why + ")");
        Refuse(m_pSocket, status);
    }

    void Cut(const std::string& why) {
        Log("web: a client at " + m_address + " " + why);
        disconnect(m_pSocket, &QTcpSocket::readyRead, nullptr, nullptr);
        m_pSocket->abort();
    }

    void Log(const std::string& line) {
        if (m_pGuard) {
            m_pGuard->m_log.Log(line);
        }
    }

    QPointer<CWebGuard> m_pGuard;
    QTcpSocket* m_pSocket;        // the parent
    const QString m_share;        // of the address's connections
    const std::string m_address;  // for the log
    CRequestMeter m_meter;
    QTimer m_idle;    // no byte either way
    QTimer m_header;  // since the current request began
    qint64 m_nSeen = 0;
    bool m_bUpgraded = false;
    bool m_bReleased = false;
};

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

// 0 when the connection may come in, else the status it is refused with.
int CWebGuard::Refusal(const QString& share) {
    if (m_nConnections >= kMaxConnections) {
        if (!std::exchange(m_bFullLogged, true)) {
            m_log.Log("web: refusing connections: " + std::to_string(kMaxConnections) +
                      " are open already");
        }
        return 503;
    }
    const auto found = m_perAddress.find(share);
    if (found != m_perAddress.end() && found->second >= kMaxPerAddress) {
        if (m_addressesLogged.insert(share).second) {
            m_log.Log("web: refusing connections from " + share.toStdString() + ": " +
                      std::to_string(kMaxPerAddress) + " of its own are open already");
        }
        return 429;
    }
    return 0;
}

void CWebGuard::Accepted(int fd, const QHostAddress& peer) {
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(fd)) {
        ::close(fd);
        delete socket;
        return;
    }
    const QString share = ShareOf(peer);
    if (const int status = Refusal(share); status != 0) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        Refuse(socket, status);
        return;
    }
    ++m_nConnections;
    ++m_perAddress[share];
    auto* connection = new CConnection(*this, socket, share);
    m_connections[socket] = connection;
    addPendingConnection(socket);
    emit newConnection();
    connect(socket, &QTcpSocket::readyRead, connection, &CConnection::ServerRead);
}

void CWebGuard::Released(const QString& share) {
    --m_nConnections;
    m_bFullLogged = false;
    if (const auto found = m_perAddress.find(share);
        found != m_perAddress.end() && --found->second == 0) {
        m_perAddress.erase(found);
    }
    m_addressesLogged.erase(share);
}

CRequestMeter::Head CWebGuard::TakeHead(QTcpSocket* socket) {
    const auto found = m_connections.find(socket);
    return found == m_connections.end() ? CRequestMeter::Head{} : found->second->TakeHead();
}

void CWebGuard::Upgraded(QTcpSocket* socket) {
    if (const auto found = m_connections.find(socket); found != m_connections.end()) {
        found->second->Upgraded();
    }
}

QTcpSocket* CWebGuard::nextPendingConnection() {
    QTcpSocket* socket = QTcpServer::nextPendingConnection();
    pauseAccepting();
    return socket;
}
