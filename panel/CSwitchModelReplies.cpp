// Reply text of the switching model: cut into lines, each line read for the routes it names.
#include <cstring>

#include "panel/CSwitchModel.h"
#include "platform/LeadingInt.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view TrimLeft(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    return text;
}

std::string_view Trim(std::string_view text) {
    text = TrimLeft(text);
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// The carriage return of a CR LF line end; any other last character belongs to the line.
std::string_view WithoutCarriageReturn(std::string_view line) {
    return !line.empty() && line.back() == '\r' ? line.substr(0, line.size() - 1) : line;
}

}  // namespace

void CSwitchModel::ShowReply(std::string_view text) {
    FeedReply(text);
    m_effects.AppendReplyText(text);
}

void CSwitchModel::ClearReplyBuffer() {
    m_strReply.clear();
    m_bSkippingLine = false;
}

void CSwitchModel::FeedReply(std::string_view text) {
    // A line may hold its text and its CR; anything longer is noise and is skipped whole.
    constexpr std::size_t kMaxHeld = kMaxReplyLine + 1;
    while (!text.empty()) {
        const void* found = std::memchr(text.data(), '\n', text.size());
        if (found == nullptr) {
            if (!m_bSkippingLine) {
                if (m_strReply.size() + text.size() > kMaxHeld) {
                    m_strReply.clear();
                    m_strReply.shrink_to_fit();
                    m_bSkippingLine = true;
                } else {
                    m_strReply.append(text);
                }
            }
            return;
        }
        const auto end = static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
        const std::string_view head = text.substr(0, end);
        text.remove_prefix(end + 1);

        if (m_bSkippingLine) {
            m_bSkippingLine = false;  // the overlong line ends here; the next one is read
        } else if (m_strReply.empty()) {
            // The common case: the whole line is in this chunk, read it in place.
            if (head.size() <= kMaxHeld) {
                ParseReplyLine(WithoutCarriageReturn(head));
            }
        } else if (m_strReply.size() + head.size() <= kMaxHeld) {
            std::string line = std::move(m_strReply);
            line.append(head);
            m_strReply.clear();
            ParseReplyLine(WithoutCarriageReturn(line));
        }
        m_strReply.clear();
    }
}

void CSwitchModel::ParseReplyLine(std::string_view raw) {
    const std::string_view line = Trim(raw);
    if (line == "Demo Mode") {
        Light(kKeyDemo, true);
    } else if (line == "Normal Mode") {
        Light(kKeyDemo, false);
    } else if (m_layout == PanelLayout::Keypad) {
        // Too many keys to show routes on: only the demonstration state is read.
    } else if (line == "All Through.") {
        ShowAllThrough();
    } else {
        ParseRouteLine(line);
    }
}

namespace {

// Where the marks a route line is read by first occur. Found in one pass: reply lines are
// short and this runs for every line the switcher sends.
struct LineMarks {
    static constexpr std::size_t npos = std::string_view::npos;
    std::size_t to = npos;     // "To"
    std::size_t arrow = npos;  // "->"
    std::size_t colon = npos;  // ":"
    bool off = false;          // "OFF" anywhere
};

LineMarks FindMarks(std::string_view line) {
    LineMarks marks;
    const std::size_t n = line.size();
    for (std::size_t k = 0; k < n; ++k) {
        const char c = line[k];
        if (c != 'T' && c != '-' && c != ':' && c != 'O') {
            continue;  // most characters: one well-predicted test
        }
        switch (c) {
            case 'T':
                if (marks.to == LineMarks::npos && k + 1 < n && line[k + 1] == 'o') {
                    marks.to = k;
                }
                break;
            case '-':
                if (marks.arrow == LineMarks::npos && k + 1 < n && line[k + 1] == '>') {
                    marks.arrow = k;
                }
                break;
            case ':':
                if (marks.colon == LineMarks::npos) {
                    marks.colon = k;
                }
                break;
            case 'O':
                if (k + 2 < n && line[k + 1] == 'F' && line[k + 2] == 'F') {
                    marks.off = true;
                }
                break;
            default:
                break;
        }
    }
    return marks;
}

// The shape nearly every reply line has, "<AV|A|V>:<digits>-><digits>", read in one pass.
// Such a line holds no "To" and no "OFF", so it reads exactly as the general rules would read
// it; anything else (blanks, signs, long numbers, other words) takes the general path.
struct PlainRoute {
    std::string_view kind;
    int input = 0;
    int output = 0;
};

bool ReadDigits(std::string_view line, std::size_t& pos, int& value) {
    constexpr std::size_t kMaxDigits = 9;  // always fits an int
    const std::size_t start = pos;
    value = 0;
    while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9' && pos - start < kMaxDigits) {
        value = value * 10 + (line[pos] - '0');
        ++pos;
    }
    return pos > start && (pos == line.size() || line[pos] < '0' || line[pos] > '9');
}

bool ReadPlainRoute(std::string_view line, PlainRoute& route) {
    std::size_t pos = 0;
    if (line.size() > 3 && line[0] == 'A' && line[1] == 'V' && line[2] == ':') {
        pos = 3;
    } else if (line.size() > 2 && (line[0] == 'A' || line[0] == 'V') && line[1] == ':') {
        pos = 2;
    } else {
        return false;
    }
    route.kind = line.substr(0, pos - 1);
    if (!ReadDigits(line, pos, route.input) || line.size() - pos < 3 || line[pos] != '-' ||
        line[pos + 1] != '>') {
        return false;
    }
    pos += 2;
    return ReadDigits(line, pos, route.output) && pos == line.size();
}

}  // namespace

// Route lines: "<kind>:<input>-><output>", "<input> To All", or a line with "->" and "OFF".
void CSwitchModel::ParseRouteLine(std::string_view line) {
    if (PlainRoute plain; ReadPlainRoute(line, plain)) {
        ShowRoute(plain.kind, plain.output, plain.input);
        return;
    }
    const LineMarks marks = FindMarks(line);
    if (marks.to != LineMarks::npos) {
        const int input = LeadingInt(line.substr(0, marks.to));
        if (input < 1 || input > m_nInputCount) {
            return;
        }
        if (TrimLeft(line.substr(marks.to + 2)) == "All") {
            ShowInputToAll(input);
            return;
        }
    }
    if (marks.arrow == LineMarks::npos) {
        return;
    }
    const int output = LeadingInt(line.substr(marks.arrow + 2));
    if (marks.off) {
        if (output >= 1 && output <= m_nOutputCount) {
            ShowOutputOff(output);
        }
        return;
    }
    if (marks.colon == LineMarks::npos || marks.colon > marks.arrow) {
        return;
    }
    const int input = LeadingInt(line.substr(marks.colon + 1, marks.arrow - marks.colon - 1));
    ShowRoute(line.substr(0, marks.colon), output, input);
}

// A route line's numbers are checked here; its signal kind picks the display.
void CSwitchModel::ShowRoute(std::string_view kind, int output, int input) {
    if (input < 1 || input > m_nInputCount || output < 1 || output > m_nOutputCount) {
        return;
    }
    m_nLastIn = input;
    m_nLastOut = output;
    if (kind == "AV") {
        ShowRouteBoth(output, input);
    } else if (kind == "A") {
        ShowRouteAudio(output, input);
    } else if (kind == "V") {
        ShowRouteVideo(output, input);
    }
}
