#pragma once

#include <string>
#include <string_view>
#include <vector>

// Cuts the byte stream of one connection into commands. A switcher command ends with "." or
// ";" (the terminator is kept). A network-module command ("AT + C1_...") has no terminator: it
// ends at a line end or with the data that arrived with it, as the module sees it. Text that
// never ends is dropped once it grows past kMaxPending.
class CCommandReader {
  public:
    static constexpr std::size_t kMaxPending = 4096;

    std::vector<std::string> Feed(std::string_view bytes);
    const std::string& Pending() const { return m_strPending; }

  private:
    std::string m_strPending;
};
