#include "tools/matrixd/CEventLog.h"

void CEventLog::Log(const std::string& line, Clock::time_point now) {
    Flush(now);
    if (const auto found = m_recent.find(line); found != m_recent.end()) {
        ++found->second.repeats;
        return;
    }
    if (m_recent.size() < kMaxRemembered) {
        m_recent.emplace(line, Recent{now, 0});
        if (m_onPending) {
            m_onPending();
        }
    }
    m_sink(line);
}

void CEventLog::Flush(Clock::time_point now, bool all) {
    for (auto it = m_recent.begin(); it != m_recent.end();) {
        if (!all && now - it->second.first < kWindow) {
            ++it;
            continue;
        }
        if (const unsigned long repeats = it->second.repeats; repeats > 0) {
            m_sink(it->first + " (" + std::to_string(repeats) + " more time" +
                   (repeats == 1 ? "" : "s") + " in " + std::to_string(kWindow.count()) + " s)");
        }
        it = m_recent.erase(it);
    }
}
