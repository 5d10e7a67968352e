#include "hub/net/CAcceptor.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "hub/CEventLog.h"
#include "hub/net/ClientAccess.h"

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

CAcceptor::CAcceptor(const char* kind, const CClientAccess& access, CEventLog& log,
                     std::function<void(int fd, const QHostAddress& peer)> accepted,
                     QObject* parent, QTcpServer* server)
    : QObject(parent),
      m_kind(kind),
      m_access(access),
      m_log(log),
      m_accepted(std::move(accepted)),
      m_pServer(server != nullptr ? server : &m_ownServer) {}

void CAcceptor::Log(const std::string& line) {
    m_log.Log(std::string(m_kind) + ": " + line);
}

bool CAcceptor::Listen(const QHostAddress& address, quint16 port, QString* error) {
    // Control surfaces reconnect together after a network outage: room for all of them at once.
    m_pServer->setListenBacklogSize(1024);
    if (!m_pServer->listen(address, port)) {
        *error = m_pServer->errorString();
        return false;
    }
    // Qt 6.4's server retries a failed accept at once and says nothing: out of descriptors the
    // connection stays in the backlog, the listener stays readable and the loop spins. Its
    // notifier is switched off and the daemon accepts itself, seeing errno. (QTcpServer still
    // binds: SO_REUSEADDR, so that a restart finds the port free at once, and its errors.)
    m_pServer->pauseAccepting();
    m_pAcceptable = new QSocketNotifier(m_pServer->socketDescriptor(), QSocketNotifier::Read, this);
    connect(m_pAcceptable, &QSocketNotifier::activated, this, &CAcceptor::Accept);
    return true;
}

void CAcceptor::Accept() {
    const int listener = static_cast<int>(m_pServer->socketDescriptor());
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
        m_accepted(fd, address);
    }
}

void CAcceptor::Refused(const QString& peer) {
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
