#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "terminal/ShownText.h"

// The terminal's log as bytes (CR LF stays CR LF), bounded, and what a text widget needs to
// show it: the new end since it last asked, or everything afresh once the text it has is no
// longer a start of the log. No widget here; the view decides when the widget catches up.
class CByteLog {
  public:
    // The log keeps at most this much of the newest text; older whole lines are dropped.
    static constexpr std::size_t kLimit = std::size_t{1} << 20;
    // What is kept once the log has grown past its limit: well below the limit, so that each
    // trim (and the widget shown afresh) is paid for by a quarter of the limit in new text.
    static constexpr std::size_t kKeep = kLimit / 4 * 3;

    const std::string& Bytes() const { return m_strBytes; }
    std::size_t Size() const { return m_strBytes.size(); }

    void Replace(std::string text);
    void Append(std::string_view text);

    // How much of the log the widget has been given.
    std::size_t ShownBytes() const { return m_nShownBytes; }
    // The widget's text is no start of the log any more: it must be shown afresh.
    bool MustShowAfresh() const { return m_bShowAfresh; }
    bool HasUnshown() const { return m_bShowAfresh || m_nShownBytes < m_strBytes.size(); }

    // What the widget has not had yet, as UTF-8 to append (`afresh`: to replace its text).
    struct Update {
        bool afresh = false;
        std::string text;
    };
    Update TakeUnshown();

  private:
    void Trim();

    std::string m_strBytes;
    std::size_t m_nShownBytes = 0;
    bool m_bShowAfresh = false;
    CShownText m_shown;
};
