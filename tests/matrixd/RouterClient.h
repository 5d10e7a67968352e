#pragma once

// A client of the router control protocol as control surfaces speak it: it reads what the
// server sends into blocks (a header line, its lines, a blank line), keeps the view of the
// router those blocks describe, sends requests and waits for their ACK or NAK. It also notes
// every place where the server's bytes break the protocol's framing, for the tests to check.
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct RouterBlock {
    std::string header;  // "VIDEO OUTPUT ROUTING:", "ACK", ...
    std::vector<std::string> lines;
};

// The router as one client sees it, built from every block it has read.
struct RouterView {
    bool devicePresent = false;
    int inputs = 0;
    int outputs = 0;
    std::map<std::string, std::string> device;  // "Friendly name" -> "matrixd 8x8"
    std::map<int, std::string> inputLabels;
    std::map<int, std::string> outputLabels;
    std::map<int, char> locks;
    std::map<int, int> routes;  // output -> input
};

class RouterClient {
  public:
    using Millis = std::chrono::milliseconds;
    static constexpr Millis kPatience{20000};  // for what must come; a slow machine only waits

    // Connects to 127.0.0.1:port. A receive buffer above 0 is set before the connect, so that
    // a client that does not read holds little in its own socket.
    explicit RouterClient(std::uint16_t port, int receiveBuffer = 0);
    ~RouterClient();
    RouterClient(const RouterClient&) = delete;
    RouterClient& operator=(const RouterClient&) = delete;

    bool Connected() const { return m_fd >= 0; }

    // The initial status dump, or the full status resent when the device comes back: blocks
    // up to END PRELUDE:, or up to a device block that says the device is absent when no
    // labels follow it.
    std::vector<RouterBlock> ReadDump(Millis limit = kPatience);
    // The next block; with a header, the next block with that header (the others stay queued).
    std::optional<RouterBlock> Next(std::string_view header = {}, Millis limit = kPatience);
    // Sends a request and returns "ACK" or "NAK", or "" when neither came (the connection
    // closed or the time ran out). Blocks read before the answer stay queued.
    std::string Request(std::string_view text, Millis limit = kPatience);
    void Send(std::string_view bytes);
    // True when no block arrives within `quiet` (queued blocks count as arrived).
    bool Quiet(Millis quiet = Millis(300));
    // Reads and drops everything until the server closes the connection; false when it is
    // still open after `limit`. `received` counts the bytes read meanwhile.
    bool ClosedByServer(Millis limit = kPatience, std::size_t* received = nullptr);

    const RouterView& View() const { return m_view; }
    // The server's framing mistakes seen so far ("line with CR: ..."), empty when none.
    const std::vector<std::string>& Violations() const { return m_violations; }

  private:
    // Reads what has arrived, waiting until `deadline`; false once the connection is closed
    // or the time ran out.
    bool ReadMore(std::chrono::steady_clock::time_point deadline);
    // Cuts whole blocks off the received bytes into the queue.
    void CutBlocks();
    void Learn(const RouterBlock& block);

    int m_fd = -1;
    bool m_closed = false;
    std::string m_received;
    std::deque<RouterBlock> m_queue;
    RouterView m_view;
    std::vector<std::string> m_violations;
};

// "VIDEO OUTPUT ROUTING:\n4 2\n\n" from the header and its lines.
std::string BlockText(std::string_view header, const std::vector<std::string>& lines = {});
// The headers of `blocks`, in order.
std::vector<std::string> Headers(const std::vector<RouterBlock>& blocks);
