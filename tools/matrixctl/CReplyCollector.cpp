#include "tools/matrixctl/CReplyCollector.h"

void CReplyCollector::Add(std::string_view bytes) {
    bool complete = false;
    {
        std::unique_lock lock(m_mutex);
        m_cvRoom.wait(lock, [this] { return m_lines.size() < kMaxQueued || m_bReleased; });
        m_lastByte = Clock::now();
        // One chunk adds at most one line per byte it holds, so the queue stays bounded.
        m_reader.Feed(bytes, [&](std::string_view line, bool overlong) {
            m_lines.push_back(Line{std::string(line), overlong});
            complete = true;
        });
    }
    if (complete) {
        m_cvLine.notify_all();
    }
}

void CReplyCollector::End(std::string reason) {
    {
        std::lock_guard lock(m_mutex);
        if (m_bEnded) {
            return;
        }
        m_bEnded = true;
        m_strEndReason = std::move(reason);
    }
    m_cvLine.notify_all();
}

void CReplyCollector::Restart() {
    std::lock_guard lock(m_mutex);
    m_lastByte = Clock::now();
}

std::optional<CReplyCollector::Line> CReplyCollector::Next(
    std::optional<std::chrono::milliseconds> quiet, Clock::time_point deadline, Stop& stop) {
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (!m_lines.empty()) {
            Line line = std::move(m_lines.front());
            m_lines.pop_front();
            stop = Stop::None;
            lock.unlock();
            m_cvRoom.notify_all();
            return line;
        }
        if (m_bEnded) {
            stop = Stop::Ended;
            return std::nullopt;
        }
        // The quiet time restarts with every byte, also one that does not end a line: a slow
        // peer in the middle of a line is still answering.
        const auto now = Clock::now();
        const auto quietEnd = quiet ? m_lastByte + *quiet : Clock::time_point::max();
        if (now >= deadline) {
            stop = Stop::Deadline;
            return std::nullopt;
        }
        if (now >= quietEnd) {
            stop = Stop::Quiet;
            return std::nullopt;
        }
        m_cvLine.wait_until(lock, std::min(quietEnd, deadline));
    }
}

std::optional<CReplyCollector::Line> CReplyCollector::TryNext() {
    Stop stop = Stop::None;
    return Next(std::chrono::milliseconds(0), Clock::time_point::min(), stop);
}

void CReplyCollector::Release() {
    {
        std::lock_guard lock(m_mutex);
        m_bReleased = true;
    }
    m_cvRoom.notify_all();
}

bool CReplyCollector::TakeUnfinished(std::string& fragment) {
    std::lock_guard lock(m_mutex);
    fragment = m_reader.Pending();
    const bool unfinished = !fragment.empty() || m_reader.Skipping();
    m_reader.Clear();
    return unfinished;
}

void CReplyCollector::Discard() {
    {
        std::lock_guard lock(m_mutex);
        m_lines.clear();
        m_reader.Clear();
    }
    m_cvRoom.notify_all();
}

bool CReplyCollector::Ended() const {
    std::lock_guard lock(m_mutex);
    return m_bEnded;
}

std::string CReplyCollector::EndReason() const {
    std::lock_guard lock(m_mutex);
    return m_strEndReason;
}
