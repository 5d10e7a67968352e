#include "terminal/CByteLog.h"

#include <utility>

void CByteLog::Replace(std::string text) {
    m_strBytes = std::move(text);
    if (m_strBytes.size() > kLimit) {
        Trim();
    }
    m_bShowAfresh = true;
}

void CByteLog::Append(std::string_view text) {
    m_strBytes.append(text);
    if (m_strBytes.size() > kLimit) {
        Trim();
        m_bShowAfresh = true;
    }
}

CByteLog::Update CByteLog::TakeUnshown() {
    Update update;
    if (m_bShowAfresh) {
        m_shown.Reset();
        update.afresh = true;
        update.text = m_shown.Decode(m_strBytes);
    } else if (m_nShownBytes < m_strBytes.size()) {
        std::string_view tail = std::string_view(m_strBytes).substr(m_nShownBytes);
        // A CR LF split between two arrivals is still one line end.
        if (m_nShownBytes > 0 && m_strBytes[m_nShownBytes - 1] == '\r' && tail.front() == '\n') {
            tail.remove_prefix(1);
        }
        update.text = m_shown.Decode(tail);
    }
    m_nShownBytes = m_strBytes.size();
    m_bShowAfresh = false;
    return update;
}

void CByteLog::Trim() {
    // From the first line that starts after the cut.
    const std::size_t cut = m_strBytes.size() - kKeep;
    std::size_t start = m_strBytes.find_first_of("\r\n", cut);
    if (start != std::string::npos) {
        const bool crLf = m_strBytes[start] == '\r' && start + 1 < m_strBytes.size() &&
                          m_strBytes[start + 1] == '\n';
        start += crLf ? 2 : 1;
    }
    if (start == std::string::npos || start >= m_strBytes.size()) {
        // One line longer than what is kept: keep its end, from a character's first byte.
        start = cut;
        while (start < m_strBytes.size() &&
               (static_cast<unsigned char>(m_strBytes[start]) & 0xC0) == 0x80) {
            ++start;
        }
    }
    m_strBytes.erase(0, start);
}
