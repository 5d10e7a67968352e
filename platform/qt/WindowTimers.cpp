#include "platform/qt/WindowTimers.h"

#include <QTimer>

WindowTimers::WindowTimers(QObject* owner, Handler handler)
    : QObject(owner), m_handler(std::move(handler)) {}

void WindowTimers::Start(int id, int milliseconds) {
    QTimer*& timer = m_timers[id];
    if (timer == nullptr) {
        timer = new QTimer(this);
        timer->setTimerType(Qt::PreciseTimer);
        connect(timer, &QTimer::timeout, this, [this, id] { m_handler(id); });
    }
    timer->start(milliseconds);
}

void WindowTimers::Stop(int id) {
    if (const auto it = m_timers.find(id); it != m_timers.end()) {
        it->second->stop();
    }
}

bool WindowTimers::IsActive(int id) const {
    const auto it = m_timers.find(id);
    return it != m_timers.end() && it->second->isActive();
}

int WindowTimers::Interval(int id) const {
    const auto it = m_timers.find(id);
    return it != m_timers.end() ? it->second->interval() : -1;
}
