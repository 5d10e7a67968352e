// How matrixd keeps up with its peers, each figure against its anchor in the same run:
//   - fan-out: a reply line from the switcher until the first and the last of 100 and 1,000
//     router clients have read the update, against mosquitto publishing one message of the
//     same size to as many subscribers (QoS 0), rounds of the two alternating; at 1,000 also
//     the memory each process grows by for its clients (Pss and Rss, /proc/PID/smaps_rollup);
//   - a route request until its command reaches the switcher, from the raw port, the router
//     port, the web API and MQTT (through a broker configured as a site runs it), against the same
//     bytes written to the switcher's socket directly, and MQTT also against the broker's own
//     hop from publisher to subscriber; all alternate within each round;
//   - a load of 50 routes/s from 500 router, 50 web and 20 raw clients for MP_BENCH_LOAD_SECONDS
//     (default 30) on a switcher that answers each command with its reply line at once (or
//     after MP_BENCH_SWITCHER_DELAY_MS): each route until a watching client sees its output
//     change, how long the changes go on after the last request, and the outputs whose final
//     route is not the last one asked for.
// Every client is a plain non-blocking socket read by one epoll loop on the bench's thread, as
// an event-driven client reads; mosquitto's clients speak MQTT 3.1.1 written by hand.
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <array>
#include <atomic>
#include <cmath>
#include <deque>
#include <map>
#include <mutex>
#include <random>

#include "MatrixdRig.h"

namespace {

using namespace bench;
using namespace std::chrono_literals;

// The table printed at the end: matrixd's figure and, where it has one, its anchor's.
struct Row {
    std::string figure;
    double ours;
    double anchor;  // NaN: none
    std::string goal;
};
std::vector<Row> g_rows;

void AddRow(benchmark::State& state, const std::string& counter, Row row) {
    state.counters[counter] = row.ours;
    if (!std::isnan(row.anchor)) {
        state.counters[counter + "_anchor"] = row.anchor;
    }
    g_rows.push_back(std::move(row));
}

void PrintTable() {
    std::printf(
        "\nanchors: mosquitto for fan-out and memory; a direct write to the switcher for "
        "requests, or mosquitto's own hop where named\n%-44s %10s %10s %9s %10s  %s\n",
        "figure", "matrixd", "anchor", "ratio", "over", "goal");
    for (const Row& row : g_rows) {
        if (std::isnan(row.anchor)) {
            std::printf("%-44s %10.2f %10s %9s %10s  %s\n", row.figure.c_str(), row.ours, "", "",
                        "", row.goal.c_str());
        } else {
            std::printf("%-44s %10.2f %10.2f %8.2fx %+10.2f  %s\n", row.figure.c_str(), row.ours,
                        row.anchor, row.ours / row.anchor, row.ours - row.anchor, row.goal.c_str());
        }
    }
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

int EnvOr(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::atoi(value) : fallback;
}

// Everything that has come on `fd` so far, without waiting; into `got` unless null.
void ReadAvailable(int fd, std::string* got) {
    char buffer[65536];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) != 0;) {
        if (n < 0 && errno == EAGAIN) {
            return;
        }
        if (n > 0 && got != nullptr) {
            got->append(buffer, static_cast<std::size_t>(n));
        }
    }
    Die("a peer closed a connection");
}

// Reads until `marker` has come, and what followed it with it.
std::string ReadPast(int fd, const std::string& marker) {
    std::string got;
    while (got.find(marker) == std::string::npos) {
        Receive(fd, got);
    }
    return got;
}

// ---- Memory of a process -----------------------------------------------------------------------

struct Memory {
    double rssKiB = 0;
    double pssKiB = 0;
};

Memory MemoryOf(pid_t pid) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    Memory memory;
    for (std::string line; std::getline(rollup, line);) {
        if (line.rfind("Rss:", 0) == 0) {
            memory.rssKiB = std::stod(line.substr(4));
        } else if (line.rfind("Pss:", 0) == 0) {
            memory.pssKiB = std::stod(line.substr(4));
        }
    }
    return memory;
}

// ---- mosquitto and its clients -----------------------------------------------------------------

// The broker on a free loopback port, keeping nothing on disk; it dies with the bench.
struct Mosquitto {
    pid_t pid = -1;
    std::uint16_t port = 0;
    std::string dir;

    // Configured as a site runs it (Nagle's algorithm on): a door that acknowledged late would
    // show here as milliseconds per command.
    Mosquitto() {
        char name[] = "/tmp/mp-bench-fanout-XXXXXX";
        if (::mkdtemp(name) == nullptr) {
            Die("mkdtemp");
        }
        dir = name;
        ::close(Listener(port));
        const std::string conf = dir + "/mosquitto.conf";
        std::ofstream(conf) << "listener " << port << " 127.0.0.1\nallow_anonymous true\n"
                            << "persistence false\nlog_dest none\n"
                            << (::geteuid() == 0 ? "user root\n" : "");
        pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::execl("/usr/sbin/mosquitto", "mosquitto", "-c", conf.c_str(), nullptr);
            ::_exit(127);
        }
        for (const auto limit = Clock::now() + 5s; !Accepting(port);) {
            if (Clock::now() > limit) {
                Die("mosquitto did not start");
            }
            std::this_thread::sleep_for(5ms);
        }
    }
    ~Mosquitto() {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        std::filesystem::remove_all(dir);
    }
};

std::string MqttString(const std::string& text) {
    return std::string{static_cast<char>(text.size() >> 8), static_cast<char>(text.size() & 0xff)} +
           text;
}

std::string MqttPacket(unsigned char type, const std::string& body) {
    std::string packet(1, static_cast<char>(type));
    std::size_t length = body.size();
    do {
        const auto digit = static_cast<unsigned char>(length % 128);
        length /= 128;
        packet += static_cast<char>(length != 0 ? digit | 0x80 : digit);
    } while (length != 0);
    return packet + body;
}

std::string MqttPublish(const std::string& topic, const std::string& payload) {
    return MqttPacket(0x30, MqttString(topic) + payload);  // QoS 0, not retained
}

// A clean session without keep-alive: no run of the bench outlasts what the broker allows.
int MqttClient(std::uint16_t port, const std::string& id) {
    const int fd = Connect(port);
    SendAll(fd, MqttPacket(0x10, MqttString("MQTT") + std::string("\x04\x02\x00\x00", 4) +
                                     MqttString(id)));
    std::string connack;
    ReadUntil(fd, connack, std::string("\x20\x02\x00\x00", 4));  // or closed when refused
    return fd;
}

void MqttSubscribe(int fd, const std::string& filter) {
    SendAll(fd, MqttPacket(0x82, std::string("\x00\x01", 2) + MqttString(filter) + '\0'));
    std::string suback;
    ReadUntil(fd, suback, std::string("\x90\x03\x00\x01\x00", 5));  // QoS 0 granted
}

// ---- One epoll loop over many clients -----------------------------------------------------------

// Clients as an event-driven program has them: non-blocking sockets, level-triggered epoll,
// one read per readiness, what each has read kept until cleared.
class EpollReader {
  public:
    explicit EpollReader(std::vector<int> fds)
        : m_fds(std::move(fds)), m_got(m_fds.size()), m_epoll(::epoll_create1(EPOLL_CLOEXEC)) {
        for (std::size_t k = 0; k < m_fds.size(); ++k) {
            ::fcntl(m_fds[k], F_SETFL, ::fcntl(m_fds[k], F_GETFL) | O_NONBLOCK);
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.u64 = k;
            ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_fds[k], &event);
        }
    }
    ~EpollReader() {
        for (int fd : m_fds) {
            ::close(fd);
        }
        ::close(m_epoll);
    }
    EpollReader(const EpollReader&) = delete;
    EpollReader& operator=(const EpollReader&) = delete;

    // Waits up to `timeoutMs`, reads what came and hands each client that had new bytes, with
    // all it has read since it was last cleared, to `take`. False when nothing came.
    template <typename Take>
    bool Poll(int timeoutMs, Take&& take) {
        std::array<epoll_event, 256> events;
        const int n =
            ::epoll_wait(m_epoll, events.data(), static_cast<int>(events.size()), timeoutMs);
        for (int k = 0; k < n; ++k) {
            const auto index =
                static_cast<std::size_t>(events[static_cast<std::size_t>(k)].data.u64);
            Receive(m_fds[index], m_got[index]);  // one read: epoll tells again if more waits
            take(index, m_got[index]);
        }
        return n > 0;
    }

    struct Times {
        double firstMs = 0;
        double lastMs = 0;
    };
    // From `trigger` until every client has read exactly `expected`.
    template <typename Trigger>
    Times Until(const std::string& expected, Trigger&& trigger) {
        for (std::string& got : m_got) {
            got.clear();
        }
        std::size_t done = 0;
        Times times;
        const auto start = Clock::now();
        trigger();
        while (done < m_fds.size()) {
            const bool came = Poll(10000, [&](std::size_t, const std::string& got) {
                if (got.size() >= expected.size()) {
                    if (got != expected) {
                        Die("a client's message is not the one expected");
                    }
                    times.lastMs = Ms(Clock::now() - start);
                    times.firstMs = done++ == 0 ? times.lastMs : times.firstMs;
                }
            });
            if (!came) {
                Die("a client's message did not come");
            }
        }
        return times;
    }

    int Fd(std::size_t index) const { return m_fds[index]; }

  private:
    std::vector<int> m_fds;
    std::vector<std::string> m_got;
    int m_epoll;
};

// ---- Fan-out and memory: matrixd's router clients against mosquitto's subscribers --------------

void BM_FanOut(benchmark::State& state) {
    const auto clients = static_cast<std::size_t>(state.range(0));
    FakeSwitcher switcher;
    Daemon daemon(switcher);
    Mosquitto broker;
    const int publisher = MqttClient(broker.port, "bench-publisher");
    const Memory daemonBefore = MemoryOf(daemon.pid);
    const Memory brokerBefore = MemoryOf(broker.pid);
    std::vector<int> routerFds;
    std::vector<int> subscriberFds;
    for (std::size_t k = 0; k < clients; ++k) {
        routerFds.push_back(RouterClient(daemon.routerPort));
        subscriberFds.push_back(MqttClient(broker.port, "bench-" + std::to_string(k)));
        MqttSubscribe(subscriberFds.back(), "bench/route");
    }
    std::this_thread::sleep_for(500ms);
    const Memory daemonAfter = MemoryOf(daemon.pid);
    const Memory brokerAfter = MemoryOf(broker.pid);
    EpollReader routers(std::move(routerFds));
    EpollReader subscribers(std::move(subscriberFds));
    std::vector<double> ourFirst, ourLast, theirFirst, theirLast;
    int input = 1;
    for (auto _ : state) {
        input = input == 1 ? 2 : 1;
        const std::string update = "VIDEO OUTPUT ROUTING:\n4 " + std::to_string(input - 1) + "\n\n";
        const std::string reply = "AV:" + std::to_string(input) + "->5\r\n";
        const std::string publish = MqttPublish("bench/route", update);
        EpollReader::Times ours;
        EpollReader::Times theirs;
        // Each first in every other round, and alone: neither pays for the other's leftovers.
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn + input) % 2 == 0) {
                ours = routers.Until(update, [&] { SendAll(switcher.link, reply); });
            } else {
                theirs = subscribers.Until(publish, [&] { SendAll(publisher, publish); });
            }
            std::this_thread::sleep_for(5ms);
        }
        state.SetIterationTime(ours.lastMs / 1000.0);
        ourFirst.push_back(ours.firstMs);
        ourLast.push_back(ours.lastMs);
        theirFirst.push_back(theirs.firstMs);
        theirLast.push_back(theirs.lastMs);
    }
    ::close(publisher);
    const std::string n = clients == 1000 ? "1,000" : std::to_string(clients);
    AddRow(state, "last_ms",
           {"fan-out: last of " + n + " clients, ms", Percentile(ourLast, 0.5),
            Percentile(theirLast, 0.5), clients == 1000 ? "ratio <= 1.0" : ""});
    AddRow(state, "first_ms",
           {"fan-out: first of " + n + " clients, ms", Percentile(ourFirst, 0.5),
            Percentile(theirFirst, 0.5), "<= 1 ms"});
    state.counters["last_p99_ms"] = Percentile(ourLast, 0.99);
    state.counters["last_p99_ms_anchor"] = Percentile(theirLast, 0.99);
    // What each process keeps for a thousand connected, idle clients.
    const double thousands = static_cast<double>(clients) / 1000.0;
    const double pss = (daemonAfter.pssKiB - daemonBefore.pssKiB) / thousands / 1024;
    const double brokerPss = (brokerAfter.pssKiB - brokerBefore.pssKiB) / thousands / 1024;
    if (clients < 1000) {  // too few for a figure of its own
        state.counters["pss_mib_per_1000"] = pss;
        state.counters["pss_mib_per_1000_anchor"] = brokerPss;
    } else {
        AddRow(state, "pss_mib_per_1000",
               {"memory per 1,000 idle clients, MiB (Pss)", pss, brokerPss, "ratio <= 2"});
    }
    state.counters["rss_mib_per_1000"] =
        (daemonAfter.rssKiB - daemonBefore.rssKiB) / thousands / 1024;
    state.counters["rss_mib_per_1000_anchor"] =
        (brokerAfter.rssKiB - brokerBefore.rssKiB) / thousands / 1024;
    state.counters["matrixd_rss_kib_after_rounds"] = MemoryOf(daemon.pid).rssKiB;
}

// ---- A request at each door until the switcher has its command --------------------------------

const std::string kMqttBase = "bench/doors";

std::string HttpPost(std::uint16_t port, const std::string& path, const std::string& token,
                     const std::string& body) {
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
           (token.empty() ? "" : "\r\nCookie: matrixd_session=" + token) +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

// A session of the web door (no password on loopback), opened on `fd`: its cookie's value.
std::string OpenSession(int fd, std::uint16_t port) {
    SendAll(fd, HttpPost(port, "/api/v1/session", {}, "{}"));
    const std::string head = ReadPast(fd, "\r\n\r\n");  // 204: no body
    const std::string name = "matrixd_session=";
    const std::size_t at = head.find(name);
    if (head.find(" 204 ") == std::string::npos || at == std::string::npos) {
        Die("no session cookie");
    }
    return head.substr(at + name.size(), head.find_first_of(";\r", at) - at - name.size());
}

std::string WebRoute(std::uint16_t port, const std::string& token, int output, int input) {
    return HttpPost(port, "/api/v1/routes", token,
                    "{\"routes\":[{\"output\":" + std::to_string(output) +
                        ",\"input\":" + std::to_string(input) + "}]}");
}

std::string RouterRoute(int output, int input) {
    return "VIDEO OUTPUT ROUTING:\n" + std::to_string(output - 1) + " " +
           std::to_string(input - 1) + "\n\n";
}

std::string RawRoute(int output, int input) {
    return std::to_string(input) + "B" + std::to_string(output) + ".";
}

// Whether `command` reaches the switcher within `limit`.
bool Arrives(int link, const std::string& command, Clock::duration limit) {
    std::string got;
    for (const auto end = Clock::now() + limit; got.find(command) == std::string::npos;) {
        pollfd readable{link, POLLIN, 0};
        if (Clock::now() > end || ::poll(&readable, 1, 20) < 0) {
            return false;
        }
        ReadAvailable(link, &got);
    }
    return true;
}

void BM_RequestToSwitcher(benchmark::State& state) {
    Mosquitto broker;
    FakeSwitcher switcher;
    Daemon daemon(switcher, {false,
                             {"--mqtt", "mqtt://127.0.0.1:" + std::to_string(broker.port),
                              "--mqtt-base", kMqttBase, "--no-ha-discovery"}});
    FakeSwitcher direct;  // matrixctl's way: the command straight onto the switcher's socket
    const int ctl = Connect(direct.port);
    direct.link = ::accept4(direct.listener, nullptr, nullptr, SOCK_CLOEXEC);
    const int raw = Connect(daemon.rawPort);
    const int router = RouterClient(daemon.routerPort);
    const int web = Connect(daemon.webPort);
    const std::string token = OpenSession(web, daemon.webPort);
    const int mqtt = MqttClient(broker.port, "bench-doors");
    const int hop = MqttClient(broker.port, "bench-hop");  // the broker's own part of the way
    MqttSubscribe(hop, "bench/hop");
    // The daemon takes commands once it has subscribed to them.
    const std::string warmUp = MqttPublish(kMqttBase + "/output/5/input/set", "2");
    for (const auto limit = Clock::now() + 10s; !Arrives(switcher.link, "2B5.", 200ms);) {
        if (Clock::now() > limit) {
            Die("the daemon took no MQTT command");
        }
        SendAll(mqtt, warmUp);
    }
    std::this_thread::sleep_for(200ms);
    ReadAvailable(switcher.link, nullptr);
    using Bytes = std::function<std::string(int input)>;
    const Bytes command = [](int input) { return RawRoute(5, input); };
    const Bytes viaBroker = [](int input) { return MqttPublish("bench/hop", RawRoute(5, input)); };
    struct Door {
        const char* name;
        int from;
        int to;
        Bytes request;
        Bytes arrives;
        std::vector<double> us;
    };
    const Bytes routerRequest = [](int input) { return RouterRoute(5, input); };
    const Bytes webRequest = [&](int input) { return WebRoute(daemon.webPort, token, 5, input); };
    const Bytes mqttRequest = [](int input) {
        return MqttPublish(kMqttBase + "/output/5/input/set", std::to_string(input));
    };
    std::vector<Door> doors = {{"direct", ctl, direct.link, command, command, {}},
                               {"broker", mqtt, hop, viaBroker, viaBroker, {}},
                               {"raw", raw, switcher.link, command, command, {}},
                               {"router", router, switcher.link, routerRequest, command, {}},
                               {"web", web, switcher.link, webRequest, command, {}},
                               {"mqtt", mqtt, switcher.link, mqttRequest, command, {}}};
    int input = 2;  // output 5's route
    for (auto _ : state) {
        for (Door& door : doors) {
            const bool switches = door.to == switcher.link;
            if (switches) {
                input = input == 3 ? 4 : 3;  // never the route it has: every request a switch
            }
            const std::string request = door.request(input);
            std::string got;
            const auto start = Clock::now();
            SendAll(door.from, request);
            ReadUntil(door.to, got, door.arrives(input));
            door.us.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            // Outside the time: the switcher's answer, the clients' answers and updates read,
            // the daemon's pause after a reply over, so that each request finds the line free.
            if (switches) {
                SendAll(switcher.link, "AV:" + std::to_string(input) + "->5\r\n");
            }
            std::this_thread::sleep_for(30ms);
            for (const Door& each : doors) {
                ReadAvailable(each.from, nullptr);
            }
        }
        state.SetIterationTime(doors[3].us.back() / 1e6);
    }
    std::map<std::string, double> median;
    for (const Door& door : doors) {
        median[door.name] = Percentile(door.us, 0.5);
        ::close(door.from);
    }
    // Each door against the same bytes written straight to the switcher; MQTT's way also
    // against the broker's own hop, publisher to subscriber.
    for (const char* door : {"raw", "router", "web", "mqtt"}) {
        AddRow(state, std::string(door) + "_us",
               {std::string("request -> switcher: ") + door + ", us", median[door],
                median["direct"], door == std::string("mqtt") ? "" : "+100 us"});
    }
    AddRow(state, "mqtt_over_broker_us",
           {"request -> switcher: mqtt, us (broker hop)", median["mqtt"], median["broker"],
            "+100 us"});
    ::close(hop);
}

// ---- 50 routes/s from 570 clients -----------------------------------------------------------

// Output k on input k, as the fake switcher starts (index 0 unused).
std::array<int, kPorts + 1> StartingRoutes() {
    std::array<int, kPorts + 1> routes{};
    for (int k = 0; k <= kPorts; ++k) {
        routes[static_cast<std::size_t>(k)] = k;
    }
    return routes;
}

// The load's switcher, on its own thread: each route command answered with its reply line,
// "Status." with every route and "StatusN." with one, after `delay`.
class AnsweringSwitcher {
  public:
    AnsweringSwitcher(int link, std::chrono::milliseconds delay) : m_link(link), m_delay(delay) {
        m_thread = std::thread([this] { Serve(); });
    }
    ~AnsweringSwitcher() {
        m_stop = true;
        m_thread.join();
    }
    AnsweringSwitcher(const AnsweringSwitcher&) = delete;
    AnsweringSwitcher& operator=(const AnsweringSwitcher&) = delete;

    std::array<int, kPorts + 1> Routes() const {
        const std::lock_guard lock(m_mutex);
        return m_routes;
    }

  private:
    void Serve() {
        std::string in;
        while (!m_stop) {
            pollfd readable{m_link, POLLIN, 0};
            if (::poll(&readable, 1, 100) <= 0) {
                continue;
            }
            ReadAvailable(m_link, &in);
            std::string reply;
            for (std::size_t end; (end = in.find_first_of(".;")) != std::string::npos;) {
                reply += Answer(in.substr(0, end));
                in.erase(0, end + 1);
            }
            if (!reply.empty()) {
                std::this_thread::sleep_for(m_delay);
                SendAll(m_link, reply);
            }
        }
    }
    std::string Answer(std::string command) {
        command.erase(0, command.find_first_not_of(" \r\n"));
        const std::lock_guard lock(m_mutex);
        const auto line = [&](int output) {
            return "AV:" + std::to_string(m_routes[static_cast<std::size_t>(output)]) + "->" +
                   std::to_string(output) + "\r\n";
        };
        int input = 0;
        int output = 0;
        std::string reply;
        if (command == "Status") {
            for (output = 1; output <= kPorts; ++output) {
                reply += line(output);
            }
        } else if (std::sscanf(command.c_str(), "Status%d", &output) == 1 && output >= 1 &&
                   output <= kPorts) {
            reply = line(output);
        } else if (std::sscanf(command.c_str(), "%dB%d", &input, &output) == 2 && input >= 1 &&
                   input <= kPorts && output >= 1 && output <= kPorts) {
            m_routes[static_cast<std::size_t>(output)] = input;
            reply = line(output);
        }
        return reply;
    }

    int m_link;
    std::chrono::milliseconds m_delay;
    mutable std::mutex m_mutex;
    std::array<int, kPorts + 1> m_routes = StartingRoutes();
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Each route of a router update block ("VIDEO OUTPUT ROUTING:\n4 2\n\n"), 1-based.
template <typename Take>
void ForEachRoute(const std::string& block, Take&& take) {
    const std::string title = "VIDEO OUTPUT ROUTING:\n";
    if (block.rfind(title, 0) != 0) {
        return;
    }
    std::istringstream lines(block.substr(title.size()));
    for (int output, input; lines >> output >> input;) {
        take(output + 1, input + 1);
    }
}

// The routes asked for and, per output, the ones not seen yet, oldest first. An output seen on
// input i settles the oldest open request for i and every older open one of that output: those
// were overtaken or folded into it. A request is only ever for an input its output neither
// shows nor waits for, so that each one ends in a change a client sees.
struct Requests {
    struct Asked {
        int output;
        int input;
        Clock::time_point at;
        std::string door;
    };
    std::vector<Asked> asked;
    std::array<std::deque<std::size_t>, kPorts + 1> open;
    std::vector<double> latencyMs;
    std::map<std::string, std::vector<double>> latencyMsByDoor;
    Clock::time_point lastSeen;
    std::array<int, kPorts + 1> shown = StartingRoutes();

    void Ask(int output, int input, const char* door) {
        open[static_cast<std::size_t>(output)].push_back(asked.size());
        asked.push_back({output, input, Clock::now(), door});
    }
    bool Changes(int output, int input) const {
        const auto& waiting = open[static_cast<std::size_t>(output)];
        return shown[static_cast<std::size_t>(output)] != input &&
               std::none_of(waiting.begin(), waiting.end(),
                            [&](std::size_t k) { return asked[k].input == input; });
    }
    void Seen(int output, int input, Clock::time_point at) {
        shown[static_cast<std::size_t>(output)] = input;
        auto& waiting = open[static_cast<std::size_t>(output)];
        const auto match = std::find_if(waiting.begin(), waiting.end(),
                                        [&](std::size_t k) { return asked[k].input == input; });
        if (match == waiting.end()) {
            return;
        }
        for (auto k = waiting.begin(); k <= match; ++k) {
            latencyMs.push_back(Ms(at - asked[*k].at));
            latencyMsByDoor[asked[*k].door].push_back(latencyMs.back());
        }
        waiting.erase(waiting.begin(), match + 1);
        lastSeen = at;
    }
    std::size_t Open() const {
        std::size_t count = 0;
        for (const auto& waiting : open) {
            count += waiting.size();
        }
        return count;
    }
};

// A WebSocket on the web door's events, read from here on as bytes only.
int OpenEvents(std::uint16_t port, const std::string& token, int host) {
    const int fd = Connect(port, host);
    const std::string origin = "127.0.0.1:" + std::to_string(port);
    SendAll(fd, "GET /api/v1/events HTTP/1.1\r\nHost: " + origin + "\r\nOrigin: http://" + origin +
                    "\r\nUpgrade: websocket\r\nConnection: Upgrade"
                    "\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=="
                    "\r\nSec-WebSocket-Version: 13\r\nCookie: matrixd_session=" +
                    token + "\r\n\r\n");
    if (ReadPast(fd, "\r\n\r\n").find(" 101 ") == std::string::npos) {
        Die("the WebSocket upgrade was refused");
    }
    return fd;
}

constexpr const char* kDoorNames[] = {"router", "raw", "web"};

// Who asks for routes in the load, and how: its socket's place among the clients, and a web
// client's session.
struct Asker {
    enum class Door { Router, Raw, Web } door;  // in the order of kDoorNames
    std::size_t index;
    std::string token;
};

// The load's clients: a watching router client first, then 500 router, 20 raw and 50 web
// clients that ask (each web client also on a WebSocket of its own, after them all).
std::vector<int> OpenLoadClients(const Daemon& daemon, std::vector<Asker>& askers) {
    std::vector<int> fds = {RouterClient(daemon.routerPort)};
    const auto add = [&](Asker::Door door, int fd, std::string token = {}) {
        askers.push_back({door, fds.size(), std::move(token)});
        fds.push_back(fd);
    };
    for (int k = 0; k < 500; ++k) {
        add(Asker::Door::Router, RouterClient(daemon.routerPort));
    }
    for (int k = 0; k < 20; ++k) {
        add(Asker::Door::Raw, Connect(daemon.rawPort));
    }
    std::vector<int> events;
    for (int k = 0; k < 50; ++k) {
        const int host = 2 + k / 16;  // within the web door's share per address
        const int fd = Connect(daemon.webPort, host);
        add(Asker::Door::Web, fd, OpenSession(fd, daemon.webPort));
        events.push_back(OpenEvents(daemon.webPort, askers.back().token, host));
    }
    fds.insert(fds.end(), events.begin(), events.end());
    return fds;
}

// The routes a client connecting now learns.
std::array<int, kPorts + 1> RoutesShown(std::uint16_t routerPort) {
    const int fd = Connect(routerPort);
    std::string prelude = ReadPast(fd, "END PRELUDE:\n\n");
    ::close(fd);
    prelude.erase(0, prelude.find("VIDEO OUTPUT ROUTING:\n"));
    std::array<int, kPorts + 1> shown{};
    ForEachRoute(prelude.substr(0, prelude.find("\n\n") + 1),
                 [&](int output, int input) { shown[static_cast<std::size_t>(output)] = input; });
    return shown;
}

void BM_RouteLoad(benchmark::State& state) {
    const int seconds = EnvOr("MP_BENCH_LOAD_SECONDS", 30);
    FakeSwitcher switcher;
    Daemon daemon(switcher, {true, {}});
    AnsweringSwitcher answering(switcher.link,
                                std::chrono::milliseconds(EnvOr("MP_BENCH_SWITCHER_DELAY_MS", 0)));
    std::vector<Asker> askers;
    EpollReader reader(OpenLoadClients(daemon, askers));
    Requests requests;
    const auto readAll = [&](int timeoutMs) {
        return reader.Poll(timeoutMs, [&](std::size_t index, std::string& got) {
            if (index != 0) {
                got.clear();  // answers, updates and states to the others: read and let go
                return;
            }
            const auto now = Clock::now();
            for (std::size_t end; (end = got.find("\n\n")) != std::string::npos;) {
                ForEachRoute(got.substr(0, end + 1),
                             [&](int output, int input) { requests.Seen(output, input, now); });
                got.erase(0, end + 2);
            }
        });
    };
    while (readAll(500)) {
    }
    std::mt19937 random(36);
    std::shuffle(askers.begin(), askers.end(), random);
    std::array<int, kPorts + 1> lastAsked = StartingRoutes();
    double drainMs = 0;
    double lateMs = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        for (int k = 0; k < 50 * seconds;) {
            const auto due = start + k * 20ms;
            if (Clock::now() < due) {
                readAll(static_cast<int>(std::max<double>(1, Ms(due - Clock::now()))));
                continue;
            }
            // A request sent late says the machine, not the daemon, held things up.
            lateMs = std::max(lateMs, Ms(Clock::now() - due));
            const int output = 1 + static_cast<int>(random() % kPorts);
            int input = 0;
            do {
                input = 1 + static_cast<int>(random() % kPorts);
            } while (!requests.Changes(output, input));
            lastAsked[static_cast<std::size_t>(output)] = input;
            const Asker& asker = askers[static_cast<std::size_t>(k++) % askers.size()];
            requests.Ask(output, input, kDoorNames[static_cast<int>(asker.door)]);
            SendAll(reader.Fd(asker.index),
                    asker.door == Asker::Door::Router ? RouterRoute(output, input)
                    : asker.door == Asker::Door::Raw
                        ? RawRoute(output, input)
                        : WebRoute(daemon.webPort, asker.token, output, input));
        }
        const auto lastAskedAt = requests.asked.back().at;
        // The backlog: until every route was seen, or nothing changed for three seconds.
        while (requests.Open() > 0 &&
               Clock::now() - std::max(lastAskedAt, requests.lastSeen) < 3s) {
            readAll(100);
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        drainMs = std::max(0.0, Ms(requests.lastSeen - lastAskedAt));
    }
    while (readAll(300)) {
    }
    const auto shown = RoutesShown(daemon.routerPort);
    const auto atSwitcher = answering.Routes();
    int wrong = 0;
    int wrongAtSwitcher = 0;
    for (std::size_t output = 1; output <= kPorts; ++output) {
        wrong += shown[output] != lastAsked[output] ? 1 : 0;
        wrongAtSwitcher += atSwitcher[output] != lastAsked[output] ? 1 : 0;
    }
    const auto row = [&](const char* counter, const char* figure, double value, const char* goal) {
        AddRow(state, counter, {figure, value, std::nan(""), goal});
    };
    state.counters["routes"] = static_cast<double>(requests.asked.size());
    row("p50_ms", "load 50 routes/s: p50, ms", Percentile(requests.latencyMs, 0.5), "");
    row("p99_ms", "load 50 routes/s: p99, ms", Percentile(requests.latencyMs, 0.99), "<= 100 ms");
    state.counters["bench_late_max_ms"] = lateMs;
    state.counters["p90_ms"] = Percentile(requests.latencyMs, 0.9);
    state.counters["max_ms"] = Percentile(requests.latencyMs, 1.0);
    for (const auto& [door, latencies] : requests.latencyMsByDoor) {
        state.counters["p99_ms_" + door] = Percentile(latencies, 0.99);
    }
    row("drain_ms", "load: changes after the last request, ms", drainMs, "no backlog");
    row("wrong_final", "load: outputs not on their last route", wrong, "0");
    row("wrong_at_switcher", "load: the same, at the switcher", wrongAtSwitcher, "0");
    row("never_seen", "load: routes never seen", static_cast<double>(requests.Open()), "");
}

BENCHMARK(BM_FanOut)->Arg(100)->Iterations(300)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FanOut)->Arg(1000)->Iterations(100)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RequestToSwitcher)->Iterations(200)->UseManualTime();
BENCHMARK(BM_RouteLoad)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    // Two thousand clients and more: the daemon and the broker inherit the limit too.
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    PrintTable();
    return 0;
}
