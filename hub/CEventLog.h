#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>

// One line per event, without a flood. Lines of one shape (the same text once quoted client
// text, bracketed addresses and numbers are set aside) are written kPerShape times within
// kWindow; the rest are counted, and the count comes out as one line once the window has passed
// (Flush, which the daemon calls while HasPending): "... and 19980 more like it in 10 s". So a
// client sending twenty thousand unknown headers, or reconnecting a thousand times, costs a few
// lines and a count. Link and start/stop events go through Always and are never held back.
// Lines go to the sink without their line end.
class CEventLog {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kWindow{10};
    static constexpr unsigned kPerShape = 3;
    // Shapes remembered at once; lines of further shapes are counted together.
    static constexpr std::size_t kMaxShapes = 64;

    explicit CEventLog(std::function<void(const std::string&)> sink) : m_sink(std::move(sink)) {}

    void Log(const std::string& line, Clock::time_point now = Clock::now());
    // A change of state the operator must see when it happens (the link came or went): never
    // held back. Such events come at most every few seconds.
    void Always(const std::string& line) { m_sink(line); }
    // Writes the counts of shapes whose window has passed (all of them with `all`) and
    // forgets those shapes.
    void Flush(Clock::time_point now = Clock::now(), bool all = false);
    bool HasPending() const { return !m_recent.empty(); }
    // Called whenever a shape starts being remembered, so that the owner can arrange a Flush.
    void OnPending(std::function<void()> onPending) { m_onPending = std::move(onPending); }

    // The shape a line is counted under.
    static std::string ShapeOf(const std::string& line);

  private:
    struct Recent {
        Clock::time_point first;
        unsigned written = 0;
        unsigned long held = 0;
        std::string firstHeld;
    };

    std::function<void(const std::string&)> m_sink;
    std::function<void()> m_onPending;
    std::map<std::string, Recent> m_recent;
};
