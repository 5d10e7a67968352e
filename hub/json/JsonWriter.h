#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Compact JSON text appended to a string in one pass, no tree: the bytes Qt's compact form
// gives for the same values, so that clients of the doors see the same text whichever wrote
// it. Keys are written in the order given; the caller gives them in sorted order, as Qt keeps
// an object's keys. Strings are UTF-8: `"`, `\` and control characters are escaped, the rest
// passes as it is, and bytes that are no UTF-8 become U+FFFD.
class CJsonWriter {
  public:
    explicit CJsonWriter(std::string& out) : m_out(out) {}

    CJsonWriter& Object();
    CJsonWriter& Array();
    CJsonWriter& End();  // of the innermost object or array
    CJsonWriter& Key(std::string_view key);

    CJsonWriter& String(std::string_view text);
    CJsonWriter& Int(std::int64_t number);
    CJsonWriter& Bool(bool value);
    CJsonWriter& Null();

    // Where the next byte goes: for callers that mark a place in the text.
    std::size_t Size() const { return m_out.size(); }

    // `text` as a JSON string literal, quotes included.
    static void AppendString(std::string& out, std::string_view text);

  private:
    // A comma before every value but the first of its object or array; none after a key.
    void Separate();
    void Open(char bracket, char closer);

    std::string& m_out;
    std::string m_closers;  // one per open object or array, innermost last
    bool m_bComma = false;
};
