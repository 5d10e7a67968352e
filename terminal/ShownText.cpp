#include "terminal/ShownText.h"

#include <cstdint>

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool IsContinuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// Bytes a sequence starting with `lead` needs, or 0 when no character starts with it.
int SequenceLength(unsigned char lead) {
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 0;
}

enum class Sequence { kValid, kInvalid, kIncomplete };

// Checks the sequence at the start of `s`, whose lead byte needs `length` bytes.
Sequence Check(std::string_view s, int length, char32_t& code) {
    const auto n = static_cast<std::size_t>(length);
    const std::size_t have = s.size() < n ? s.size() : n;
    for (std::size_t k = 1; k < have; ++k) {
        if (!IsContinuation(static_cast<unsigned char>(s[k]))) {
            return Sequence::kInvalid;
        }
    }
    if (have < n) {
        return Sequence::kIncomplete;
    }
    static constexpr unsigned char kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    code = static_cast<unsigned char>(s[0]) & kLeadMask[n];
    for (std::size_t k = 1; k < n; ++k) {
        code = (code << 6) | (static_cast<unsigned char>(s[k]) & 0x3F);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < kSmallest[n] || surrogate || code > 0x10FFFF ? Sequence::kInvalid
                                                               : Sequence::kValid;
}

// A paragraph separator and the two non-characters a text document uses as block marks.
bool BreaksBlock(char32_t code) {
    return code == 0x2029 || code == 0xFDD0 || code == 0xFDD1;
}

}  // namespace

void CShownText::Reset() {
    m_strPartial.clear();
    m_nColumn = 0;
    m_bStarted = false;
}

void CShownText::Put(std::string& out, std::string_view character) {
    if (character == "\r" || character == "\n") {
        m_nColumn = 0;
    } else {
        if (m_nColumn == kLineMax) {
            out.push_back('\n');
            m_nColumn = 0;
        }
        ++m_nColumn;
    }
    out.append(character);
}

std::string CShownText::Decode(std::string_view bytes) {
    std::string joined;
    if (!m_strPartial.empty()) {
        joined = m_strPartial;
        joined.append(bytes);
        bytes = joined;
        m_strPartial.clear();
    }
    std::string out;
    out.reserve(bytes.size() + bytes.size() / kLineMax + 4);
    std::size_t at = 0;
    while (at < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[at]);
        if (lead < 0x80) {
            // The common case, a run of ASCII, without a call per byte when no fold is near.
            std::size_t end = at + 1;
            while (end < bytes.size() && static_cast<unsigned char>(bytes[end]) < 0x80 &&
                   bytes[end] != '\r' && bytes[end] != '\n' && lead != '\r' && lead != '\n' &&
                   m_nColumn + static_cast<int>(end - at) < kLineMax) {
                ++end;
            }
            if (end - at == 1) {
                Put(out, bytes.substr(at, 1));
            } else {
                out.append(bytes.substr(at, end - at));
                m_nColumn += static_cast<int>(end - at);
            }
            m_bStarted = true;
            at = end;
            continue;
        }
        const int length = SequenceLength(lead);
        char32_t code = 0;
        const Sequence sequence =
            length == 0 ? Sequence::kInvalid : Check(bytes.substr(at), length, code);
        if (sequence == Sequence::kIncomplete) {
            m_strPartial.assign(bytes.substr(at));
            break;
        }
        if (sequence == Sequence::kInvalid) {
            // One replacement for the byte; what follows it is read afresh.
            Put(out, kReplacement);
            ++at;
        } else {
            const std::string_view character = bytes.substr(at, static_cast<std::size_t>(length));
            if (!m_bStarted && character == kByteOrderMark) {
                // A mark at the very start says only how the text is encoded.
            } else {
                Put(out, BreaksBlock(code) ? kReplacement : character);
            }
            at += static_cast<std::size_t>(length);
        }
        m_bStarted = true;
    }
    return out;
}
