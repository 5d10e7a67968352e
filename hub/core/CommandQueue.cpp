#include "hub/core/CommandQueue.h"

#include <algorithm>
#include <utility>

CCommandQueue::CCommandQueue(Settings settings, Events events)
    : m_settings(std::move(settings)),
      m_events(std::move(events)),
      m_replyWait(m_settings.replyWait) {}

bool CCommandQueue::MergesWithWaiting(const QueuedCommand& command) const {
    if (!command.IsRoute() || m_routesWaiting.count(command.output) == 0) {
        return false;
    }
    for (const auto& [client, queue] : m_waiting) {
        for (const Entry& entry : queue) {
            if (command.Covers(entry.command)) {
                return true;
            }
        }
    }
    return false;
}

bool CCommandQueue::Merge(ClientId client, const QueuedCommand& command) {
    if (!MergesWithWaiting(command)) {
        return false;
    }
    // The first route it covers takes its place; any other it covers goes.
    bool placed = false;
    int removed = 0;
    for (auto& [owner, queue] : m_waiting) {
        for (auto it = queue.begin(); it != queue.end();) {
            if (!command.Covers(it->command)) {
                ++it;
            } else if (!placed) {
                *it = Entry{client, command, 0};
                placed = true;
                ++it;
            } else {
                it = queue.erase(it);
                ++removed;
            }
        }
    }
    if (removed > 0) {
        if ((m_routesWaiting[command.output] -= removed) <= 0) {
            m_routesWaiting.erase(command.output);
        }
        for (auto it = m_waiting.begin(); it != m_waiting.end();) {
            if (it->second.empty()) {
                m_turns.erase(std::remove(m_turns.begin(), m_turns.end(), it->first),
                              m_turns.end());
                it = m_waiting.erase(it);
            } else {
                ++it;
            }
        }
    }
    return true;
}

CCommandQueue::Submitted CCommandQueue::Submit(ClientId client,
                                               const std::vector<QueuedCommand>& commands) {
    if (!Present()) {
        return Submitted::Absent;
    }
    std::vector<const QueuedCommand*> added;
    for (const QueuedCommand& command : commands) {
        if (!MergesWithWaiting(command)) {
            added.push_back(&command);
        }
    }
    const auto found = m_waiting.find(client);
    const std::size_t waiting = found == m_waiting.end() ? 0 : found->second.size();
    if (waiting > 0 && waiting + added.size() > kMaxPerClient) {
        return Submitted::Full;
    }
    for (const QueuedCommand& command : commands) {
        if (Merge(client, command)) {
            continue;
        }
        auto& queue = m_waiting[client];
        if (queue.empty()) {
            m_turns.push_back(client);
        }
        queue.push_back(Entry{client, command, 0});
        if (command.IsRoute()) {
            ++m_routesWaiting[command.output];
        }
    }
    if (!commands.empty()) {
        m_events.wake();
    }
    return Submitted::Queued;
}

bool CCommandQueue::HasRoom(ClientId client) const {
    const auto found = m_waiting.find(client);
    return found == m_waiting.end() || found->second.size() < kMaxPerClient;
}

std::size_t CCommandQueue::Waiting() const {
    std::size_t count = m_resends.size();
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
    std::size_t dropped = Waiting();
    std::vector<ClientId> full;
    for (const auto& [client, queue] : m_waiting) {
        if (queue.size() >= kMaxPerClient) {
            full.push_back(client);
        }
    }
    m_waiting.clear();
    m_turns.clear();
    m_routesWaiting.clear();
    m_resends.clear();
    m_unconfirmed.clear();
    for (ClientId client : full) {
        m_events.room(client);
    }
    return dropped;
}

bool CCommandQueue::Answers(std::string_view line, Clock::time_point now) {
    const auto late =
        std::find_if(m_unconfirmed.begin(), m_unconfirmed.end(),
                     [&](const Unconfirmed& sent) { return line == sent.entry.command.echo; });
    if (late == m_unconfirmed.end()) {
        return true;
    }
    // The switcher carried it out after all, only later than the wait allowed: the next
    // commands wait longer.
    const auto took = std::chrono::ceil<Millis>(now - late->sentAt);
    const Millis wait = std::min(kMaxReplyWait, took + took / 2);
    if (wait > m_replyWait) {
        m_replyWait = wait;
        m_events.log("switcher: answers slower than --reply-wait (a reply came after " +
                     std::to_string(took.count()) + " ms); waiting up to " +
                     std::to_string(wait.count()) + " ms for replies from now on");
    }
    m_unconfirmed.erase(late);
    return false;
}

void CCommandQueue::SendLostAgain() {
    for (Unconfirmed& lost : std::exchange(m_unconfirmed, {})) {
        Entry& entry = lost.entry;
        if (m_routesWaiting.count(entry.command.output) != 0) {
            continue;  // a newer route to the output is on its way
        }
        if (entry.resends >= kMaxResends) {
            m_events.log("switcher: the route to output " + std::to_string(entry.command.output) +
                         " got no reply " + std::to_string(kMaxResends + 1) +
                         " times; not sent again");
            continue;
        }
        ++entry.resends;
        m_resends.push_back(std::move(entry));
    }
}

void CCommandQueue::Received(std::string_view bytes, Clock::time_point now) {
    if (!m_bLinkUp) {
        return;
    }
    m_lastByte = now;
    bool line = false;
    bool answer = false;
    bool echo = false;
    // Noise cut off as overlong is no answer.
    m_lines.Feed(bytes, [&](std::string_view text, bool overlong) {
        if (!overlong) {
            line = true;
            answer = Answers(text, now) || answer;
            echo = echo ||
                   (m_bInFlight && m_inFlight.command.IsRoute() && text == m_inFlight.command.echo);
        }
    });
    if (!line) {
        return;
    }
    m_lastLine = now;
    m_nMisses = 0;
    if (m_bInFlight && !m_bAnswered && answer) {
        m_bAnswered = true;
        m_bEchoed = echo;
        m_answeredAt = now;
        SendLostAgain();
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

// A route whose wait ran out is kept until the switcher shows whether it was late or lost.
void CCommandQueue::TimedOut() {
    const QueuedCommand& command = m_inFlight.command;
    if (!m_settings.repliesExpected || !command.IsRoute() || command.echo.empty()) {
        return;
    }
    if (m_unconfirmed.size() >= kMaxUnconfirmed) {
        m_unconfirmed.erase(m_unconfirmed.begin());
    }
    m_unconfirmed.push_back(Unconfirmed{std::move(m_inFlight), m_sentAt});
}

std::optional<CCommandQueue::Entry> CCommandQueue::Next() {
    while (!m_resends.empty() || !m_turns.empty()) {
        Entry entry;
        if (!m_resends.empty()) {
            entry = std::move(m_resends.front());
            m_resends.pop_front();
        } else {
            const ClientId owner = m_turns.front();
            m_turns.pop_front();
            auto found = m_waiting.find(owner);
            const bool wasFull = found->second.size() >= kMaxPerClient;
            entry = std::move(found->second.front());
            found->second.pop_front();
            if (found->second.empty()) {
                m_waiting.erase(found);
            } else {
                m_turns.push_back(owner);
            }
            if (entry.command.IsRoute()) {
                if (--m_routesWaiting[entry.command.output] <= 0) {
                    m_routesWaiting.erase(entry.command.output);
                }
            }
            if (wasFull && HasRoom(owner)) {
                m_events.room(owner);
            }
        }
        if (m_events.mayGo(entry.client, entry.command.text)) {
            return entry;
        }
    }
    return std::nullopt;
}

void CCommandQueue::Run(Clock::time_point now) {
    if (!m_bLinkUp) {
        return;
    }
    if (m_bInFlight) {
        if (m_bAnswered) {
            if (now - m_lastByte >= Settle() || now - m_answeredAt >= m_replyWait) {
                Finish(now);
            }
        } else if (now - m_sentAt >= m_replyWait) {
            Finish(now);
            TimedOut();
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
            Send(Entry{kHubClient, QueuedCommand(m_settings.probe), 0}, now);
        }
        return;
    }
    if (std::optional<Entry> entry = Next()) {
        Send(std::move(*entry), now);
        return;
    }
    if (m_settings.repliesExpected) {
        // A switcher that failed to answer the last time is asked again soon.
        const Millis idle = m_nMisses > 0 ? kAbsentProbe : kIdleProbe;
        if (now - std::max(m_lastLine, m_sentAt) >= idle) {
            Send(Entry{kHubClient, QueuedCommand(m_settings.probe), 0}, now);
        }
    }
}

void CCommandQueue::Send(Entry entry, Clock::time_point now) {
    m_bInFlight = true;
    m_bAnswered = false;
    m_bEchoed = false;
    m_bProbe = entry.client == kHubClient && entry.command.text == m_settings.probe;
    m_sentAt = now;
    if (entry.command.IsRoute()) {
        // Its reply settles the output: an older unconfirmed route to it is not to go again,
        // and that reply is not to be taken for the older one's late reply.
        const int output = entry.command.output;
        m_unconfirmed.erase(std::remove_if(m_unconfirmed.begin(), m_unconfirmed.end(),
                                           [&](const Unconfirmed& sent) {
                                               return sent.entry.command.output == output;
                                           }),
                            m_unconfirmed.end());
    }
    m_inFlight = std::move(entry);
    m_events.write(m_inFlight.client, m_inFlight.command.text);
}

std::optional<CCommandQueue::Clock::time_point> CCommandQueue::NextRun() const {
    if (!m_bLinkUp) {
        return std::nullopt;
    }
    if (m_bInFlight) {
        if (m_bAnswered) {
            return std::min(m_lastByte + Settle(), m_answeredAt + m_replyWait);
        }
        return m_sentAt + m_replyWait;
    }
    if (!m_bPresent) {
        return std::max(m_readyAt, m_sentAt + kAbsentProbe);
    }
    if (!m_turns.empty() || !m_resends.empty()) {
        return m_readyAt;
    }
    if (!m_settings.repliesExpected) {
        return std::nullopt;
    }
    const Millis idle = m_nMisses > 0 ? kAbsentProbe : kIdleProbe;
    return std::max(m_readyAt, std::max(m_lastLine, m_sentAt) + idle);
}
