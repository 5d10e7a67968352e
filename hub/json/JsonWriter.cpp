#include "hub/json/JsonWriter.h"

#include <charconv>

#include "platform/Utf8.h"

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

void AppendEscape(std::string& out, unsigned char c) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '\\';
    switch (c) {
        case '"':
        case '\\':
            out += static_cast<char>(c);
            break;
        case '\b':
            out += 'b';
            break;
        case '\f':
            out += 'f';
            break;
        case '\n':
            out += 'n';
            break;
        case '\r':
            out += 'r';
            break;
        case '\t':
            out += 't';
            break;
        default:
            out += "u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
    }
}

}  // namespace

void CJsonWriter::AppendString(std::string& out, std::string_view text) {
    out += '"';
    std::size_t plain = 0;  // start of the bytes that pass as they are
    std::size_t k = 0;
    const auto passPlain = [&] { out.append(text.substr(plain, k - plain)); };
    while (k < text.size()) {
        const auto c = static_cast<unsigned char>(text[k]);
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            ++k;
            continue;
        }
        if (c >= 0x80) {
            if (const std::size_t length = Utf8CharLength(text.substr(k)); length != 0) {
                k += length;
                continue;
            }
            passPlain();
            out += kReplacement;
        } else {
            passPlain();
            AppendEscape(out, c);
        }
        plain = ++k;
    }
    passPlain();
    out += '"';
}

CJsonWriter& CJsonWriter::Object() {
    Open('{', '}');
    return *this;
}

CJsonWriter& CJsonWriter::Array() {
    Open('[', ']');
    return *this;
}

void CJsonWriter::Open(char bracket, char closer) {
    Separate();
    m_out += bracket;
    m_closers += closer;
    m_bComma = false;
}

CJsonWriter& CJsonWriter::End() {
    m_out += m_closers.back();
    m_closers.pop_back();
    m_bComma = true;
    return *this;
}

CJsonWriter& CJsonWriter::Key(std::string_view key) {
    Separate();
    AppendString(m_out, key);
    m_out += ':';
    m_bComma = false;
    return *this;
}

CJsonWriter& CJsonWriter::String(std::string_view text) {
    Separate();
    AppendString(m_out, text);
    m_bComma = true;
    return *this;
}

CJsonWriter& CJsonWriter::Int(std::int64_t number) {
    Separate();
    char digits[24];
    const auto end = std::to_chars(std::begin(digits), std::end(digits), number).ptr;
    m_out.append(digits, end);
    m_bComma = true;
    return *this;
}

CJsonWriter& CJsonWriter::Bool(bool value) {
    Separate();
    m_out += value ? "true" : "false";
    m_bComma = true;
    return *this;
}

CJsonWriter& CJsonWriter::Null() {
    Separate();
    m_out += "null";
    m_bComma = true;
    return *this;
}

void CJsonWriter::Separate() {
    if (m_bComma) {
        m_out += ',';
    }
}
