// The web door's request limits, fed whole and byte by byte (the network's worst split).
#include <gtest/gtest.h>

#include <string>

#include "hub/web/RequestMeter.h"

namespace {

using Verdict = CRequestMeter::Verdict;

Verdict Meter(const std::string& bytes, bool byteByByte) {
    CRequestMeter meter;
    if (!byteByByte) {
        return meter.Feed(bytes);
    }
    Verdict last = Verdict::Pass;
    for (const char c : bytes) {
        last = meter.Feed(std::string_view(&c, 1));
        if (last != Verdict::Pass) {
            break;
        }
    }
    return last;
}

TEST(RequestMeter, KeepsTheLimitsTheServerLacks) {
    const std::string get = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    const auto post = [](std::size_t length) {
        return "POST /api/v1/routes HTTP/1.1\r\nContent-Length: " + std::to_string(length) +
               "\r\n\r\n" + std::string(length, 'a');
    };
    struct Case {
        std::string bytes;
        Verdict verdict;
    };
    const Case cases[] = {
        {get + get + "\r\n" + get, Verdict::Pass},  // keep-alive, a stray blank line between
        {post(CRequestMeter::kMaxBody) + get, Verdict::Pass},
        {post(CRequestMeter::kMaxBody + 1), Verdict::BodyTooLarge},
        {"POST / HTTP/1.1\r\ncontent-length:99999999999999999999\r\n\r\n", Verdict::BodyTooLarge},
        {"POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", Verdict::BadLength},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", Verdict::NoLength},
        {"GET / HTTP/1.1\r\nX: " + std::string(CRequestMeter::kMaxHeader, 'a'),
         Verdict::HeaderTooLarge},
        // A body's bytes are not a header: a large body within its limit passes.
        {post(20000) + get, Verdict::Pass},
        // After an upgrade the bytes are the WebSocket's.
        {"GET /api/v1/events HTTP/1.1\r\nUpgrade: WebSocket\r\n\r\n" + std::string(100000, 'x'),
         Verdict::Upgraded},
    };
    for (const Case& c : cases) {
        for (const bool split : {false, true}) {
            EXPECT_EQ(Meter(c.bytes, split), c.verdict) << c.bytes.substr(0, 60) << split;
        }
    }
}

}  // namespace
