#include "link/CNetClient.h"

#include <sys/socket.h>
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

CNetClient::~CNetClient() {
    Close();
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
    const int result =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
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
        ::shutdown(m_hSocket, SHUT_RDWR);
    }
}
