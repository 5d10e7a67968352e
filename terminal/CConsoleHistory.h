#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

// What the operator's console keeps: every reply line, every status text and note of the
// terminal view on a line of its own, and what was sent, each line stamped with the time its
// first byte came. Unlike the reply box, nothing here is replaced by a status text. Bounded as
// the reply box is; counts the bytes received and sent, and follows the switcher's lock state
// as its replies report it. Rendering a line is done here too, so that the widget only shows.
class CConsoleHistory {
  public:
    enum class Kind { Received, Status, Note, Sent };
    enum class Lock { Unknown, Locked, Unlocked };

    struct Line {
        Kind kind = Kind::Received;
        std::int64_t msTime = 0;  // milliseconds since the epoch
        std::string bytes;        // exactly as they came, line end included
        bool complete = false;    // a received line still waiting for its end is not
    };

    struct ViewOptions {
        bool timestamps = false;
        bool hex = false;
        bool echo = true;
    };

    // The lines keep at most this many bytes; the oldest go first, well below it at a time.
    static constexpr std::size_t kLimit = std::size_t{1} << 20;
    static constexpr std::size_t kKeep = kLimit / 4 * 3;
    // A received line with no end in sight is cut here, so that one line stays cheap to show.
    static constexpr std::size_t kLineMax = 512;
    // Where the hexadecimal bytes start, in characters of the line's text.
    static constexpr std::size_t kHexColumn = 28;

    explicit CConsoleHistory(std::function<std::int64_t()> clockMs = {});

    void AddReceived(std::string_view bytes);
    // A text that replaced the reply box; one line per line of it. The connecting animation
    // changes its one line instead of adding one per second.
    void AddStatus(std::string_view text);
    // A text the terminal view appended itself (a line setting's result).
    void AddNote(std::string_view text);
    void AddSent(std::string_view bytes);
    void Clear();

    // Lines are numbered from the first ever added; the oldest kept one is FirstNumber().
    std::size_t FirstNumber() const { return m_nFirst; }
    std::size_t EndNumber() const { return m_nFirst + m_lines.size(); }
    const Line& At(std::size_t number) const { return m_lines[number - m_nFirst]; }

    // The lowest line number added or changed since the last call (EndNumber() when none):
    // a widget shows again from there. Lines before FirstNumber() are gone.
    std::size_t TakeChangedFrom();

    std::uint64_t ReceivedBytes() const { return m_nReceived; }
    std::uint64_t SentBytes() const { return m_nSent; }
    Lock LockState() const { return m_lock; }

    // Every kept received byte, in order, exactly as it came.
    std::string ReceivedStream() const;
    // One line as the console shows it (valid UTF-8, no line end); empty for a hidden echo.
    static std::string Render(const Line& line, const ViewOptions& options);
    static bool Shown(const Line& line, const ViewOptions& options) {
        return options.echo || line.kind != Kind::Sent;
    }
    // How many characters Render gives for a line of plain ASCII, without rendering it (the
    // console's widget measures a flood of lines by this); -1 for any other line.
    static int AsciiRenderedLength(const Line& line, const ViewOptions& options);
    // Every shown line, each ended by "\n".
    std::string RenderAll(const ViewOptions& options) const;

  private:
    void AddLines(Kind kind, std::string_view text);
    Line& Open(Kind kind);
    void Changed(std::size_t number);
    void Grew(std::size_t bytes);
    void LineEnded(const Line& line);

    std::function<std::int64_t()> m_clock;
    std::deque<Line> m_lines;
    std::size_t m_nFirst = 0;
    std::size_t m_nChangedFrom = 0;
    std::size_t m_nBytes = 0;
    std::uint64_t m_nReceived = 0;
    std::uint64_t m_nSent = 0;
    Lock m_lock = Lock::Unknown;
};
