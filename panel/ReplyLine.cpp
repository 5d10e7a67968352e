// The rules a reply line is read by, apart from what the panel does with the result.
#include "panel/ReplyLine.h"

#include <cstring>

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

// Where the marks a route line is read by first occur. Each is looked for with memchr: a line
// of noise thousands of bytes long costs a few vector scans, not a test per character.
struct LineMarks {
    static constexpr std::size_t npos = std::string_view::npos;
    std::size_t to = npos;     // "To"
    std::size_t arrow = npos;  // "->"
    std::size_t colon = npos;  // ":"
    bool off = false;          // "OFF" anywhere
};

// The first place where `mark` starts in `line`.
std::size_t FindMark(std::string_view line, std::string_view mark) {
    const char* const begin = line.data();
    const char* const end = begin + line.size();
    for (const char* at = begin; at < end; ++at) {
        at = static_cast<const char*>(
            std::memchr(at, mark.front(), static_cast<std::size_t>(end - at)));
        if (at == nullptr) {
            break;
        }
        if (static_cast<std::size_t>(end - at) >= mark.size() &&
            std::memcmp(at + 1, mark.data() + 1, mark.size() - 1) == 0) {
            return static_cast<std::size_t>(at - begin);
        }
    }
    return LineMarks::npos;
}

LineMarks FindMarks(std::string_view line) {
    LineMarks marks;
    marks.to = FindMark(line, "To");
    marks.arrow = FindMark(line, "->");
    marks.colon = FindMark(line, ":");
    marks.off = FindMark(line, "OFF") != LineMarks::npos;
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

ReplyLine CheckedRoute(std::string_view signal, int input, int output, int inputs, int outputs) {
    if (input < 1 || input > inputs || output < 1 || output > outputs) {
        return {};
    }
    return ReplyLine{ReplyKind::Route, signal, input, output};
}

// Route lines: "<kind>:<input>-><output>", "<input> To All", or a line with "->" and "OFF".
ReplyLine ReadRouteLine(std::string_view line, int inputs, int outputs) {
    if (PlainRoute plain; ReadPlainRoute(line, plain)) {
        return CheckedRoute(plain.kind, plain.input, plain.output, inputs, outputs);
    }
    const LineMarks marks = FindMarks(line);
    if (marks.to != LineMarks::npos) {
        // A "To" line naming an input the switcher does not have ends the reading, even when
        // an arrow follows.
        const int input = LeadingInt(line.substr(0, marks.to));
        if (input < 1 || input > inputs) {
            return {};
        }
        if (TrimLeft(line.substr(marks.to + 2)) == "All") {
            return ReplyLine{ReplyKind::InputToAll, {}, input, 0};
        }
    }
    if (marks.arrow == LineMarks::npos) {
        return {};
    }
    const int output = LeadingInt(line.substr(marks.arrow + 2));
    if (marks.off) {
        if (output < 1 || output > outputs) {
            return {};
        }
        return ReplyLine{ReplyKind::OutputOff, {}, 0, output};
    }
    if (marks.colon == LineMarks::npos || marks.colon > marks.arrow) {
        return {};
    }
    const int input = LeadingInt(line.substr(marks.colon + 1, marks.arrow - marks.colon - 1));
    return CheckedRoute(line.substr(0, marks.colon), input, output, inputs, outputs);
}

}  // namespace

ReplyLine ReadReplyLine(std::string_view raw, int inputs, int outputs) {
    const std::string_view line = Trim(raw);
    if (line == "Demo Mode") {
        return ReplyLine{ReplyKind::Demo, {}, 0, 0};
    }
    if (line == "Normal Mode") {
        return ReplyLine{ReplyKind::Normal, {}, 0, 0};
    }
    if (line == "All Through.") {
        return ReplyLine{ReplyKind::AllThrough, {}, 0, 0};
    }
    return ReadRouteLine(line, inputs, outputs);
}

ReplyRefusal ClassifyRefusal(std::string_view raw) {
    // Every refusal the switcher is known to send; one place, so every reader agrees.
    struct Refusal {
        std::string_view text;
        ReplyRefusal kind;
    };
    static constexpr Refusal kRefusals[] = {
        {"Command Error!", ReplyRefusal::Error},
        {"System Locked!", ReplyRefusal::Locked},
    };
    const std::string_view line = Trim(raw);
    for (const Refusal& refusal : kRefusals) {
        if (line == refusal.text) {
            return refusal.kind;
        }
    }
    return ReplyRefusal::None;
}
