#include "link/CNetClient.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "link/LineSettings.h"
#include "link/Terminator.h"
#include "platform/MessageBox.h"
#include "platform/SocketLibrary.h"

namespace {

// The module's own baud command for an index of its five-rate table (9600 for any other).
std::string ModuleBaudCommand(int index) {
    unsigned rate = 9600;
    for (const BaudSetting& setting : kBaudSettings) {
        if (setting.moduleIndex >= 0 && setting.moduleIndex == index) {
            rate = setting.rate;
        }
    }
    return "AT + C1_BAUD = " + std::to_string(rate);
}

}  // namespace

CNetClient::CNetClient() = default;

CNetClient::~CNetClient() {
    Close();
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
    // Without its wake-up a connect could not be abandoned: no socket then.
    const int fd = m_wake.Ensure() ? ::socket(AF_INET, type | SOCK_CLOEXEC, 0) : -1;
    if (fd < 0) {
        SocketCleanup();
        return false;
    }
    // Sends run on the UI thread: a peer that stops reading must cost a failed send, not a
    // frozen window once the socket's buffers are full.
    const timeval sendLimit{kSendTimeLimitMs / 1000, (kSendTimeLimitMs % 1000) * 1000L};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    std::lock_guard lock(m_mutex);
    m_hSocket = fd;
    m_nToken = ++m_nLastToken;
    return true;
}

bool CNetClient::Send(std::string_view text, ::ReplyRoute route, TerminatorFlag flag) {
    m_nReplyRoute.store(route);
    std::string bytes(text);
    bytes += NetTerminator(route, flag);
    long sent = -1;
    const Token token = SocketToken();
    const int fd = Acquire(token);
    if (fd != kNoSocket) {
        // MSG_NOSIGNAL: a connection the peer has dropped fails the send instead of killing
        // the process with SIGPIPE.
        sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        Release(fd);
    }
    if (sent > 0 && sent < static_cast<long>(bytes.size())) {
        // Cut off by the time limit with part of the command in the stream: whatever came
        // next would be glued to that half. The link is lost; the receive loop reports it.
        CloseIf(token);
    }
    if (sent != static_cast<long>(bytes.size())) {
        ShowMessageBox(m_pOwner, "Send failure!");
        return false;
    }
    return true;
}

bool CNetClient::SetModuleBaud(int index) {
    return Send(ModuleBaudCommand(index), kRouteTerminal, kTermDot);
}

bool CNetClient::SetModuleParity(int position) {
    return Send(SettingAt(kParitySettings, position, 0).moduleCommand, kRouteTerminal, kTermDot);
}

bool CNetClient::SetModuleDataBits(int) {
    return Send(kModuleDataBitsCommand, kRouteTerminal, kTermDot);
}

bool CNetClient::SetModuleStopBits(int position) {
    return Send(SettingAt(kStopBitsSettings, position, 0).moduleCommand, kRouteTerminal, kTermDot);
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
    m_wake.Signal();
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
        pollfd fds[2] = {{fd, POLLOUT, 0}, {m_wake.Fd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            result = errno;
            break;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            m_wake.Drain();
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
    int error = errno;
    Release(fd);
    // The end of the stream is the peer's quiet close only while the socket is still ours: one
    // closed here meanwhile (a send cut off half-way) failed.
    if (received == 0 && token != SocketToken()) {
        received = -1;
        error = ECONNABORTED;
    }
    errno = error;
    return received;
}

void CNetClient::Interrupt(Token token) {
    std::lock_guard lock(m_mutex);
    if (token != 0 && token == m_nToken) {
        m_nInterrupted = token;
        ::shutdown(m_hSocket, SHUT_RDWR);
        m_wake.Signal();
    }
}
