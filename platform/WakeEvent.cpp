#include "platform/WakeEvent.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

WakeEvent::WakeEvent() {
    Ensure();
}

WakeEvent::~WakeEvent() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

bool WakeEvent::Ensure() {
    if (m_fd < 0) {
        m_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    return m_fd >= 0;
}

void WakeEvent::Signal() {
    if (m_fd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_fd, &one, sizeof one);
    }
}

bool WakeEvent::Drain() {
    std::uint64_t count = 0;
    return m_fd >= 0 && ::read(m_fd, &count, sizeof count) == sizeof count;
}
