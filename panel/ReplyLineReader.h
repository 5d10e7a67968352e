#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

// Cuts the switcher's reply bytes into lines. The panel, matrixctl and matrixd read replies
// through this one reader, so they agree on where a line ends and what is too long to be one.
//
// A line ends at a line feed; the line feed and a carriage return before it are not part of
// the line. A line longer than kMaxLine bytes is noise (a wrong baud rate, a chatty device):
// its first kMaxLine bytes are handed out once, marked overlong, and the rest up to the next
// line feed is dropped. Memory stays bounded whatever arrives. Not thread-safe.
class ReplyLineReader {
  public:
    static constexpr std::size_t kMaxLine = 4096;

    // Calls onLine(std::string_view line, bool overlong) for every line completed by `bytes`,
    // and for an overlong line as soon as it passes the limit. The view lives until onLine
    // returns.
    template <class OnLine>
    void Feed(std::string_view bytes, OnLine&& onLine) {
        while (!bytes.empty()) {
            const void* found = std::memchr(bytes.data(), '\n', bytes.size());
            if (found == nullptr) {
                Hold(bytes, onLine);
                return;
            }
            const auto end =
                static_cast<std::size_t>(static_cast<const char*>(found) - bytes.data());
            const std::string_view head = bytes.substr(0, end);
            bytes.remove_prefix(end + 1);

            if (m_bSkipping) {
                m_bSkipping = false;  // the overlong line ends here; the next one is read
            } else if (m_strPending.empty()) {
                Complete(head, onLine);  // the common case: the whole line is here, read in place
            } else if (m_strPending.size() + head.size() <= kMaxHeld) {
                m_strPending.append(head);
                Complete(m_strPending, onLine);
            } else {
                m_strPending.append(head.substr(0, kMaxHeld - m_strPending.size()));
                onLine(std::string_view(m_strPending).substr(0, kMaxLine), true);
            }
            m_strPending.clear();
        }
    }

    // The start of a line that has not ended yet (empty while an overlong line is dropped).
    const std::string& Pending() const { return m_strPending; }
    // True while the rest of an overlong line is being dropped.
    bool Skipping() const { return m_bSkipping; }

    void Clear() {
        m_strPending.clear();
        m_bSkipping = false;
    }

  private:
    // A line may hold its text and its carriage return.
    static constexpr std::size_t kMaxHeld = kMaxLine + 1;

    static std::string_view WithoutCarriageReturn(std::string_view line) {
        return !line.empty() && line.back() == '\r' ? line.substr(0, line.size() - 1) : line;
    }

    template <class OnLine>
    static void Complete(std::string_view line, OnLine& onLine) {
        line = WithoutCarriageReturn(line);
        if (line.size() > kMaxLine) {
            onLine(line.substr(0, kMaxLine), true);
        } else {
            onLine(line, false);
        }
    }

    template <class OnLine>
    void Hold(std::string_view bytes, OnLine& onLine) {
        if (m_bSkipping) {
            return;
        }
        if (m_strPending.size() + bytes.size() <= kMaxHeld) {
            m_strPending.append(bytes);
            return;
        }
        m_strPending.append(bytes.substr(0, kMaxHeld - m_strPending.size()));
        onLine(std::string_view(m_strPending).substr(0, kMaxLine), true);
        m_strPending.clear();
        m_strPending.shrink_to_fit();
        m_bSkipping = true;
    }

    std::string m_strPending;
    bool m_bSkipping = false;
};
