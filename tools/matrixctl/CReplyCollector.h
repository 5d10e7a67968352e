#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "panel/ReplyLineReader.h"

// Reply bytes from a link's reader thread, cut into lines by the panel's reader and handed to
// the main thread as they complete. Memory stays bounded whatever the peer sends: a line is at
// most ReplyLineReader::kMaxLine bytes, and while kMaxQueued lines wait for the main thread the
// reader thread waits too (the peer's bytes stay in the kernel, where flow control holds them).
class CReplyCollector {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kMaxQueued = 64;

    struct Line {
        std::string text;  // without its line end
        bool cut = false;  // the line was longer than kMaxLine; this is its start
    };

    // Why Next returned no line.
    enum class Stop { None, Quiet, Deadline, Ended };

    // Reader thread: bytes as they came, in chunks of any size.
    void Add(std::string_view bytes);
    // Reader thread: nothing more will come. reason tells why (empty when the link was closed
    // on purpose).
    void End(std::string reason);

    // Main thread: the quiet time counts from now or from the last byte, whichever is later
    // (call it when a command has been sent).
    void Restart();
    // The next complete line. Without one: Quiet once `quiet` has passed since the last byte
    // (or the Restart) with nothing new, Deadline at `deadline`, Ended once the link has ended
    // and every line has been taken. No quiet limit when `quiet` is empty.
    std::optional<Line> Next(std::optional<std::chrono::milliseconds> quiet,
                             Clock::time_point deadline, Stop& stop);
    // A line already complete, without waiting.
    std::optional<Line> TryNext();
    // The link is being closed: the reader no longer waits for room, so that it can end.
    void Release();
    // The bytes after the last line end, and whether a line was under way at all (an overlong
    // one being dropped has no bytes left to show); the line is dropped.
    bool TakeUnfinished(std::string& fragment);
    // Drops the lines not taken yet and the line under way (answers no one waits for any more).
    void Discard();

    bool Ended() const;
    std::string EndReason() const;

  private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cvLine;  // a line, or the end
    std::condition_variable m_cvRoom;  // room in the queue, or released
    ReplyLineReader m_reader;
    std::deque<Line> m_lines;
    Clock::time_point m_lastByte = Clock::now();
    bool m_bReleased = false;
    bool m_bEnded = false;
    std::string m_strEndReason;
};
