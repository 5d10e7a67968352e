#include "RouterClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace {

using Clock = std::chrono::steady_clock;

bool IsRequestAnswer(const std::string& header) {
    return header == "ACK" || header == "NAK";
}

// A block header: capitals, digits and spaces, ending with a colon.
bool IsHeader(const std::string& text) {
    if (text.size() < 2 || text.back() != ':') {
        return false;
    }
    return std::all_of(text.begin(), text.end() - 1, [](char c) {
        return std::isupper(static_cast<unsigned char>(c)) ||
               std::isdigit(static_cast<unsigned char>(c)) || c == ' ';
    });
}

// "12 rest" -> 12 and "rest"; nullopt when the line does not start with a number and a space.
std::optional<std::pair<int, std::string>> IndexedLine(const std::string& line) {
    const std::size_t space = line.find(' ');
    if (space == 0 || space == std::string::npos || space > 5) {
        return std::nullopt;
    }
    int index = 0;
    for (std::size_t k = 0; k < space; ++k) {
        if (!std::isdigit(static_cast<unsigned char>(line[k]))) {
            return std::nullopt;
        }
        index = index * 10 + (line[k] - '0');
    }
    return std::make_pair(index, line.substr(space + 1));
}

}  // namespace

RouterClient::RouterClient(std::uint16_t port, int receiveBuffer) {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) {
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

RouterClient::~RouterClient() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void RouterClient::Send(std::string_view bytes) {
    while (!bytes.empty() && m_fd >= 0) {
        const ssize_t n = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

bool RouterClient::ReadMore(Clock::time_point deadline) {
    if (m_fd < 0 || m_closed) {
        return false;
    }
    const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    pollfd ready{m_fd, POLLIN, 0};
    if (left <= 0 || ::poll(&ready, 1, static_cast<int>(left)) <= 0) {
        return false;
    }
    char buffer[65536];
    const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
        m_closed = !(n < 0 && errno == EINTR);
        return !m_closed;
    }
    m_received.append(buffer, static_cast<std::size_t>(n));
    CutBlocks();
    return true;
}

void RouterClient::CutBlocks() {
    std::size_t start = 0;
    for (;;) {
        // A block is complete once its blank line is here.
        std::vector<std::string> lines;
        std::size_t at = start;
        bool complete = false;
        for (std::size_t end; (end = m_received.find('\n', at)) != std::string::npos;) {
            std::string line = m_received.substr(at, end - at);
            at = end + 1;
            if (line.find('\r') != std::string::npos) {
                m_violations.push_back("line ended by CR LF: " + line);
                line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
            }
            if (line.empty()) {
                complete = !lines.empty();
                if (!complete) {
                    m_violations.push_back("blank line outside a block");
                    start = at;
                    continue;
                }
                break;
            }
            lines.push_back(std::move(line));
        }
        if (!complete) {
            break;
        }
        start = at;
        RouterBlock block{lines.front(), {lines.begin() + 1, lines.end()}};
        if (!IsHeader(block.header) && !IsRequestAnswer(block.header)) {
            m_violations.push_back("not a block header: " + block.header);
        }
        if (IsRequestAnswer(block.header) && !block.lines.empty()) {
            m_violations.push_back(block.header + " with lines");
        }
        Learn(block);
        m_queue.push_back(std::move(block));
    }
    m_received.erase(0, start);
}

void RouterClient::Learn(const RouterBlock& block) {
    if (block.header == "VIDEOHUB DEVICE:") {
        for (const std::string& line : block.lines) {
            const std::size_t colon = line.find(": ");
            if (colon == std::string::npos) {
                m_violations.push_back("device line without ': ': " + line);
                continue;
            }
            const std::string key = line.substr(0, colon);
            const std::string value = line.substr(colon + 2);
            m_view.device[key] = value;
            if (key == "Device present") {
                m_view.devicePresent = value == "true";
            } else if (key == "Video inputs") {
                m_view.inputs = std::stoi(value);
            } else if (key == "Video outputs") {
                m_view.outputs = std::stoi(value);
            }
        }
        return;
    }
    const bool inputLabels = block.header == "INPUT LABELS:";
    const bool outputLabels = block.header == "OUTPUT LABELS:";
    const bool locks = block.header == "VIDEO OUTPUT LOCKS:";
    const bool routes = block.header == "VIDEO OUTPUT ROUTING:";
    if (!inputLabels && !outputLabels && !locks && !routes) {
        return;
    }
    for (const std::string& line : block.lines) {
        const auto indexed = IndexedLine(line);
        const int ports = inputLabels ? m_view.inputs : m_view.outputs;
        if (!indexed || indexed->first >= ports) {
            m_violations.push_back(block.header + " line out of shape or range: " + line);
            continue;
        }
        const auto& [index, rest] = *indexed;
        if (inputLabels) {
            m_view.inputLabels[index] = rest;
        } else if (outputLabels) {
            m_view.outputLabels[index] = rest;
        } else if (locks) {
            if (rest != "U" && rest != "O" && rest != "L") {
                m_violations.push_back("lock state " + rest);
            }
            m_view.locks[index] = rest.empty() ? '?' : rest[0];
        } else {
            const auto input = IndexedLine(rest + " ");
            if (!input || input->first >= m_view.inputs) {
                m_violations.push_back("route to no input: " + line);
                continue;
            }
            m_view.routes[index] = input->first;
        }
    }
}

std::optional<RouterBlock> RouterClient::Next(std::string_view header, Millis limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const auto found = std::find_if(m_queue.begin(), m_queue.end(), [&](const RouterBlock& b) {
            return header.empty() || b.header == header;
        });
        if (found != m_queue.end()) {
            RouterBlock block = std::move(*found);
            m_queue.erase(found);
            return block;
        }
        if (!ReadMore(deadline) && (m_closed || Clock::now() >= deadline)) {
            return std::nullopt;
        }
    }
}

std::vector<RouterBlock> RouterClient::ReadDump(Millis limit) {
    const auto deadline = Clock::now() + limit;
    std::vector<RouterBlock> blocks;
    for (;;) {
        const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
        auto block = Next({}, std::max(left, Millis(0)));
        if (!block) {
            return blocks;
        }
        blocks.push_back(std::move(*block));
        const RouterBlock& last = blocks.back();
        const bool absent = last.header == "VIDEOHUB DEVICE:" &&
                            std::find(last.lines.begin(), last.lines.end(),
                                      "Device present: false") != last.lines.end();
        if (last.header == "END PRELUDE:") {
            return blocks;
        }
        if (absent) {
            // A first dump goes on with the counts and names at once; an update is alone.
            auto more = Next({}, Millis(200));
            if (!more) {
                return blocks;
            }
            if (more->header != "INPUT LABELS:") {
                m_queue.push_front(std::move(*more));
                return blocks;
            }
            blocks.push_back(std::move(*more));
        }
    }
}

std::string RouterClient::Request(std::string_view text, Millis limit) {
    Send(text);
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const auto answer = std::find_if(m_queue.begin(), m_queue.end(), [](const RouterBlock& b) {
            return IsRequestAnswer(b.header);
        });
        if (answer != m_queue.end()) {
            const std::string word = answer->header;
            m_queue.erase(answer);
            return word;
        }
        if (!ReadMore(deadline) && (m_closed || Clock::now() >= deadline)) {
            return {};
        }
    }
}

bool RouterClient::Quiet(Millis quiet) {
    const auto deadline = Clock::now() + quiet;
    while (m_queue.empty() && ReadMore(deadline)) {
    }
    return m_queue.empty();
}

bool RouterClient::ClosedByServer(Millis limit, std::size_t* received) {
    const auto deadline = Clock::now() + limit;
    std::size_t count = 0;
    char buffer[65536];
    while (m_fd >= 0 && !m_closed) {
        const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
        pollfd ready{m_fd, POLLIN, 0};
        if (left <= 0 || ::poll(&ready, 1, static_cast<int>(left)) <= 0) {
            break;
        }
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            count += static_cast<std::size_t>(n);
        } else if (!(n < 0 && errno == EINTR)) {
            m_closed = true;
        }
    }
    if (received != nullptr) {
        *received = count;
    }
    return m_closed;
}

std::string BlockText(std::string_view header, const std::vector<std::string>& lines) {
    std::string text(header);
    text += '\n';
    for (const std::string& line : lines) {
        text += line + '\n';
    }
    return text + '\n';
}

std::vector<std::string> Headers(const std::vector<RouterBlock>& blocks) {
    std::vector<std::string> headers;
    for (const RouterBlock& block : blocks) {
        headers.push_back(block.header);
    }
    return headers;
}
