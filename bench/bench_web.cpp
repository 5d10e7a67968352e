// matrixd's web door as browsers and scripts see it. As in bench_matrixd, the bench plays the
// switcher (matrixd --net to it) and the clients, so what it times is the daemon alone:
//   - a reply line from the switcher until the change message reached each of 200 WebSockets;
//   - a route posted to the JSON API until its command reaches the switcher, against the same
//     route asked on the router port;
//   - 1,000 HTTP connects, state reads and closes: the daemon's descriptors and memory before
//     and after;
//   - a new WebSocket at 1,024 x 1,024: the upgrade request until the whole state arrived.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "MatrixdRig.h"

namespace {

using namespace bench;

// ---- HTTP and WebSocket, as much as the bench needs ------------------------------------------

struct Answer {
    int status = 0;
    std::string head;
    std::string body;
};

// The next answer on a keep-alive connection; what follows it stays in `in`.
Answer ReadAnswer(int fd, std::string& in) {
    std::size_t end = 0;
    while ((end = in.find("\r\n\r\n")) == std::string::npos) {
        Receive(fd, in);
    }
    Answer answer;
    answer.head = in.substr(0, end + 4);
    answer.status = std::atoi(answer.head.c_str() + answer.head.find(' ') + 1);
    std::string lower = answer.head;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::size_t length = 0;
    if (const std::size_t at = lower.find("\r\ncontent-length:"); at != std::string::npos) {
        length = std::stoul(lower.substr(at + 17));
    }
    while (in.size() < end + 4 + length) {
        Receive(fd, in);
    }
    answer.body = in.substr(end + 4, length);
    in.erase(0, end + 4 + length);
    return answer;
}

std::string Request(const char* method, const std::string& path, std::uint16_t port,
                    const std::string& token, const std::string& body = {}) {
    std::string text = std::string(method) + " " + path +
                       " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
    if (!token.empty()) {
        text += "Cookie: matrixd_session=" + token + "\r\n";
    }
    if (!body.empty()) {
        text += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\n";
    }
    return text + "\r\n" + body;
}

// A new session of the door (no password on loopback): its cookie's value.
std::string OpenSession(int fd, std::string& in, std::uint16_t port) {
    SendAll(fd, Request("POST", "/api/v1/session", port, {}, "{}"));
    const Answer answer = ReadAnswer(fd, in);
    const std::string name = "Set-Cookie: matrixd_session=";
    const std::size_t at = answer.head.find(name);
    if (answer.status != 204 || at == std::string::npos) {
        Die("no session cookie");
    }
    const std::size_t from = at + name.size();
    return answer.head.substr(from, answer.head.find_first_of(";\r", from) - from);
}

// A WebSocket on /api/v1/events. Server frames come unmasked; the client sends nothing, so
// it needs no masking of its own.
struct WebSocket {
    int fd = -1;
    std::string in;       // bytes not yet taken as frames
    std::string partial;  // a fragmented message's payload so far

    // The next whole text message, if its frames have all arrived.
    bool TakeMessage(std::string& message) {
        for (;;) {
            if (in.size() < 2) {
                return false;
            }
            const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(in[k]); };
            std::uint64_t length = byte(1) & 0x7f;
            std::size_t header = 2;
            if (length == 126) {
                header = 4;
                if (in.size() < header) {
                    return false;
                }
                length = (std::uint64_t{byte(2)} << 8) | byte(3);
            } else if (length == 127) {
                header = 10;
                if (in.size() < header) {
                    return false;
                }
                length = 0;
                for (std::size_t k = 2; k < 10; ++k) {
                    length = (length << 8) | byte(k);
                }
            }
            if ((byte(1) & 0x80) != 0) {
                header += 4;  // a mask, which a server must not send: skipped all the same
            }
            if (in.size() < header + length) {
                return false;
            }
            const int opcode = byte(0) & 0x0f;
            const bool final = (byte(0) & 0x80) != 0;
            if (opcode == 0x8) {
                Die("the daemon closed a WebSocket");
            }
            const bool data = (opcode & 0x8) == 0;  // pings and pongs are not the bench's
            if (data) {
                partial.append(in, header, length);
            }
            in.erase(0, header + length);
            if (data && final) {
                message = std::move(partial);
                partial.clear();
                return true;
            }
        }
    }

    std::string NextMessage() {
        std::string message;
        while (!TakeMessage(message)) {
            Receive(fd, in);
        }
        return message;
    }
};

WebSocket OpenEvents(std::uint16_t port, const std::string& token, int host) {
    WebSocket socket{Connect(port, host), {}, {}};
    SendAll(socket.fd, "GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                           "\r\nOrigin: http://127.0.0.1:" + std::to_string(port) +
                           "\r\nUpgrade: websocket\r\nConnection: Upgrade"
                           "\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=="
                           "\r\nSec-WebSocket-Version: 13\r\nCookie: matrixd_session=" +
                           token + "\r\n\r\n");
    if (ReadAnswer(socket.fd, socket.in).status != 101) {
        Die("the WebSocket upgrade was refused");
    }
    if (socket.NextMessage().find("\"type\":\"state\"") == std::string::npos) {
        Die("a WebSocket's first message is not the state");
    }
    return socket;
}

// ---- The switcher and the daemon -------------------------------------------------------------

std::map<std::string, double> g_medianUs;

// ---- A reply line until every WebSocket has the change ---------------------------------------

void BM_ReplyToEveryWebSocket(benchmark::State& state) {
    const auto clients = static_cast<std::size_t>(state.range(0));
    FakeSwitcher switcher;
    Daemon daemon(switcher);
    // A session each, as so many browsers would have.
    const int http = Connect(daemon.webPort);
    std::string httpIn;
    std::vector<WebSocket> sockets;
    for (std::size_t k = 0; k < clients; ++k) {
        sockets.push_back(OpenEvents(daemon.webPort, OpenSession(http, httpIn, daemon.webPort),
                                     2 + static_cast<int>(k / 32)));
    }
    ::close(http);
    std::vector<double> first;
    std::vector<double> last;
    int input = 1;
    const double cpuBefore = daemon.CpuMs();
    for (auto _ : state) {
        input = input == 1 ? 2 : 1;
        const std::string route = "\"input\":" + std::to_string(input) + ",";
        std::vector<pollfd> waiting;
        for (const WebSocket& socket : sockets) {
            waiting.push_back({socket.fd, POLLIN, 0});
        }
        const auto start = Clock::now();
        SendAll(switcher.link, "AV:" + std::to_string(input) + "->5\r\n");
        std::size_t done = 0;
        Clock::time_point firstEnd;
        Clock::time_point end;
        while (done < clients) {
            if (::poll(waiting.data(), waiting.size(), 10000) <= 0) {
                Die("a change did not come");
            }
            for (std::size_t k = 0; k < clients; ++k) {
                if (waiting[k].fd < 0 || (waiting[k].revents & POLLIN) == 0) {
                    continue;
                }
                Receive(waiting[k].fd, sockets[k].in);
                std::string message;
                if (!sockets[k].TakeMessage(message)) {
                    continue;
                }
                if (message.find("\"type\":\"change\"") == std::string::npos ||
                    message.find(route) == std::string::npos ||
                    message.find("\"n\":5") == std::string::npos) {
                    Die("a change is not the route's");
                }
                waiting[k].fd = -1;
                end = Clock::now();
                if (done++ == 0) {
                    firstEnd = end;
                }
            }
        }
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        first.push_back(std::chrono::duration<double, std::milli>(firstEnd - start).count());
        last.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    for (const WebSocket& socket : sockets) {
        ::close(socket.fd);
    }
    // The daemon's own work per change, whatever else the machine is doing meanwhile.
    state.counters["daemon_cpu_ms_per_change"] =
        (daemon.CpuMs() - cpuBefore) / static_cast<double>(last.size());
    // The first client against the last: how long before any message leaves the daemon, and
    // how long they all take to leave.
    state.counters["first_client_median_ms"] = Percentile(first, 0.5);
    SetPercentiles(state, last, "last_client_", "ms");
}

// ---- A route until the switcher has its command ----------------------------------------------

// Both doors are timed the same way: the request written, until the command is at the
// switcher. Outside the time measured the client reads its answer, the switcher answers, and
// the daemon's pause for the rest of a reply passes, so that each request finds the line free.

void BM_RouteOverRouterPort(benchmark::State& state) {
    g_medianUs["router"] = Percentile(TimeRouterRoutes(state), 0.5);
}

void BM_RouteOverRest(benchmark::State& state) {
    FakeSwitcher switcher;
    Daemon daemon(switcher);
    const int client = Connect(daemon.webPort);  // one keep-alive connection throughout
    std::string in;
    const std::string token = OpenSession(client, in, daemon.webPort);
    std::vector<double> samples;
    int input = 1;
    for (auto _ : state) {
        input = input == 1 ? 2 : 1;
        const std::string request =
            Request("POST", "/api/v1/routes", daemon.webPort, token,
                    "{\"routes\":[{\"output\":5,\"input\":" + std::to_string(input) + "}]}");
        const std::string command = std::to_string(input) + "B5.";
        const auto start = Clock::now();
        SendAll(client, request);
        std::string got;
        ReadUntil(switcher.link, got, command);
        Record(state, samples, start, Clock::now());
        if (ReadAnswer(client, in).status != 202) {
            Die("a route was not accepted");
        }
        SendAll(switcher.link, "AV:" + std::to_string(input) + "->5\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    ::close(client);
    SetPercentiles(state, samples, "", "us");
    g_medianUs["rest"] = Percentile(samples, 0.5);
}

// ---- HTTP connects and closes ----------------------------------------------------------------

void BM_HttpConnectCloseCycles(benchmark::State& state) {
    FakeSwitcher switcher;
    Daemon daemon(switcher);
    std::string token;
    {
        const int fd = Connect(daemon.webPort);
        std::string in;
        token = OpenSession(fd, in, daemon.webPort);
        ::close(fd);
    }
    const std::string request = Request("GET", "/api/v1/state", daemon.webPort, token);
    const auto cycle = [&] {
        const int fd = Connect(daemon.webPort);
        SendAll(fd, request);
        std::string in;
        if (ReadAnswer(fd, in).status != 200) {
            Die("the state was not served");
        }
        ::close(fd);
    };
    MeasureCycles(state, daemon, cycle);
}

// ---- A new WebSocket's whole state at 1,024 x 1,024 ------------------------------------------

constexpr int kBigPorts = 1024;

// The daemon on a switcher of 1,024 x 1,024 with output k on input k. The bench's switcher
// answers 16 routes when asked; the daemon stops learning after its time-out, and the other
// routes come as the switcher's own reports.
void LearnEveryRoute(FakeSwitcher& switcher, const Daemon& daemon) {
    std::string routes;
    for (int k = kPorts + 1; k <= kBigPorts; ++k) {
        routes += "AV:" + std::to_string(k) + "->" + std::to_string(k) + "\r\n";
    }
    SendAll(switcher.link, routes);
    const std::string last = "\"input\":" + std::to_string(kBigPorts) + ",";
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    for (;;) {
        const int fd = Connect(daemon.webPort);
        std::string in;
        SendAll(fd, Request("GET", "/api/v1/state", daemon.webPort, {}));
        const Answer answer = ReadAnswer(fd, in);
        ::close(fd);
        if (answer.body.find(last) != std::string::npos) {
            return;
        }
        if (Clock::now() > deadline) {
            Die("the routes of 1,024 outputs were not learned");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void BM_NewWebSocketState(benchmark::State& state) {
    FakeSwitcher switcher;
    DaemonSetup setup;
    setup.extraArgs = {"--inputs", std::to_string(kBigPorts), "--outputs",
                       std::to_string(kBigPorts)};
    Daemon daemon(switcher, setup);
    LearnEveryRoute(switcher, daemon);
    // Another browser holds some locks: the state shows them as others'.
    const int http = Connect(daemon.webPort);
    std::string httpIn;
    const std::string token = OpenSession(http, httpIn, daemon.webPort);
    for (int output = 64; output <= kBigPorts; output += 64) {
        SendAll(http, Request("POST", "/api/v1/outputs/" + std::to_string(output) + "/lock",
                              daemon.webPort, token, "{\"action\":\"lock\"}"));
        if (ReadAnswer(http, httpIn).status != 200) {
            Die("a lock was refused");
        }
    }
    // A watcher: no session of its own.
    const std::string upgrade =
        "GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(daemon.webPort) +
        "\r\nUpgrade: websocket\r\nConnection: Upgrade"
        "\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    std::vector<double> samples;
    std::size_t bytes = 0;
    const double cpuBefore = daemon.CpuMs();
    for (auto _ : state) {
        WebSocket socket{Connect(daemon.webPort), {}, {}};
        const auto start = Clock::now();
        SendAll(socket.fd, upgrade);
        if (ReadAnswer(socket.fd, socket.in).status != 101) {
            Die("the WebSocket upgrade was refused");
        }
        const std::string message = socket.NextMessage();
        Record(state, samples, start, Clock::now());
        if (message.find("\"type\":\"state\"") == std::string::npos) {
            Die("a WebSocket's first message is not the state");
        }
        bytes = message.size();
        ::close(socket.fd);
    }
    ::close(http);
    state.counters["daemon_cpu_ms_per_state"] =
        (daemon.CpuMs() - cpuBefore) / static_cast<double>(samples.size());
    state.counters["median_ms"] = Percentile(samples, 0.5) / 1000;
    state.counters["p99_ms"] = Percentile(samples, 0.99) / 1000;
    state.counters["state_kib"] = static_cast<double>(bytes) / 1024;
}

BENCHMARK(BM_ReplyToEveryWebSocket)
    ->Arg(200)
    ->Iterations(300)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RouteOverRouterPort)->Iterations(500)->UseManualTime();
BENCHMARK(BM_RouteOverRest)->Iterations(500)->UseManualTime();
BENCHMARK(BM_NewWebSocketState)->Iterations(300)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HttpConnectCloseCycles)->Arg(1000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_medianUs.count("router") != 0 && g_medianUs.count("rest") != 0) {
        std::printf(
            "route: the JSON API adds %.1f us to the router port (median; goal: at most "
            "1000 us)\n",
            g_medianUs["rest"] - g_medianUs["router"]);
    }
    return 0;
}
