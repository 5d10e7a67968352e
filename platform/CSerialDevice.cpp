#include "platform/CSerialDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>

#include "platform/SerialSpeed2.h"

namespace {

using Clock = std::chrono::steady_clock;

struct RateCode {
    unsigned rate;
    speed_t code;
};

// Rates the classic termios table has; the others go through termios2.
constexpr RateCode kRates[] = {
    {110, B110},       {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},
    {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool StandardRate(unsigned rate, speed_t& code) {
    for (const RateCode& entry : kRates) {
        if (entry.rate == rate) {
            code = entry.code;
            return true;
        }
    }
    return false;
}

int MillisLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1'000'000'000));
}

// Rounds up so that a time-out never ends early.
int MillisLeftCeil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    return MillisLeft(deadline) + 1;
}

}  // namespace

CSerialDevice::CSerialDevice() = default;

CSerialDevice::~CSerialDevice() {
    Close();
}

bool CSerialDevice::Open(const std::string& path) {
    // Without its wake-up a pending read could not be ended: no port then.
    if (m_fd >= 0 || path.empty() || !m_wake.Ensure()) {
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    // The lock is what keeps two opens apart, root included; TIOCEXCL adds the terminal's own
    // exclusivity for programs that do not lock.
    if (!::isatty(fd) || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    if (::ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY && errno != EINVAL) {
        ::flock(fd, LOCK_UN);
        ::close(fd);
        return false;
    }
    struct termios tio {};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    m_fd = fd;
    m_wake.Drain();
    return true;
}

bool CSerialDevice::Close() {
    if (m_fd < 0) {
        return false;
    }
    // The exclusive flag belongs to the terminal, not to this descriptor.
    ::ioctl(m_fd, TIOCNXCL);
    ::flock(m_fd, LOCK_UN);
    const int fd = m_fd;
    m_fd = -1;
    return ::close(fd) == 0;
}

bool CSerialDevice::GetLine(SerialLine& line) const {
    struct termios tio {};
    if (m_fd < 0 || ::tcgetattr(m_fd, &tio) != 0) {
        return false;
    }
    switch (tio.c_cflag & CSIZE) {
        case CS5:
            line.dataBits = 5;
            break;
        case CS6:
            line.dataBits = 6;
            break;
        case CS7:
            line.dataBits = 7;
            break;
        default:
            line.dataBits = 8;
            break;
    }
    if ((tio.c_cflag & PARENB) == 0) {
        line.parity = 0;
    } else if ((tio.c_cflag & CMSPAR) != 0) {
        line.parity = (tio.c_cflag & PARODD) != 0 ? 3 : 4;
    } else {
        line.parity = (tio.c_cflag & PARODD) != 0 ? 1 : 2;
    }
    line.stopBits = (tio.c_cflag & CSTOPB) != 0 ? 2 : 0;
    unsigned rate = 0;
    if (!GetSpeed2(m_fd, rate)) {
        return false;
    }
    line.rate = rate;
    return true;
}

bool CSerialDevice::SetLine(const SerialLine& line) {
    struct termios tio {};
    if (m_fd < 0 || ::tcgetattr(m_fd, &tio) != 0) {
        return false;
    }
    tcflag_t size = 0;
    switch (line.dataBits) {
        case 5:
            size = CS5;
            break;
        case 6:
            size = CS6;
            break;
        case 7:
            size = CS7;
            break;
        case 8:
            size = CS8;
            break;
        default:
            return false;  // a tty has no 4-bit characters
    }
    tcflag_t parity = 0;
    switch (line.parity) {
        case 0:
            break;
        case 1:
            parity = PARENB | PARODD;
            break;
        case 2:
            parity = PARENB;
            break;
        case 3:
            parity = PARENB | CMSPAR | PARODD;
            break;
        case 4:
            parity = PARENB | CMSPAR;
            break;
        default:
            return false;
    }
    tcflag_t stop = 0;
    switch (line.stopBits) {
        case 0:
            break;
        case 2:
            stop = CSTOPB;
            break;
        default:
            return false;  // no 1.5 stop bits on a tty
    }
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    tio.c_cflag |= size | parity | stop;
    speed_t code = 0;
    const bool standard = StandardRate(line.rate, code);
    if (standard && (::cfsetispeed(&tio, code) != 0 || ::cfsetospeed(&tio, code) != 0)) {
        return false;
    }
    // tcsetattr reports success when any part was taken, so the result is judged by reading
    // the line back.
    ::tcsetattr(m_fd, TCSANOW, &tio);
    if (!standard && !SetSpeed2(m_fd, line.rate)) {
        return false;
    }
    SerialLine actual;
    return GetLine(actual) && actual == line;
}

bool CSerialDevice::SetQueueSizes(std::size_t, std::size_t) {
    return m_fd >= 0;
}

bool CSerialDevice::SetTimeouts(const SerialTimeouts& timeouts) {
    if (m_fd < 0) {
        return false;
    }
    std::lock_guard lock(m_mutex);
    m_timeouts = timeouts;
    return true;
}

SerialTimeouts CSerialDevice::Timeouts() const {
    std::lock_guard lock(m_mutex);
    return m_timeouts;
}

bool CSerialDevice::Purge(unsigned flags) {
    if (m_fd < 0) {
        return false;
    }
    bool ok = true;
    if ((flags & kPurgeRxAbort) != 0) {
        Wake();
    }
    // Writes are synchronous on their caller's thread, so there is no pending write to abort.
    const bool rx = (flags & kPurgeRxClear) != 0;
    const bool tx = (flags & kPurgeTxClear) != 0;
    if (rx || tx) {
        ok = ::tcflush(m_fd, rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH)) == 0;
    }
    return ok;
}

std::size_t CSerialDevice::ReadChunk(char* buffer, std::size_t size, int gapMs, bool* broken) {
    *broken = false;
    if (m_fd < 0 || size == 0) {
        return 0;
    }
    Clock::time_point lastByte{};
    std::size_t got = 0;
    while (got < size) {
        int timeout = -1;  // the first byte is waited for as long as it takes
        if (got > 0) {
            timeout = MillisLeftCeil(lastByte + std::chrono::milliseconds(gapMs));
            if (timeout == 0) {
                break;
            }
        }
        struct pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wake.Fd(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeout);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            *broken = true;
            break;
        }
        if (ready == 0) {
            continue;  // the loop head sees that the gap has passed
        }
        if ((fds[1].revents & POLLIN) != 0) {
            m_wake.Drain();
            break;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            const ssize_t n = ::read(m_fd, buffer + got, size - got);
            if (n > 0) {
                got += static_cast<std::size_t>(n);
                lastByte = Clock::now();
                if (buffer[got - 1] == '\n') {
                    break;  // a reply line is complete: no reason to wait for more
                }
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
            *broken = true;  // end of file or an error
            break;
        }
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            *broken = true;
            break;
        }
    }
    return got;
}

SerialWrite CSerialDevice::Write(const char* data, std::size_t size) {
    SerialWrite result;
    if (m_fd < 0) {
        result.broken = true;
        return result;
    }
    const SerialTimeouts t = Timeouts();
    const long long totalMs =
        static_cast<long long>(t.writeTotalPerByte) * static_cast<long long>(size) +
        t.writeTotalConst;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(totalMs);
    while (result.written < size) {
        const ssize_t n = ::write(m_fd, data + result.written, size - result.written);
        if (n > 0) {
            result.written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            result.broken = true;  // EIO, ENXIO: the device has gone
            break;
        }
        result.waited = true;
        int timeout = -1;
        if (totalMs > 0) {
            timeout = MillisLeftCeil(deadline);
            if (timeout == 0) {
                break;  // a slow line: what it has not taken by now is dropped, quietly
            }
        }
        struct pollfd pfd = {m_fd, POLLOUT, 0};
        if (::poll(&pfd, 1, timeout) < 0 && errno != EINTR) {
            result.broken = true;
            break;
        }
        if ((pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (pfd.revents & POLLOUT) == 0) {
            result.broken = true;
            break;
        }
    }
    return result;
}

void CSerialDevice::Wake() {
    m_wake.Signal();
}

bool CSerialDevice::WaitForWake(int ms) {
    struct pollfd pfd = {m_wake.Fd(), POLLIN, 0};
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const int ready = ::poll(&pfd, 1, MillisLeftCeil(deadline));
        if (ready > 0) {
            return m_wake.Drain();
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
}
