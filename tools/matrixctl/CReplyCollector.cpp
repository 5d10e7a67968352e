#include "tools/matrixctl/CReplyCollector.h"

void CReplyCollector::Add(std::string_view bytes) {
    bool complete = false;
    {
        std::lock_guard lock(m_mutex);
        for (std::size_t end = bytes.find('\n'); end != std::string_view::npos;
             end = bytes.find('\n')) {
            m_partial.append(bytes.substr(0, end));
            bytes.remove_prefix(end + 1);
            if (!m_partial.empty() && m_partial.back() == '\r') {
                m_partial.pop_back();
            }
            m_lines.push_back(std::move(m_partial));
            m_partial.clear();
            complete = true;
        }
        m_partial.append(bytes);
    }
    if (complete) {
        m_cv.notify_all();
    }
}

void CReplyCollector::End(std::string reason) {
    {
        std::lock_guard lock(m_mutex);
        if (m_ended) {
            return;
        }
        m_ended = true;
        m_endReason = std::move(reason);
    }
    m_cv.notify_all();
}

std::optional<std::string> CReplyCollector::NextLine(Clock::time_point deadline) {
    std::unique_lock lock(m_mutex);
    m_cv.wait_until(lock, deadline, [this] { return !m_lines.empty() || m_ended; });
    if (m_lines.empty()) {
        return std::nullopt;
    }
    std::string line = std::move(m_lines.front());
    m_lines.pop_front();
    return line;
}

std::string CReplyCollector::TakeRest() {
    std::lock_guard lock(m_mutex);
    std::string rest = std::move(m_partial);
    m_partial.clear();
    if (!rest.empty() && rest.back() == '\r') {
        rest.pop_back();
    }
    return rest;
}

bool CReplyCollector::Ended() const {
    std::lock_guard lock(m_mutex);
    return m_ended;
}

std::string CReplyCollector::EndReason() const {
    std::lock_guard lock(m_mutex);
    return m_endReason;
}
