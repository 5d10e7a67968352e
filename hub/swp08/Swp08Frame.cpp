#include "hub/swp08/Swp08Frame.h"

namespace Swp08 {

namespace {

void AddStuffed(std::string& out, char byte) {
    out.push_back(byte);
    if (byte == kDle) {
        out.push_back(kDle);
    }
}

}  // namespace

std::string Frame(std::string_view message) {
    std::string out{kDle, kStx};
    unsigned sum = 0;
    for (const char byte : message) {
        AddStuffed(out, byte);
        sum += static_cast<unsigned char>(byte);
    }
    const auto count = static_cast<unsigned char>(message.size());
    sum += count;
    AddStuffed(out, static_cast<char>(count));
    AddStuffed(out, static_cast<char>((0x100 - (sum & 0xFF)) & 0xFF));
    out.push_back(kDle);
    out.push_back(kEtx);
    return out;
}

bool ChecksOut(std::string_view body) {
    if (body.size() < 3) {
        return false;
    }
    const auto count = static_cast<unsigned char>(body[body.size() - 2]);
    if (count != body.size() - 2) {
        return false;
    }
    unsigned sum = 0;
    for (const char byte : body) {
        sum += static_cast<unsigned char>(byte);
    }
    return (sum & 0xFF) == 0;
}

void CReader::Feed(std::string_view bytes, const Sink& sink) {
    for (const char byte : bytes) {
        switch (m_where) {
            case Where::Outside:
            case Where::Skipping:
                if (byte == kDle) {
                    m_where = m_where == Where::Outside ? Where::OutsideDle : Where::SkippingDle;
                }
                break;
            case Where::OutsideDle:
                // Outside a frame a DLE may be a stray byte just before the DLE STX that counts.
                if (byte == kStx) {
                    Start();
                } else if (byte != kDle) {
                    if (byte == kAckCode || byte == kNakCode) {
                        sink(byte == kAckCode ? Event::Ack : Event::Nak, {});
                    }
                    m_where = Where::Outside;
                }
                break;
            case Where::SkippingDle:
                // Inside the frame being skipped, DLE pairs are its data.
                if (byte == kStx) {
                    Start();
                } else {
                    m_where = Where::Skipping;
                }
                break;
            case Where::Inside:
                Inside(byte, sink);
                break;
            case Where::InsideDle:
                AfterDle(byte, sink);
                break;
            case Where::DataDle:
                AfterDataDle(byte, sink);
                break;
        }
    }
}

void CReader::Start() {
    m_body.clear();
    m_where = Where::Inside;
}

void CReader::Inside(char byte, const Sink& sink) {
    if (byte == kDle) {
        m_where = Where::InsideDle;
    } else {
        Add(byte, sink);
    }
}

void CReader::AfterDle(char byte, const Sink& sink) {
    m_where = Where::Inside;
    switch (byte) {
        case kDle:
            m_where = Where::DataDle;
            break;
        case kStx:
            Start();  // the frame before was cut short
            break;
        case kEtx:
            End(sink);
            break;
        case kAckCode:
        case kNakCode:
            sink(byte == kAckCode ? Event::Ack : Event::Nak, {});
            break;
        default:
            m_body.clear();
            m_where = Where::Outside;
            sink(Event::Refused, {});
            break;
    }
}

// A data DLE read. Some clients leave a checksum of DLE undoubled, so that "DLE DLE ETX" ends
// their frame: read so when the frame then checks out; otherwise the ETX is data.
void CReader::AfterDataDle(char byte, const Sink& sink) {
    m_where = Where::Inside;
    if (byte == kEtx) {
        m_body.push_back(kDle);
        if (ChecksOut(m_body)) {
            End(sink);
            return;
        }
        m_body.pop_back();
    }
    Add(kDle, sink);
    if (m_where == Where::Inside) {
        Inside(byte, sink);
    }
}

void CReader::Add(char byte, const Sink& sink) {
    m_body.push_back(byte);
    if (m_body.size() > kMaxFrame) {
        m_body.clear();
        m_where = Where::Skipping;
        sink(Event::Refused, {});
    }
}

void CReader::End(const Sink& sink) {
    const std::string body = std::move(m_body);
    m_body.clear();
    m_where = Where::Outside;
    if (ChecksOut(body)) {
        sink(Event::Message, std::string_view(body).substr(0, body.size() - 2));
    } else {
        sink(Event::Refused, {});
    }
}

void CConnection::Feed(std::string_view bytes, const Write& write, const Deliver& deliver) {
    m_reader.Feed(bytes, [&](CReader::Event event, std::string_view message) {
        switch (event) {
            case CReader::Event::Message:
                write(kAck);
                deliver(message);
                break;
            case CReader::Event::Refused:
                write(kNak);
                break;
            case CReader::Event::Nak:
                if (!m_lastFrame.empty() && m_nResends < kMaxResends) {
                    ++m_nResends;
                    write(m_lastFrame);
                }
                break;
            case CReader::Event::Ack:
                break;
        }
    });
}

void CConnection::Send(std::string_view message, const Write& write) {
    if (message.empty() || message.size() > kMaxMessage) {
        return;
    }
    m_lastFrame = Frame(message);
    m_nResends = 0;
    write(m_lastFrame);
}

}  // namespace Swp08
