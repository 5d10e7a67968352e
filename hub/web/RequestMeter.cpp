#include "hub/web/RequestMeter.h"

#include <algorithm>
#include <cctype>

namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

// The value of header `name` (lower case, with its colon) in a lower-cased header; empty when
// it is not there.
std::string_view HeaderValue(std::string_view header, std::string_view name) {
    for (std::size_t at = header.find("\r\n"); at != std::string_view::npos;
         at = header.find("\r\n", at + 2)) {
        const std::string_view line = header.substr(at + 2, header.find("\r\n", at + 2) - at - 2);
        if (line.substr(0, name.size()) == name) {
            std::string_view value = line.substr(name.size());
            value.remove_prefix(std::min(value.find_first_not_of(" \t"), value.size()));
            return value.substr(0, value.find_last_not_of(" \t") + 1);
        }
    }
    return {};
}

}  // namespace

CRequestMeter::Verdict CRequestMeter::Feed(std::string_view bytes) {
    while (!bytes.empty()) {
        switch (m_stage) {
            case Stage::Upgraded:
                return Verdict::Upgraded;
            case Stage::Body: {
                const std::size_t n =
                    static_cast<std::size_t>(std::min<std::uint64_t>(m_nBodyLeft, bytes.size()));
                m_nBodyLeft -= n;
                bytes.remove_prefix(n);
                if (m_nBodyLeft == 0) {
                    m_stage = Stage::Header;
                }
                break;
            }
            case Stage::Header: {
                // Blank lines between requests are allowed (a client's stray CR LF).
                if (m_header.empty()) {
                    const std::size_t start = bytes.find_first_not_of("\r\n");
                    bytes.remove_prefix(std::min(start, bytes.size()));
                    if (bytes.empty()) {
                        return Verdict::Pass;
                    }
                }
                const std::size_t before = m_header.size();
                m_header.append(bytes.substr(0, kMaxHeader + 1 - before));
                const std::size_t end = m_header.find("\r\n\r\n", before < 3 ? 0 : before - 3);
                if (end == std::string::npos) {
                    if (m_header.size() > kMaxHeader) {
                        return Verdict::HeaderTooLarge;
                    }
                    return Verdict::Pass;
                }
                bytes.remove_prefix(end + 4 - before);
                m_header.resize(end + 2);
                if (const Verdict verdict = EndOfHeader(); verdict != Verdict::Pass) {
                    return verdict;
                }
                break;
            }
        }
    }
    return m_stage == Stage::Upgraded ? Verdict::Upgraded : Verdict::Pass;
}

CRequestMeter::Verdict CRequestMeter::EndOfHeader() {
    const std::string header = Lower(m_header);
    m_header.clear();
    if (!HeaderValue(header, "transfer-encoding:").empty()) {
        return Verdict::NoLength;
    }
    if (HeaderValue(header, "upgrade:") == "websocket") {
        m_stage = Stage::Upgraded;
        return Verdict::Upgraded;
    }
    const std::string_view length = HeaderValue(header, "content-length:");
    std::uint64_t bytes = 0;
    for (const char c : length) {
        if (c < '0' || c > '9') {
            return Verdict::BadLength;
        }
        if (bytes > kMaxBody) {
            return Verdict::BodyTooLarge;
        }
        bytes = bytes * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (bytes > kMaxBody) {
        return Verdict::BodyTooLarge;
    }
    m_nBodyLeft = bytes;
    m_stage = bytes > 0 ? Stage::Body : Stage::Header;
    return Verdict::Pass;
}
