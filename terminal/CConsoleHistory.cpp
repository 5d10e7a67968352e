#include "terminal/CConsoleHistory.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <utility>

#include "terminal/ShownText.h"

namespace {

constexpr std::string_view kConnecting = "connecting";
constexpr std::string_view kLockedReply = "System Locked!";

std::int64_t SystemClockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string_view WithoutLineEnd(std::string_view bytes) {
    while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) {
        bytes.remove_suffix(1);
    }
    return bytes;
}

std::string TimeOfDay(std::int64_t msTime) {
    const std::time_t seconds = static_cast<std::time_t>(msTime / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[24];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d  ", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(msTime % 1000));
    return text;
}

// Characters (not bytes) in valid UTF-8.
std::size_t CharacterCount(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text) {
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return count;
}

}  // namespace

CConsoleHistory::CConsoleHistory(std::function<std::int64_t()> clockMs)
    : m_clock(clockMs ? std::move(clockMs) : SystemClockMs) {}

void CConsoleHistory::Changed(std::size_t number) {
    if (number < m_nChangedFrom) {
        m_nChangedFrom = number;
    }
}

std::size_t CConsoleHistory::TakeChangedFrom() {
    return std::exchange(m_nChangedFrom, EndNumber());
}

CConsoleHistory::Line& CConsoleHistory::Open(Kind kind) {
    if (!m_lines.empty() && !m_lines.back().complete) {
        // A reply line cut off by something else happening: it ends here.
        m_lines.back().complete = true;
    }
    Line line;
    line.kind = kind;
    line.msTime = m_clock();
    m_lines.push_back(std::move(line));
    Changed(EndNumber() - 1);
    return m_lines.back();
}

void CConsoleHistory::Grew(std::size_t bytes) {
    m_nBytes += bytes;
    if (m_nBytes <= kLimit) {
        return;
    }
    // The newest line always stays, however long.
    while (m_nBytes > kKeep && m_lines.size() > 1) {
        m_nBytes -= m_lines.front().bytes.size();
        m_lines.pop_front();
        ++m_nFirst;
    }
}

void CConsoleHistory::LineEnded(const Line& line) {
    const std::string_view text = WithoutLineEnd(line.bytes);
    if (text == kLockedReply) {
        m_lock = Lock::Locked;
    } else if (!text.empty()) {
        // Anything else the switcher answers means it took the command.
        m_lock = Lock::Unlocked;
    }
}

void CConsoleHistory::AddReceived(std::string_view bytes) {
    m_nReceived += bytes.size();
    std::size_t at = 0;
    // The LF of a CR LF split between two arrivals belongs to the line the CR ended.
    if (!bytes.empty() && bytes.front() == '\n' && !m_lines.empty()) {
        Line& last = m_lines.back();
        if (last.kind == Kind::Received && last.complete && !last.bytes.empty() &&
            last.bytes.back() == '\r') {
            last.bytes.push_back('\n');
            Changed(EndNumber() - 1);
            Grew(1);
            at = 1;
        }
    }
    while (at < bytes.size()) {
        Line* line =
            !m_lines.empty() && m_lines.back().kind == Kind::Received && !m_lines.back().complete
                ? &m_lines.back()
                : &Open(Kind::Received);
        Changed(EndNumber() - 1);
        const std::size_t room = kLineMax - std::min(kLineMax, line->bytes.size());
        std::size_t end = bytes.find_first_of("\r\n", at);
        bool ended = end != std::string_view::npos;
        if (ended) {
            end += bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n' ? 2 : 1;
        } else {
            end = bytes.size();
        }
        if (end - at > room) {
            end = at + room;
            ended = true;
        }
        line->bytes.append(bytes.substr(at, end - at));
        Grew(end - at);
        at = end;
        if (ended) {
            line->complete = true;
            LineEnded(*line);
        }
    }
}

void CConsoleHistory::AddLines(Kind kind, std::string_view text) {
    while (!text.empty()) {
        std::size_t end = text.find_first_of("\r\n");
        const std::string_view part = text.substr(0, end);
        if (end != std::string_view::npos) {
            end += text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1;
        }
        text.remove_prefix(end == std::string_view::npos ? text.size() : end);
        if (part.empty()) {
            continue;
        }
        const bool animation =
            kind == Kind::Status && part.substr(0, kConnecting.size()) == kConnecting;
        if (animation && !m_lines.empty() && m_lines.back().kind == Kind::Status &&
            m_lines.back().bytes.substr(0, kConnecting.size()) == kConnecting) {
            Line& last = m_lines.back();
            m_nBytes -= last.bytes.size();
            last.bytes.assign(part);
            Changed(EndNumber() - 1);
            Grew(part.size());
            continue;
        }
        Line& line = Open(kind);
        line.bytes.assign(part);
        line.complete = true;
        Grew(part.size());
    }
}

void CConsoleHistory::AddStatus(std::string_view text) {
    AddLines(Kind::Status, text);
}

void CConsoleHistory::AddNote(std::string_view text) {
    AddLines(Kind::Note, text);
}

void CConsoleHistory::AddSent(std::string_view bytes) {
    m_nSent += bytes.size();
    Line& line = Open(Kind::Sent);
    line.bytes.assign(bytes);
    line.complete = true;
    Grew(bytes.size());
}

void CConsoleHistory::Clear() {
    m_nFirst = EndNumber();
    m_lines.clear();
    m_nBytes = 0;
    m_nChangedFrom = m_nFirst;
}

std::string CConsoleHistory::ReceivedStream() const {
    std::string stream;
    for (const Line& line : m_lines) {
        if (line.kind == Kind::Received) {
            stream += line.bytes;
        }
    }
    return stream;
}

std::string CConsoleHistory::Render(const Line& line, const ViewOptions& options) {
    std::string shown = options.timestamps ? TimeOfDay(line.msTime) : std::string();
    if (line.kind == Kind::Sent) {
        shown += "> ";
    }
    CShownText decoder;
    std::string text = decoder.Decode(WithoutLineEnd(line.bytes));
    // A line end inside a sent text would split the console's line in two.
    for (char& c : text) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    if (options.hex && line.kind == Kind::Received) {
        const std::size_t width = CharacterCount(text);
        text.append(width < kHexColumn ? kHexColumn - width : 0, ' ');
        text += "  ";
        static constexpr char kDigits[] = "0123456789ABCDEF";
        for (std::size_t k = 0; k < line.bytes.size(); ++k) {
            const auto byte = static_cast<unsigned char>(line.bytes[k]);
            if (k > 0) {
                text.push_back(' ');
            }
            text.push_back(kDigits[byte >> 4]);
            text.push_back(kDigits[byte & 0x0F]);
        }
    }
    return shown + text;
}

int CConsoleHistory::AsciiRenderedLength(const Line& line, const ViewOptions& options) {
    const std::string_view text = WithoutLineEnd(line.bytes);
    for (const char c : line.bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80) {
            return -1;
        }
    }
    std::size_t length = (options.timestamps ? 14 : 0) + (line.kind == Kind::Sent ? 2 : 0);
    if (options.hex && line.kind == Kind::Received) {
        const std::size_t bytes = line.bytes.size();
        length += std::max(text.size(), kHexColumn) + 2 + (bytes > 0 ? 3 * bytes - 1 : 0);
    } else {
        length += text.size();
    }
    return static_cast<int>(length);
}

std::string CConsoleHistory::RenderAll(const ViewOptions& options) const {
    std::string all;
    for (const Line& line : m_lines) {
        if (Shown(line, options)) {
            all += Render(line, options);
            all.push_back('\n');
        }
    }
    return all;
}
