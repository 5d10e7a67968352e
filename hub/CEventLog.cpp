#include "hub/CEventLog.h"

namespace {

// The bucket for lines of shapes beyond kMaxShapes.
const std::string kOtherShapes = "\x01other";

}  // namespace

std::string CEventLog::ShapeOf(const std::string& line) {
    std::string shape;
    for (std::size_t at = 0; at < line.size();) {
        const char c = line[at];
        const char close = c == '\'' ? '\'' : c == '[' ? ']' : '\0';
        if (close != '\0') {
            const std::size_t end = line.find(close, at + 1);
            if (end != std::string::npos) {
                shape += c;
                shape += close;
                at = end + 1;
                continue;
            }
        }
        if (c >= '0' && c <= '9') {
            shape += '#';
            while (at < line.size() && line[at] >= '0' && line[at] <= '9') {
                ++at;
            }
            continue;
        }
        shape += c;
        ++at;
    }
    return shape;
}

void CEventLog::Log(const std::string& line, Clock::time_point now) {
    Flush(now);
    std::string shape = ShapeOf(line);
    auto found = m_recent.find(shape);
    if (found == m_recent.end()) {
        if (m_recent.size() >= kMaxShapes) {
            shape = kOtherShapes;
            found = m_recent.find(shape);
        }
        if (found == m_recent.end()) {
            found = m_recent.emplace(shape, Recent{now, 0, 0, {}}).first;
            if (m_onPending) {
                m_onPending();
            }
        }
    }
    Recent& recent = found->second;
    if (shape != kOtherShapes && recent.written < kPerShape) {
        ++recent.written;
        m_sink(line);
        return;
    }
    if (recent.held++ == 0) {
        recent.firstHeld = line;
    }
}

void CEventLog::Flush(Clock::time_point now, bool all) {
    for (auto it = m_recent.begin(); it != m_recent.end();) {
        if (!all && now - it->second.first < kWindow) {
            ++it;
            continue;
        }
        const Recent& recent = it->second;
        if (recent.held > 0) {
            const std::string window = std::to_string(kWindow.count()) + " s";
            if (it->first == kOtherShapes) {
                m_sink(std::to_string(recent.held) + " more lines of other kinds in " + window +
                       ", such as: " + recent.firstHeld);
            } else if (recent.held == 1) {
                m_sink(recent.firstHeld);
            } else {
                m_sink(recent.firstHeld + " ... and " + std::to_string(recent.held - 1) +
                       " more like it in " + window);
            }
        }
        it = m_recent.erase(it);
    }
}
