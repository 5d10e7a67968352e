#include "hub/core/CommandQueue.h"

#include <algorithm>
#include <utility>

CCommandQueue::CCommandQueue(Settings settings, Events events)
    : m_settings(std::move(settings)), m_events(std::move(events)) {}

CCommandQueue::Submitted CCommandQueue::Submit(ClientId client,
                                               const std::vector<std::string>& commands) {
    if (!Present()) {
        return Submitted::Absent;
    }
    auto& queue = m_waiting[client];
    if (!queue.empty() && queue.size() + commands.size() > kMaxPerClient) {
        return Submitted::Full;
    }
    if (commands.empty()) {
        if (queue.empty()) {
            m_waiting.erase(client);
        }
        return Submitted::Queued;
    }
    if (queue.empty()) {
        m_turns.push_back(client);
    }
    queue.insert(queue.end(), commands.begin(), commands.end());
    m_events.wake();
    return Submitted::Queued;
}

bool CCommandQueue::HasRoom(ClientId client) const {
    const auto found = m_waiting.find(client);
    return found == m_waiting.end() || found->second.size() < kMaxPerClient;
}

std::size_t CCommandQueue::Waiting() const {
    std::size_t count = 0;
    for (const auto& [client, queue] : m_waiting) {
        count += queue.size();
    }
    return count;
}

void CCommandQueue::LinkUp(Clock::time_point now) {
    m_bLinkUp = true;
    m_bPresent = true;
    m_nMisses = 0;
    m_bInFlight = false;
    m_lines.Clear();
    m_lastLine = m_lastByte = m_readyAt = now;
    m_events.wake();
}

std::size_t CCommandQueue::LinkDown() {
    m_bLinkUp = false;
    m_bInFlight = false;
    return DropAll();
}

std::size_t CCommandQueue::DropAll() {
    std::size_t dropped = 0;
    std::vector<ClientId> full;
    for (const auto& [client, queue] : m_waiting) {
        dropped += queue.size();
        if (queue.size() >= kMaxPerClient) {
            full.push_back(client);
        }
    }
    m_waiting.clear();
    m_turns.clear();
    for (ClientId client : full) {
        m_events.room(client);
    }
    return dropped;
}

void CCommandQueue::Received(std::string_view bytes, Clock::time_point now) {
    if (!m_bLinkUp) {
        return;
    }
    m_lastByte = now;
    bool line = false;
    // Noise cut off as overlong is no answer.
    m_lines.Feed(bytes, [&](std::string_view, bool overlong) { line = line || !overlong; });
    if (!line) {
        return;
    }
    m_lastLine = now;
    m_nMisses = 0;
    if (m_bInFlight && !m_bAnswered) {
        m_bAnswered = true;
        m_answeredAt = now;
    }
    if (!m_bPresent) {
        m_bPresent = true;
        m_events.presence(true, 0);
    }
    m_events.wake();
}

void CCommandQueue::Finish(Clock::time_point now) {
    m_bInFlight = false;
    m_readyAt = now + m_settings.gap;
}

void CCommandQueue::Run(Clock::time_point now) {
    if (!m_bLinkUp) {
        return;
    }
    if (m_bInFlight) {
        if (m_bAnswered) {
            if (now - m_lastByte >= m_settings.settle ||
                now - m_answeredAt >= m_settings.replyWait) {
                Finish(now);
            }
        } else if (now - m_sentAt >= m_settings.replyWait) {
            Finish(now);
            if (m_settings.repliesExpected && ++m_nMisses >= kMissesForAbsent && m_bPresent) {
                m_bPresent = false;
                m_events.presence(false, DropAll());
            }
        }
    }
    if (m_bInFlight || now < m_readyAt) {
        return;
    }
    if (!m_bPresent) {
        if (now - m_sentAt >= kAbsentProbe) {
            Send(kHubClient, m_settings.probe, now);
        }
        return;
    }
    if (!m_turns.empty()) {
        const ClientId client = m_turns.front();
        m_turns.pop_front();
        auto found = m_waiting.find(client);
        const bool wasFull = found->second.size() >= kMaxPerClient;
        const std::string command = std::move(found->second.front());
        found->second.pop_front();
        if (found->second.empty()) {
            m_waiting.erase(found);
        } else {
            m_turns.push_back(client);
        }
        Send(client, command, now);
        if (wasFull && HasRoom(client)) {
            m_events.room(client);
        }
        return;
    }
    if (m_settings.repliesExpected) {
        // A switcher that failed to answer the last time is asked again soon.
        const Millis idle = m_nMisses > 0 ? kAbsentProbe : kIdleProbe;
        if (now - std::max(m_lastLine, m_sentAt) >= idle) {
            Send(kHubClient, m_settings.probe, now);
        }
    }
}

void CCommandQueue::Send(ClientId client, const std::string& command, Clock::time_point now) {
    m_bInFlight = true;
    m_bAnswered = false;
    m_bProbe = client == kHubClient && command == m_settings.probe;
    m_sentAt = now;
    m_events.write(client, command);
}

std::optional<CCommandQueue::Clock::time_point> CCommandQueue::NextRun() const {
    if (!m_bLinkUp) {
        return std::nullopt;
    }
    if (m_bInFlight) {
        if (m_bAnswered) {
            return std::min(m_lastByte + m_settings.settle, m_answeredAt + m_settings.replyWait);
        }
        return m_sentAt + m_settings.replyWait;
    }
    if (!m_bPresent) {
        return std::max(m_readyAt, m_sentAt + kAbsentProbe);
    }
    if (!m_turns.empty()) {
        return m_readyAt;
    }
    if (!m_settings.repliesExpected) {
        return std::nullopt;
    }
    const Millis idle = m_nMisses > 0 ? kAbsentProbe : kIdleProbe;
    return std::max(m_readyAt, std::max(m_lastLine, m_sentAt) + idle);
}
