#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Follows the bytes of one HTTP connection, request after request, and says when one breaks a
// limit the HTTP server does not keep itself: headers larger than kMaxHeader, a body larger
// than kMaxBody, a body of unknown length. It reads only what it needs (where the header ends,
// Content-Length, Transfer-Encoding, Upgrade); the server parses the rest. After the header of
// an upgrade request the connection is the WebSocket's, and the meter lets everything pass.
// No Qt.
class CRequestMeter {
  public:
    static constexpr std::size_t kMaxHeader = 16 * 1024;
    static constexpr std::size_t kMaxBody = 64 * 1024;

    // What the connection may do: go on, or be answered with this status and closed.
    enum class Verdict {
        Pass,
        Upgraded,
        BadLength = 400,
        NoLength = 411,
        BodyTooLarge = 413,
        HeaderTooLarge = 431,
    };

    Verdict Feed(std::string_view bytes);

  private:
    Verdict EndOfHeader();

    enum class Stage { Header, Body, Upgraded };
    Stage m_stage = Stage::Header;
    std::string m_header;  // the current request's header, up to kMaxHeader
    std::uint64_t m_nBodyLeft = 0;
};
