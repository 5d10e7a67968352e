#include "tools/matrixctl/ReplyJson.h"

#include <cstdio>

#include "panel/ReplyLine.h"

namespace {

// The length of the well-formed UTF-8 sequence at the start of text (at least two bytes), or 0.
std::size_t Utf8Sequence(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80;   // the range of the second byte, narrowed against overlong forms
    unsigned char high = 0xBF;  // and surrogates
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

void AppendEscaped(std::string& out, unsigned code) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", code);
    out += escape;
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            if (const std::size_t length = Utf8Sequence(text.substr(i)); length > 0) {
                out.append(text.substr(i, length));
                i += length;
            } else {
                AppendEscaped(out, c);
                ++i;
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    AppendEscaped(out, c);
                } else {
                    out += static_cast<char>(c);
                }
                break;
        }
        ++i;
    }
    return out + "\"";
}

std::string ReplyLineJson(std::string_view line) {
    const ReplyLine reply = ReadReplyLine(line, kCtlCountLimit, kCtlCountLimit);
    std::string out = "{\"line\":" + JsonString(line) + ",\"kind\":";
    switch (reply.kind) {
        case ReplyKind::Route:
            // Only the three signal kinds the panel shows are routes to a script.
            if (reply.signal == "AV" || reply.signal == "A" || reply.signal == "V") {
                out += "\"route\",\"signal\":" + JsonString(reply.signal) +
                       ",\"input\":" + std::to_string(reply.input) +
                       ",\"output\":" + std::to_string(reply.output);
            } else {
                out += "\"other\"";
            }
            break;
        case ReplyKind::AllThrough:
            out += "\"all-through\"";
            break;
        case ReplyKind::InputToAll:
            out += "\"to-all\",\"input\":" + std::to_string(reply.input);
            break;
        case ReplyKind::OutputOff:
            out += "\"off\",\"output\":" + std::to_string(reply.output);
            break;
        case ReplyKind::Demo:
            out += "\"demo\"";
            break;
        case ReplyKind::Normal:
            out += "\"normal\"";
            break;
        case ReplyKind::Other:
            out += "\"other\"";
            break;
    }
    return out + "}";
}
