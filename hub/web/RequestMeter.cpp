#include "hub/web/RequestMeter.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

std::string_view Trimmed(std::string_view text) {
    text.remove_prefix(std::min(text.find_first_not_of(" \t"), text.size()));
    return text.substr(0, text.find_last_not_of(" \t") + 1);
}

bool IsFieldName(std::string_view name) {
    static constexpr std::string_view kOther = "!#$%&'*+-.^_`|~";
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
               kOther.find(c) != std::string_view::npos;
    });
}

// Whether a comma-separated list (lower case) holds `token`.
bool HasToken(std::string_view list, std::string_view token) {
    while (!list.empty()) {
        const std::size_t comma = std::min(list.find(','), list.size());
        if (Trimmed(list.substr(0, comma)) == token) {
            return true;
        }
        list.remove_prefix(std::min(comma + 1, list.size()));
    }
    return false;
}

// The protocol of a request line, found as the server finds it: method, spaces, target,
// spaces, protocol.
std::string_view Protocol(std::string_view line) {
    std::size_t at = line.find(' ');
    at = line.find_first_not_of(' ', at);
    at = line.find(' ', at);
    at = line.find_first_not_of(' ', at);
    if (at == std::string_view::npos) {
        return {};
    }
    line.remove_prefix(at);
    return line.substr(0, line.find(' '));
}

}  // namespace

CRequestMeter::Verdict CRequestMeter::Feed(std::string_view bytes) {
    while (!bytes.empty()) {
        switch (m_stage) {
            case Stage::AfterUpgrade:
                m_nAfterUpgrade += bytes.size();
                return m_nAfterUpgrade > kMaxHeader ? Verdict::HeaderTooLarge : Verdict::Pass;
            case Stage::Body: {
                const std::size_t n =
                    static_cast<std::size_t>(std::min<std::uint64_t>(m_nBodyLeft, bytes.size()));
                m_nBodyLeft -= n;
                bytes.remove_prefix(n);
                if (m_nBodyLeft == 0) {
                    m_stage = m_bUpgradeNext ? Stage::AfterUpgrade : Stage::Header;
                }
                break;
            }
            case Stage::Header:
                if (const Verdict verdict = Header(bytes); verdict != Verdict::Pass) {
                    return verdict;
                }
                break;
        }
    }
    return Verdict::Pass;
}

CRequestMeter::Head CRequestMeter::TakeHead() {
    if (m_heads.empty()) {
        return {};
    }
    const Head head = m_heads.front();
    m_heads.pop_front();
    return head;
}

// Reads header bytes up to the end of a line at most.
CRequestMeter::Verdict CRequestMeter::Header(std::string_view& bytes) {
    if (!m_bRequestLine && m_line.empty()) {
        // The server skips whitespace before a request (a client's stray CR LF between them);
        // it counts towards the header, so that it cannot flow on for ever.
        const std::size_t skipped = std::min(bytes.find_first_not_of(" \t\r\n\v"), bytes.size());
        m_nHeader += skipped;
        bytes.remove_prefix(skipped);
        if (m_nHeader > kMaxHeader) {
            return Verdict::HeaderTooLarge;
        }
        if (bytes.empty()) {
            return Verdict::Pass;
        }
    }
    const std::size_t end = bytes.find('\n');
    const std::size_t taken = end == std::string_view::npos ? bytes.size() : end + 1;
    m_nHeader += taken;
    if (m_nHeader > kMaxHeader) {
        return Verdict::HeaderTooLarge;
    }
    m_line.append(bytes.substr(0, std::min(end, bytes.size())));
    bytes.remove_prefix(taken);
    if (end == std::string_view::npos) {
        return Verdict::Pass;
    }
    std::string line = std::exchange(m_line, {});
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return Line(line);
}

CRequestMeter::Verdict CRequestMeter::Line(std::string_view line) {
    if (line.find('\r') != std::string_view::npos) {
        return Verdict::BadRequest;  // a CR that does not end a line
    }
    if (!m_bRequestLine) {
        m_bRequestLine = true;
        const std::string_view protocol = Protocol(line);
        if (protocol != "HTTP/1.1" && protocol != "HTTP/1.0") {
            return Verdict::BadRequest;
        }
        m_fields.http10 = protocol == "HTTP/1.0";
        return Verdict::Pass;
    }
    if (line.empty()) {
        return EndOfHeader();
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !IsFieldName(line.substr(0, colon))) {
        return Verdict::BadRequest;  // a folded line too: it starts with a blank
    }
    return Field(Lower(line.substr(0, colon)), Lower(Trimmed(line.substr(colon + 1))));
}

CRequestMeter::Verdict CRequestMeter::Field(std::string_view name, std::string_view value) {
    const auto keep = [value](bool& seen, std::string& kept) {
        if (std::exchange(seen, true)) {
            return Verdict::BadRequest;  // twice: which one would the server take?
        }
        kept = value;
        return Verdict::Pass;
    };
    if (name == "content-length") {
        return keep(m_fields.seenLength, m_fields.length);
    }
    if (name == "transfer-encoding") {
        return keep(m_fields.seenEncoding, m_fields.encoding);
    }
    if (name == "connection") {
        return keep(m_fields.seenConnection, m_fields.connection);
    }
    if (name == "upgrade") {
        return keep(m_fields.seenUpgrade, m_fields.upgrade);
    }
    return Verdict::Pass;
}

CRequestMeter::Verdict CRequestMeter::EndOfHeader() {
    const Fields fields = std::exchange(m_fields, {});
    m_bRequestLine = false;
    m_nHeader = 0;
    if (fields.seenEncoding) {
        return Verdict::NoLength;
    }
    std::uint64_t length = 0;
    for (const char c : fields.length) {
        if (c < '0' || c > '9') {
            return Verdict::BadRequest;
        }
        length = length * 10 + static_cast<std::uint64_t>(c - '0');
        if (length > kMaxBody) {
            return Verdict::BodyTooLarge;
        }
    }
    Head head;
    // As the server decides it: "upgrade" anywhere in Connection, and a WebSocket asked for.
    head.upgrade =
        fields.connection.find("upgrade") != std::string::npos && fields.upgrade == "websocket";
    head.closes = !head.upgrade && (fields.http10 || HasToken(fields.connection, "close"));
    m_heads.push_back(head);
    ++m_nHeaders;
    m_bUpgradeNext = head.upgrade;
    m_nBodyLeft = length;
    m_stage = length > 0 ? Stage::Body : head.upgrade ? Stage::AfterUpgrade : Stage::Header;
    return Verdict::Pass;
}
