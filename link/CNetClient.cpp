#include "link/CNetClient.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "link/Terminator.h"
#include "platform/MessageBox.h"
#include "platform/SocketLibrary.h"

namespace {

constexpr const char* kModuleBaud[] = {
    "AT + C1_BAUD = 4800",  "AT + C1_BAUD = 9600",  "AT + C1_BAUD = 19200",
    "AT + C1_BAUD = 38400", "AT + C1_BAUD = 57600",
};
constexpr const char* kModuleParity[] = {
    // by the terminal view's parity list: NONE, EVEN, MARK, ODD, SPACE
    "AT + C1_PARITY = 0", "AT + C1_PARITY = 2", "AT + C1_PARITY = 4",
    "AT + C1_PARITY = 1", "AT + C1_PARITY = 3",
};
constexpr const char* kModuleStopBits[] = {
    "AT + C1_STOPB = 1",
    "AT + C1_STOPB = 1.5",
    "AT + C1_STOPB = 2",
};

template <std::size_t N>
const char* Pick(const char* const (&table)[N], int index, int fallback) {
    return index >= 0 && static_cast<std::size_t>(index) < N ? table[index] : table[fallback];
}

}  // namespace

CNetClient::CNetClient() : m_hWake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CNetClient::~CNetClient() {
    Close();
    if (m_hWake >= 0) {
        ::close(m_hWake);
    }
}

void CNetClient::WakeConnect() {
    if (m_hWake >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_hWake, &one, sizeof one);
    }
}

bool CNetClient::ConnectAbandoned(Token token) const {
    std::lock_guard lock(m_mutex);
    return token != m_nToken || token == m_nInterrupted;
}

bool CNetClient::Create(int type) {
    Close();
    if (!SocketStartup()) {
        ShowMessageBox(m_pOwner, "Initial failure!");
    }
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        SocketCleanup();
        return false;
    }
    // Sends run on the UI thread: a peer that stops reading must cost a failed send, not a
    // frozen window once the socket's buffers are full.
    const timeval sendLimit{kSendTimeLimitMs / 1000, (kSendTimeLimitMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    std::lock_guard lock(m_mutex);
    m_hSocket = fd;
    m_nToken = ++m_nLastToken;
    return true;
}

void CNetClient::Send(std::string_view text, int route, int flag) {
    m_nReplyRoute.store(route);
    std::string bytes(text);
    bytes += NetTerminator(route, flag);
    long sent = -1;
    const int fd = Acquire(SocketToken());
    if (fd != kNoSocket) {
        // MSG_NOSIGNAL: a connection the peer has dropped fails the send instead of killing
        // the process with SIGPIPE.
        sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        Release(fd);
    }
    if (sent != static_cast<long>(bytes.size())) {
        ShowMessageBox(m_pOwner, "Send failure!");
    }
}

bool CNetClient::SetModuleBaud(int index) {
    Send(Pick(kModuleBaud, index, 1), 1, 0);
    return true;
}

bool CNetClient::SetModuleParity(int position) {
    Send(Pick(kModuleParity, position, 0), 1, 0);
    return true;
}

bool CNetClient::SetModuleDataBits(int) {
    Send("AT + C1_DATAB = 8", 1, 0);
    return true;
}

bool CNetClient::SetModuleStopBits(int position) {
    Send(Pick(kModuleStopBits, position, 0), 1, 0);
    return true;
}

void CNetClient::Close() {
    std::lock_guard lock(m_mutex);
    CloseLocked();
}

void CNetClient::CloseIf(Token token) {
    std::lock_guard lock(m_mutex);
    if (token != 0 && token == m_nToken) {
        CloseLocked();
    }
}

void CNetClient::CloseLocked() {
    if (m_hSocket == kNoSocket) {
        return;
    }
    const int fd = m_hSocket;
    m_hSocket = kNoSocket;
    m_nToken = 0;
    ::shutdown(fd, SHUT_RDWR);
    WakeConnect();
    if (m_users.count(fd) != 0) {
        m_retired.insert(fd);
    } else {
        ::close(fd);
    }
    SocketCleanup();
}

bool CNetClient::HasSocket() const {
    std::lock_guard lock(m_mutex);
    return m_hSocket != kNoSocket;
}

CNetClient::Token CNetClient::SocketToken() const {
    std::lock_guard lock(m_mutex);
    return m_nToken;
}

int CNetClient::Acquire(Token token) {
    std::lock_guard lock(m_mutex);
    if (token == 0 || token != m_nToken) {
        return kNoSocket;
    }
    ++m_users[m_hSocket];
    return m_hSocket;
}

void CNetClient::Release(int fd) {
    std::lock_guard lock(m_mutex);
    const auto user = m_users.find(fd);
    if (user == m_users.end() || --user->second > 0) {
        return;
    }
    m_users.erase(user);
    if (m_retired.erase(fd) != 0) {
        ::close(fd);
    }
}

int CNetClient::Connect(Token token, const sockaddr_in& address) {
    const int fd = Acquire(token);
    if (fd == kNoSocket) {
        return EBADF;
    }
    // Neither a shutdown nor a close ends a blocking connect that waits for its handshake, so
    // the connect runs without blocking and waits in poll beside the wake-up: closing the
    // socket or abandoning the attempt ends it at once.
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int result = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        result = errno;
    }
    while (result == EINPROGRESS || result == EINTR) {
        pollfd fds[2] = {{fd, POLLOUT, 0}, {m_hWake, POLLIN, 0}};
        if (::poll(fds, m_hWake >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            result = errno;
            break;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(m_hWake, &count, sizeof count);
        }
        if (ConnectAbandoned(token)) {
            result = ECANCELED;  // a shut-down socket may even look connected
            break;
        }
        if (fds[0].revents != 0) {
            socklen_t length = sizeof result;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &length) != 0) {
                result = errno;
            }
        }
    }
    ::fcntl(fd, F_SETFL, flags);  // sends and receives block as usual
    Release(fd);
    return result;
}

long CNetClient::Receive(Token token, char* buffer, std::size_t size) {
    const int fd = Acquire(token);
    if (fd == kNoSocket) {
        errno = EBADF;
        return -1;
    }
    long received;
    do {
        received = ::recv(fd, buffer, size, 0);
    } while (received < 0 && errno == EINTR);
    const int error = errno;
    Release(fd);
    errno = error;
    return received;
}

void CNetClient::Interrupt(Token token) {
    std::lock_guard lock(m_mutex);
    if (token != 0 && token == m_nToken) {
        m_nInterrupted = token;
        ::shutdown(m_hSocket, SHUT_RDWR);
        WakeConnect();
    }
}
