#include "support/DevicePeers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace {

std::string ReadFd(int fd, std::chrono::milliseconds quiet) {
    std::string got;
    char buffer[4096];
    for (;;) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(quiet.count())) <= 0) {
            return got;
        }
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return got;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
}

void WriteFd(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            throw std::runtime_error("write");
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

ScopedSysDir::ScopedSysDir() {
    std::string name = (std::filesystem::temp_directory_path() / "mp-term-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr) {
        throw std::runtime_error("mkdtemp");
    }
    m_path = name;
    ::setenv("MATRIXPANEL_SYSDIR", m_path.c_str(), 1);
}

ScopedSysDir::~ScopedSysDir() {
    ::unsetenv("MATRIXPANEL_SYSDIR");
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

PtyPeer::PtyPeer(const std::string& sysDir, int com) {
    char name[256];
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty");
    }
    struct termios tio {};
    ::tcgetattr(m_slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(m_slave, TCSANOW, &tio);
    m_link = sysDir + "/COM" + std::to_string(com);
    std::filesystem::create_symlink(name, m_link);
}

PtyPeer::~PtyPeer() {
    std::error_code ignored;
    std::filesystem::remove(m_link, ignored);
    ::close(m_slave);
    ::close(m_master);
}

void PtyPeer::HoldExclusively() {
    ::flock(m_slave, LOCK_EX | LOCK_NB);
}

void PtyPeer::Write(const std::string& bytes) {
    WriteFd(m_master, bytes);
}

std::string PtyPeer::Read(std::chrono::milliseconds quiet) {
    return ReadFd(m_master, quiet);
}

TcpPeer::TcpPeer() {
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(m_listener, 4) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("listen");
    }
    m_port = ntohs(address.sin_port);
}

TcpPeer::~TcpPeer() {
    if (m_conn >= 0) {
        ::close(m_conn);
    }
    ::close(m_listener);
}

bool TcpPeer::Accept() {
    struct pollfd pfd = {m_listener, POLLIN, 0};
    if (::poll(&pfd, 1, 20000) <= 0) {
        return false;
    }
    m_conn = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    return m_conn >= 0;
}

void TcpPeer::Send(const std::string& bytes) {
    WriteFd(m_conn, bytes);
}

std::string TcpPeer::Read(std::chrono::milliseconds quiet) {
    return ReadFd(m_conn, quiet);
}

void TcpPeer::Reset() {
    struct linger hard = {1, 0};
    ::setsockopt(m_conn, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(m_conn);
    m_conn = -1;
}
