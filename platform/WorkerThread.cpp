#include "platform/WorkerThread.h"

WorkerThread::~WorkerThread() {
    Stop();
}

void WorkerThread::Start(Body body) {
    Stop();
    m_flags = std::make_shared<Flags>();
    m_flags->running.store(true);
    m_thread = std::thread([flags = m_flags, body = std::move(body)] {
        body(*flags);
        flags->running.store(false);
    });
}

void WorkerThread::Stop(const std::function<void()>& wake) {
    if (m_flags) {
        m_flags->stop.store(true);
    }
    if (wake) {
        wake();
    }
    if (!m_thread.joinable()) {
        return;
    }
    if (m_thread.get_id() == std::this_thread::get_id()) {
        m_thread.detach();
    } else {
        m_thread.join();
    }
}
