#include "tools/matrixctl/ReplyJson.h"

#include <cstdio>
#include <map>

#include "panel/HubLines.h"
#include "panel/ReplyLine.h"
#include "platform/PlainText.h"
#include "platform/Utf8.h"

namespace {

void AppendEscaped(std::string& out, unsigned code) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", code);
    out += escape;
}

}  // namespace

bool IsUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
        } else if (const std::size_t length = Utf8CharLength(text.substr(i)); length > 0) {
            i += length;
        } else {
            return false;
        }
    }
    return true;
}

std::string HexBytes(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
    }
    return hex;
}

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            if (const std::size_t length = Utf8CharLength(text.substr(i)); length > 0) {
                out.append(text.substr(i, length));
                i += length;
            } else {
                out += "\\ufffd";  // the replacement character; "hex" keeps the byte
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

namespace {

// The name a labels file gives a number, as a JSON member; nothing when it gives none.
std::string NameMember(const char* member, const std::map<int, std::string>* names, int number) {
    if (names == nullptr) {
        return {};
    }
    const auto found = names->find(number);
    return found == names->end() ? std::string()
                                 : ",\"" + std::string(member) + "\":" + JsonString(found->second);
}

}  // namespace

bool IsHubLinkDownLine(std::string_view line) {
    return Trim(line) == kHubLinkDownLine;
}

std::string ReplyLineJson(std::string_view line, const LabelNames* names) {
    const ReplyLine reply = ReadReplyLine(line, kCtlCountLimit, kCtlCountLimit);
    const auto* inputs = names != nullptr ? &names->inputs : nullptr;
    const auto* outputs = names != nullptr ? &names->outputs : nullptr;
    std::string out = "{\"line\":" + JsonString(line);
    if (!IsUtf8(line)) {
        out += ",\"hex\":\"" + HexBytes(line) + "\"";
    }
    out += ",\"kind\":";
    if (IsHubLinkDownLine(line)) {
        return out + "\"link\",\"state\":\"down\"}";
    }
    if (const ReplyRefusal refusal = ClassifyRefusal(line); refusal != ReplyRefusal::None) {
        return out + (refusal == ReplyRefusal::Locked ? "\"locked\"}" : "\"error\"}");
    }
    switch (reply.kind) {
        case ReplyKind::Route:
            // Only the three signal kinds the panel shows are routes to a script.
            if (reply.signal == "AV" || reply.signal == "A" || reply.signal == "V") {
                out += "\"route\",\"signal\":" + JsonString(reply.signal) +
                       ",\"input\":" + std::to_string(reply.input) +
                       ",\"output\":" + std::to_string(reply.output) +
                       NameMember("input_name", inputs, reply.input) +
                       NameMember("output_name", outputs, reply.output);
            } else {
                out += "\"other\"";
            }
            break;
        case ReplyKind::AllThrough:
            out += "\"all-through\"";
            break;
        case ReplyKind::InputToAll:
            out += "\"to-all\",\"input\":" + std::to_string(reply.input) +
                   NameMember("input_name", inputs, reply.input);
            break;
        case ReplyKind::OutputOff:
            out += "\"off\",\"output\":" + std::to_string(reply.output) +
                   NameMember("output_name", outputs, reply.output);
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
