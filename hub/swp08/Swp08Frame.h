#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// The byte framing of the broadcast routers' control protocol: DLE STX, the message (a command
// byte and its fields), a byte count and a checksum, DLE ETX; every DLE inside is sent twice.
// ACK and NAK travel as a bare DLE pair. No Qt, one client's bytes per reader.
namespace Swp08 {

inline constexpr char kDle = 0x10;
inline constexpr char kStx = 0x02;
inline constexpr char kEtx = 0x03;
inline constexpr char kAckCode = 0x06;
inline constexpr char kNakCode = 0x15;
inline constexpr std::string_view kAck = "\x10\x06";
inline constexpr std::string_view kNak = "\x10\x15";
// A message is counted in one byte.
inline constexpr std::size_t kMaxMessage = 255;

// The frame of one message (1..kMaxMessage bytes), ready to write.
std::string Frame(std::string_view message);

// Reads a client's bytes into messages. Bytes outside a frame are skipped; a DLE STX inside one
// starts over there (the frame before was cut short); an ACK or NAK inside a frame is taken as
// such and the frame goes on. A frame whose count or checksum is wrong, that holds any other
// DLE pair, or that grows past kMaxFrame is refused (the caller NAKs), and an overlong one is
// refused at once, its rest skipped up to the next DLE STX.
class CReader {
  public:
    static constexpr std::size_t kMaxFrame = 1024;

    enum class Event { Message, Refused, Ack, Nak };
    // `message` is set for Message only (the command byte and its fields).
    using Sink = std::function<void(Event event, std::string_view message)>;

    void Feed(std::string_view bytes, const Sink& sink);
    // Bytes of an unfinished frame held (at most kMaxFrame).
    std::size_t Held() const { return m_body.size(); }

  private:
    enum class Where { Outside, OutsideDle, Inside, InsideDle, DataDle, Skipping, SkippingDle };

    void Inside(char byte, const Sink& sink);
    void AfterDle(char byte, const Sink& sink);
    void AfterDataDle(char byte, const Sink& sink);
    void Add(char byte, const Sink& sink);
    void End(const Sink& sink);
    void Start();

    Where m_where = Where::Outside;
    std::string m_body;  // undoubled: message, count, checksum
};

// One connection's framing, serial or TCP: its bytes read, each good frame ACKed before its
// message is handed on, a bad one NAKed; the last frame sent kept to be sent again on a NAK, at
// most kMaxResends times. Nothing waits for the other side's ACK.
class CConnection {
  public:
    static constexpr int kMaxResends = 5;
    using Write = std::function<void(std::string_view bytes)>;
    using Deliver = std::function<void(std::string_view message)>;

    void Feed(std::string_view bytes, const Write& write, const Deliver& deliver);
    // Frames a message (1..kMaxMessage bytes; others are not sent) and writes it.
    void Send(std::string_view message, const Write& write);
    std::size_t Held() const { return m_reader.Held(); }

  private:
    CReader m_reader;
    std::string m_lastFrame;
    int m_nResends = 0;
};

// True when `body` (message, count, checksum) checks out: a message of at least one byte, its
// count, and the whole summing to 0 modulo 256.
bool ChecksOut(std::string_view body);

}  // namespace Swp08
