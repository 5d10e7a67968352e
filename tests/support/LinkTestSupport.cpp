#include "support/LinkTestSupport.h"

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
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "platform/MessageBox.h"

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

ScopedSysDir::ScopedSysDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "mp-test-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) {
        throw std::runtime_error("mkdtemp");
    }
    m_path = templ;
    ::setenv("MATRIXPANEL_SYSDIR", m_path.c_str(), 1);
}

ScopedSysDir::~ScopedSysDir() {
    ::unsetenv("MATRIXPANEL_SYSDIR");
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

namespace {

std::string ReadFd(int fd, std::chrono::milliseconds quiet, std::size_t want) {
    std::string got;
    char buffer[4096];
    while (got.size() < want) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(quiet.count())) <= 0) {
            break;
        }
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
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

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A listener on a free loopback port; returns its socket and sets port.
int ListenOnLoopback(int backlog, std::uint16_t& port) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener, backlog) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(listener);
        throw std::runtime_error("listen");
    }
    port = ntohs(address.sin_port);
    return listener;
}

}  // namespace

PtyPort::PtyPort(const std::string& sysDir, int com) {
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

PtyPort::~PtyPort() {
    std::error_code ec;
    std::filesystem::remove(m_link, ec);
    ::close(m_slave);
    ::close(m_master);
}

void PtyPort::HoldExclusively() {
    ::flock(m_slave, LOCK_EX | LOCK_NB);
}

void PtyPort::Write(const std::string& bytes) {
    WriteFd(m_master, bytes);
}

std::string PtyPort::Read(std::chrono::milliseconds quiet, std::size_t want) {
    return ReadFd(m_master, quiet, want);
}

TcpPeer::TcpPeer() {
    m_listener = ListenOnLoopback(4, m_port);
}

TcpPeer::~TcpPeer() {
    Close();
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

std::string TcpPeer::Read(std::chrono::milliseconds quiet, std::size_t want) {
    return ReadFd(m_conn, quiet, want);
}

void TcpPeer::Close() {
    if (m_conn >= 0) {
        ::close(m_conn);
        m_conn = -1;
    }
}

void TcpPeer::Reset() {
    struct linger hard = {1, 0};
    ::setsockopt(m_conn, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    Close();
}

std::uint16_t ClosedPort() {
    return TcpPeer().Port();
}

// Backlog 0 still lets one connection wait; the fillers take every place there is.
BlackHole::BlackHole() {
    m_listener = ListenOnLoopback(0, m_port);
    const sockaddr_in address = Loopback(m_port);
    for (int k = 0; k < 4; ++k) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        m_fillers.push_back(fd);
    }
}

BlackHole::~BlackHole() {
    for (const int fd : m_fillers) {
        ::close(fd);
    }
    ::close(m_listener);
}

MessageRecorder::MessageRecorder() {
    SetMessageBoxHook([this](const void*, const std::string& text, const std::string&) {
        std::lock_guard lock(m_mutex);
        m_texts.push_back(text);
    });
}

MessageRecorder::~MessageRecorder() {
    SetMessageBoxHook({});
}

std::vector<std::string> MessageRecorder::Texts() const {
    std::lock_guard lock(m_mutex);
    return m_texts;
}

std::function<void(std::string_view)> TextSink::Receiver() {
    return [this](std::string_view text) {
        std::lock_guard lock(m_mutex);
        m_items.emplace_back(text);
    };
}

std::vector<std::string> TextSink::Items() const {
    std::lock_guard lock(m_mutex);
    return m_items;
}

std::string TextSink::Joined() const {
    std::lock_guard lock(m_mutex);
    std::string all;
    for (const auto& item : m_items) {
        all += item;
    }
    return all;
}

std::size_t TextSink::Count() const {
    std::lock_guard lock(m_mutex);
    return m_items.size();
}

UiPost FakeUiQueue::Post() {
    return [this](std::function<void()> task) {
        std::lock_guard lock(m_mutex);
        m_tasks.push_back(std::move(task));
    };
}

std::size_t FakeUiQueue::Pending() const {
    std::lock_guard lock(m_mutex);
    return m_tasks.size();
}

void FakeUiQueue::RunAll() {
    std::deque<std::function<void()>> tasks;
    {
        std::lock_guard lock(m_mutex);
        tasks.swap(m_tasks);
    }
    for (auto& task : tasks) {
        task();
    }
}
