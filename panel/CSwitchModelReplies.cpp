// Reply text of the switching model: cut into lines, each line read for the routes it names.
#include <cstring>

#include "panel/CSwitchModel.h"
#include "panel/ReplyLine.h"

namespace {

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
    const ReplyLine reply = ReadReplyLine(raw, m_nInputCount, m_nOutputCount);
    if (reply.kind == ReplyKind::Demo || reply.kind == ReplyKind::Normal) {
        Light(kKeyDemo, reply.kind == ReplyKind::Demo);
        return;
    }
    if (m_layout == PanelLayout::Keypad) {
        return;  // too many keys to show routes on: only the demonstration state is read
    }
    switch (reply.kind) {
        case ReplyKind::AllThrough:
            ShowAllThrough();
            break;
        case ReplyKind::InputToAll:
            ShowInputToAll(reply.input);
            break;
        case ReplyKind::OutputOff:
            ShowOutputOff(reply.output);
            break;
        case ReplyKind::Route:
            ShowRoute(reply.signal, reply.output, reply.input);
            break;
        default:
            break;
    }
}

// A route the reply reader has checked: remembered, and shown by its signal kind.
void CSwitchModel::ShowRoute(std::string_view kind, int output, int input) {
    m_nLastIn = input;
    m_nLastOut = output;
    if (kind == "AV") {
        ShowRouteBoth(OutputNo{output}, InputNo{input});
    } else if (kind == "A") {
        ShowRouteAudio(OutputNo{output}, InputNo{input});
    } else if (kind == "V") {
        ShowRouteVideo(OutputNo{output}, InputNo{input});
    }
}
