// Reply text of the switching model: cut into lines, each line read for the routes it names.
#include "panel/CSwitchModel.h"
#include "panel/ReplyLine.h"

void CSwitchModel::ShowReply(std::string_view text) {
    FeedReply(text);
    m_effects.AppendReplyText(text);
}

void CSwitchModel::ClearReplyBuffer() {
    m_replyReader.Clear();
}

void CSwitchModel::FeedReply(std::string_view text) {
    // An overlong line is noise and says nothing about routes.
    m_replyReader.Feed(text, [this](std::string_view line, bool overlong) {
        if (!overlong) {
            ParseReplyLine(line);
        }
    });
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
