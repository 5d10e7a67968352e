#include "platform/WorkerThread.h"

WorkerThread::~WorkerThread() {
    Stop();
}

void WorkerThread::Start(Body body) {
    Stop();
    m_flags = std::make_shared<Flags>();
    m_flags->running.store(true);
    m_thread = std::thread([flags = m_flags, body = std::move(body)] {
        // A body may stop its own worker (a receiver run on this thread), which looks at
        // m_thread: wait until Start has finished writing it.
        flags->published.wait(false);
        body(*flags);
        flags->running.store(false);
    });
    m_flags->published.store(true);
    m_flags->published.notify_one();
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
