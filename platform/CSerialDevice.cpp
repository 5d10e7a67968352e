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

// Whether a read that followed poll found the line gone. With VMIN = VTIME = 0 a read returns 0
// whenever nothing is queued, also after POLLIN when a purge emptied the input in between: only
// the poll's hang-up or error, or the read's EIO or ENXIO, mean a lost line. (POLLNVAL too: a
// descriptor that is not open any more has nothing to give.)
bool LineLost(short revents, ssize_t n, int error) {
    if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        return n <= 0;
    }
    return n < 0 && (error == EIO || error == ENXIO);
}

// Bytes the tty still holds for the line; 0 when the driver cannot tell.
std::size_t OutputQueued(int fd) {
    int queued = 0;
    if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued < 0) {
        return 0;
    }
    return static_cast<std::size_t>(queued);
}

// How often a write looks whether its bytes have left the output queue.
constexpr int kDrainStepMs = 2;

}  // namespace

int TwoCharactersMs(const SerialLine& line) {
    if (line.rate == 0) {
        return 0;
    }
    // In half bits, so that 1.5 stop bits count exactly.
    const unsigned stopHalfBits = line.stopBits == 1 ? 3 : line.stopBits == 2 ? 4 : 2;
    const unsigned halfBits = 2 * (1 + line.dataBits + (line.parity != 0 ? 1 : 0)) + stopHalfBits;
    // Twice the character's time in ms, rounded up: 2 * (halfBits / 2) * 1000 / rate.
    return static_cast<int>((1000ULL * halfBits + line.rate - 1) / line.rate);
}

SerialTimeouts WriteTimeoutsFor(const SerialLine& line) {
    constexpr int kFloorPerByteMs = 10;
    constexpr int kConstMs = 100;
    return {std::max(TwoCharactersMs(line), kFloorPerByteMs), kConstMs};
}

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
        // Whatever the port was left with, flow control could hold writes back for ever (no
        // CTS from a three-wire cable, an XOFF in the replies).
        tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
        tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
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
        ssize_t n = 0;
        if ((fds[0].revents & POLLIN) != 0) {
            n = ::read(m_fd, buffer + got, size - got);
            if (n > 0) {
                got += static_cast<std::size_t>(n);
                lastByte = Clock::now();
                if (buffer[got - 1] == '\n') {
                    break;  // a reply line is complete: no reason to wait for more
                }
                continue;
            }
        }
        if (LineLost(fds[0].revents, n, errno)) {
            *broken = true;
            break;
        }
    }
    return got;
}

std::size_t CSerialDevice::ReadAvailable(char* buffer, std::size_t size, bool* broken) {
    *broken = false;
    if (m_fd < 0 || size == 0) {
        return 0;
    }
    struct pollfd fd = {m_fd, POLLIN, 0};
    while (::poll(&fd, 1, 0) < 0) {
        if (errno != EINTR) {
            *broken = true;
            return 0;
        }
    }
    ssize_t n = 0;
    if ((fd.revents & POLLIN) != 0) {
        do {
            n = ::read(m_fd, buffer, size);
        } while (n < 0 && errno == EINTR);
        if (n > 0) {
            return static_cast<std::size_t>(n);
        }
    }
    *broken = LineLost(fd.revents, n, errno);
    return 0;
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
    // Waits up to the deadline (or a step) for the line; false once the time is up or the line
    // failed.
    const auto waitFor = [&](short events, int stepMs) {
        int timeout = stepMs;
        if (totalMs > 0) {
            timeout = MillisLeftCeil(deadline);
            if (timeout == 0) {
                return false;
            }
            if (stepMs >= 0) {
                timeout = std::min(timeout, stepMs);
            }
        }
        struct pollfd pfd = {m_fd, events, 0};
        if (::poll(&pfd, 1, timeout) < 0 && errno != EINTR) {
            result.broken = true;
            return false;
        }
        if ((pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (pfd.revents & POLLOUT) == 0) {
            result.broken = true;
            return false;
        }
        return true;
    };

    std::size_t taken = 0;  // bytes the tty has accepted
    while (taken < size) {
        const ssize_t n = ::write(m_fd, data + taken, size - taken);
        if (n > 0) {
            taken += static_cast<std::size_t>(n);
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
        if (!waitFor(POLLOUT, -1)) {
            break;
        }
    }
    if (result.broken) {
        result.written = taken;
        return result;
    }
    // Taken is not sent: the bytes wait in the tty's output queue until the line has carried
    // them, so the write is done only once that queue is empty. A pseudo-terminal reports an
    // empty queue at once (what it takes is with its peer already).
    std::size_t queued = OutputQueued(m_fd);
    while (queued > 0 && waitFor(0, kDrainStepMs)) {
        queued = OutputQueued(m_fd);
    }
    if (result.broken) {
        result.written = taken;
        return result;
    }
    if (queued > 0 && queued <= taken) {
        // Cut off by the time-out. The queue is first in, first out, so when it holds no more
        // than this write took, all of it is this write's own tail: that, and only that, is
        // dropped. (A queue holding more than that would hold earlier writes too; it is left
        // alone. So is one the driver reports as empty, as a pseudo-terminal's: flushing that
        // would throw away what its peer has not read yet, earlier writes included.)
        if (::tcflush(m_fd, TCOFLUSH) == 0) {
            taken -= queued;
        }
    }
    result.written = taken;
    return result;
}

std::size_t CSerialDevice::WriteAvailable(const char* data, std::size_t size, bool* broken) {
    *broken = m_fd < 0;
    std::size_t taken = 0;
    while (!*broken && taken < size) {
        const ssize_t n = ::write(m_fd, data + taken, size - taken);
        if (n > 0) {
            taken += static_cast<std::size_t>(n);
        } else if (n == 0 || errno == EAGAIN) {
            break;
        } else if (errno != EINTR) {
            *broken = true;
        }
    }
    return taken;
}

void CSerialDevice::Wake() {
    m_wake.Signal();
}
