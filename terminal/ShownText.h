#pragma once

#include <string>
#include <string_view>

// Turns received bytes into text a line-based text widget can show as they were meant:
// UTF-8 kept, every byte that starts no valid sequence shown as U+FFFD, the characters a
// text widget would take as a paragraph break shown as U+FFFD too (so only CR and LF end a
// line), and lines longer than kLineMax characters folded. It keeps a character split between
// two arrivals until its last byte comes, and the column of the line in progress.
class CShownText {
  public:
    // A widget lays out its whole last line again on every append, so a device that never
    // sends a line end would make each append cost as much as the line so far.
    static constexpr int kLineMax = 1024;

    // The next bytes, as valid UTF-8 to append to what was returned before.
    std::string Decode(std::string_view bytes);
    // Forgets a partial character and the column: the next bytes start a text afresh.
    void Reset();

  private:
    void Put(std::string& out, std::string_view character);

    std::string m_strPartial;  // the first bytes of a character still incomplete
    int m_nColumn = 0;         // characters in the line in progress
    bool m_bStarted = false;   // a byte order mark is dropped at the very start only
};
