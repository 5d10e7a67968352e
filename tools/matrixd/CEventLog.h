#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>

// One line per event, without a flood: a line that was written within the last kWindow is not
// written again but counted, and the count comes out as one line once the window has passed
// (Flush, which the daemon calls while HasPending). So a client reconnecting a thousand times
// costs two lines and a count, however its events interleave with others. Lines go to the
// sink without their line end.
class CEventLog {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kWindow{10};
    // Lines remembered at once; past that, lines are written as they come.
    static constexpr std::size_t kMaxRemembered = 64;

    explicit CEventLog(std::function<void(const std::string&)> sink) : m_sink(std::move(sink)) {}

    void Log(const std::string& line, Clock::time_point now = Clock::now());
    // A change of state the operator must see when it happens (the link came or went): never
    // held back. Such events come at most every few seconds.
    void Always(const std::string& line) { m_sink(line); }
    // Writes the counts of lines whose window has passed (all of them with `all`) and forgets
    // those lines.
    void Flush(Clock::time_point now = Clock::now(), bool all = false);
    bool HasPending() const { return !m_recent.empty(); }
    // Called whenever a line starts being remembered, so that the owner can arrange a Flush.
    void OnPending(std::function<void()> onPending) { m_onPending = std::move(onPending); }

  private:
    struct Recent {
        Clock::time_point first;
        unsigned long repeats = 0;
    };

    std::function<void(const std::string&)> m_sink;
    std::function<void()> m_onPending;
    std::map<std::string, Recent> m_recent;
};
