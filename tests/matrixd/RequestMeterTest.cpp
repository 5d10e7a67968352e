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
    const std::string lf = "POST /api/v1/routes HTTP/1.1\nContent-Length: 70000\n\n";
    const std::string upgrade =
        "GET /api/v1/events HTTP/1.1\r\nConnection: Upgrade\r\nUpgrade: WebSocket\r\n\r\n";
    const Case cases[] = {
        {get + get + "\r\n" + get, Verdict::Pass},  // keep-alive, a stray blank line between
        {post(CRequestMeter::kMaxBody) + get, Verdict::Pass},
        {post(CRequestMeter::kMaxBody + 1), Verdict::BodyTooLarge},
        {"POST / HTTP/1.1\r\ncontent-length:99999999999999999999\r\n\r\n", Verdict::BodyTooLarge},
        {"POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", Verdict::BadRequest},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", Verdict::NoLength},
        {"GET / HTTP/1.1\r\nX: " + std::string(CRequestMeter::kMaxHeader, 'a'),
         Verdict::HeaderTooLarge},
        {std::string(CRequestMeter::kMaxHeader + 1, '\n'), Verdict::HeaderTooLarge},
        // A body's bytes are not a header: a large body within its limit passes.
        {post(20000) + get, Verdict::Pass},
        // Lines end with LF as well as CR LF, as the server reads them.
        {lf, Verdict::BodyTooLarge},
        {"POST / HTTP/1.1\r\nX: 1\n\r\nPOST / HTTP/1.1\nContent-Length: 70000\r\n\n",
         Verdict::BodyTooLarge},
        // What the meter cannot read as the server does is refused, not guessed at.
        {"POST / HTTP/1.1\r\nContent-Length : 70000\r\n\r\n", Verdict::BadRequest},
        {"POST / HTTP/1.1\r\nX: a\r\n Content-Length: 70000\r\n\r\n", Verdict::BadRequest},
        {"POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 70000\r\n\r\n",
         Verdict::BadRequest},
        {"POST / HTTP/1.1\r\nX: a\rContent-Length: 70000\r\n\r\n", Verdict::BadRequest},
        {"POST / HTTP/2.0\r\n\r\n", Verdict::BadRequest},
        // An upgrade request is still a request: its limits hold until the upgrade happened,
        // and what follows it before then is bounded.
        {upgrade.substr(0, upgrade.size() - 2) + "Content-Length: 100000000\r\n\r\n",
         Verdict::BodyTooLarge},
        {upgrade + std::string(100, 'x'), Verdict::Pass},
        {upgrade + std::string(CRequestMeter::kMaxHeader + 1, 'x'), Verdict::HeaderTooLarge},
        // Upgrade without Connection: upgrade is no upgrade, the bytes after it a request.
        {"GET / HTTP/1.1\r\nUpgrade: websocket\r\n\r\n" + lf, Verdict::BodyTooLarge},
    };
    for (const Case& c : cases) {
        for (const bool split : {false, true}) {
            EXPECT_EQ(Meter(c.bytes, split), c.verdict) << c.bytes.substr(0, 60) << split;
        }
    }
}

// What each request's header says about its connection, in order; and when a header is
// still coming (the header deadline runs from its first byte).
TEST(RequestMeter, TellsEachRequestsHead) {
    CRequestMeter meter;
    ASSERT_EQ(meter.Feed("GET / HTTP/1.1\r\n\r\n"
                         "GET / HTTP/1.0\r\n\r\n"
                         "GET / HTTP/1.1\nConnection: keep-alive, Close\n\n"
                         "GET /api/v1/events HTTP/1.1\r\nConnection: keep-alive, Upgrade\r\n"
                         "Upgrade: websocket\r\n\r\n"),
              Verdict::Pass);
    const std::pair<bool, bool> expected[] = {
        {false, false}, {true, false}, {true, false}, {false, true}};
    for (const auto& [closes, upgrade] : expected) {
        ASSERT_TRUE(meter.HasHead());
        const CRequestMeter::Head head = meter.TakeHead();
        EXPECT_EQ(head.closes, closes);
        EXPECT_EQ(head.upgrade, upgrade);
    }
    EXPECT_FALSE(meter.HasHead());
    EXPECT_EQ(meter.Headers(), 4u);

    CRequestMeter slow;
    EXPECT_FALSE(slow.InHeader());
    slow.Feed("GET / HTTP/1.1\r\nHost: x\r\n");
    EXPECT_TRUE(slow.InHeader());
    slow.Feed("\r\n");
    EXPECT_FALSE(slow.InHeader());
}

}  // namespace
