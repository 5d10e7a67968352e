#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

// Reply bytes from a link's reader thread, cut into lines for the main thread. A line ends at
// a line feed; the carriage return before it is dropped, as the panel's reader drops it.
class CReplyCollector {
  public:
    using Clock = std::chrono::steady_clock;

    // Reader thread: bytes as they came, in chunks of any size.
    void Add(std::string_view bytes);
    // Reader thread: nothing more will come. reason tells why (empty when the link was closed
    // on purpose).
    void End(std::string reason);

    // The next complete line, waiting for it until deadline. Nothing once the deadline has
    // passed, or once the link has ended and every line has been taken.
    std::optional<std::string> NextLine(Clock::time_point deadline);
    // What came after the last line end (a line the peer did not finish), handed out once.
    std::string TakeRest();

    bool Ended() const;
    std::string EndReason() const;

  private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::string> m_lines;
    std::string m_partial;
    bool m_ended = false;
    std::string m_endReason;
};
