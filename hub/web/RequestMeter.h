#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

// Follows the bytes of one HTTP connection, request after request, and says when one breaks a
// limit the HTTP server does not keep itself: headers larger than kMaxHeader, a body larger
// than kMaxBody, a body of unknown length. It reads each request as the server does (lines
// end with LF, a CR before it is dropped, whitespace before a request is skipped) and reads
// only what it needs (the version, Content-Length, Transfer-Encoding, Connection, Upgrade);
// the server parses the rest. A header the meter cannot read with certainty (a line without a
// colon, a folded line, one of those fields twice) is refused rather than guessed at: a guess
// that differs from the server's would let a body pass uncounted.
//
// After a WebSocket upgrade request the meter counts on until its owner stops feeding it (the
// upgrade really happened): a client does not send frames before it has the answer.
// No Qt.
class CRequestMeter {
  public:
    static constexpr std::size_t kMaxHeader = 16 * 1024;
    static constexpr std::size_t kMaxBody = 64 * 1024;

    // What the connection may do: go on, or be answered with this status and closed.
    enum class Verdict {
        Pass,
        BadRequest = 400,
        NoLength = 411,
        BodyTooLarge = 413,
        HeaderTooLarge = 431,
    };

    // What a complete request header said about its connection.
    struct Head {
        bool closes = false;   // HTTP/1.0, or Connection: close: the answer ends the connection
        bool upgrade = false;  // asks to become a WebSocket
    };

    Verdict Feed(std::string_view bytes);

    // A request has begun and its header is not complete yet.
    bool InHeader() const { return m_stage == Stage::Header && m_nHeader > 0; }
    // Requests whose header was complete, since the connection began.
    std::size_t Headers() const { return m_nHeaders; }
    // The heads of the requests read, in order, until taken.
    bool HasHead() const { return !m_heads.empty(); }
    Head TakeHead();

  private:
    enum class Stage { Header, Body, AfterUpgrade };

    Verdict Header(std::string_view& bytes);
    Verdict Line(std::string_view line);
    Verdict Field(std::string_view name, std::string_view value);
    Verdict EndOfHeader();

    Stage m_stage = Stage::Header;
    std::size_t m_nHeader = 0;  // bytes of the current request's header so far
    std::string m_line;         // the current line, up to kMaxHeader
    bool m_bRequestLine = false;
    // The current request's fields that matter (lower case), and whether each was seen.
    struct Fields {
        bool http10 = false;
        bool seenLength = false, seenEncoding = false, seenConnection = false, seenUpgrade = false;
        std::string length, encoding, connection, upgrade;
    } m_fields;
    std::uint64_t m_nBodyLeft = 0;
    bool m_bUpgradeNext = false;  // after the body, the upgrade request is complete
    std::size_t m_nAfterUpgrade = 0;
    std::size_t m_nHeaders = 0;
    std::deque<Head> m_heads;
};
