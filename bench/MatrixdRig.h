#pragma once
// What the matrixd benchmarks share: a loopback switcher that the daemon connects to (--net),
// the real matrixd on it with every port picked free, and plain socket helpers, so that what
// they time is the daemon alone.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <errno.h>
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
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace bench {

using Clock = std::chrono::steady_clock;

// Inputs and outputs of the switcher the benchmarks play.
constexpr int kPorts = 16;

[[noreturn]] inline void Die(const char* what) {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what);
    std::abort();
}

inline int Listener(std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, 8) != 0) {
        Die("listen");
    }
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

// Whether something listens on the loopback port yet (a server being started).
inline bool Accepting(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// A connection to a loopback port from 127.0.0.`host`: the web door gives each address only a
// share of its connections, and a bench may play many browsers.
inline int Connect(std::uint16_t port, int host = 1) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    if (host != 1) {
        a.sin_addr.s_addr = htonl((INADDR_LOOPBACK & ~0xffu) | static_cast<std::uint32_t>(host));
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            Die("bind");
        }
    }
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        Die("connect");
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

inline void SendAll(int fd, const std::string& bytes) {
    if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(bytes.size())) {
        Die("send");
    }
}

inline void Receive(int fd, std::string& got) {
    char buffer[65536];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
        Die("the daemon closed a connection");
    }
    got.append(buffer, static_cast<std::size_t>(n));
}

// From the moment `trigger` runs until every one of `fds` has received exactly `expected`:
// how long the last one took.
inline Clock::duration UntilEveryClientHas(const std::vector<int>& fds, const std::string& expected,
                                           const std::function<void()>& trigger) {
    std::vector<std::string> got(fds.size());
    std::vector<pollfd> waiting;
    for (int fd : fds) {
        waiting.push_back({fd, POLLIN, 0});
    }
    const auto start = Clock::now();
    trigger();
    std::size_t done = 0;
    Clock::time_point end = start;
    while (done < fds.size()) {
        if (::poll(waiting.data(), waiting.size(), 10000) <= 0) {
            Die("a client's message did not come");
        }
        for (std::size_t k = 0; k < fds.size(); ++k) {
            if (waiting[k].fd < 0 || (waiting[k].revents & POLLIN) == 0) {
                continue;
            }
            Receive(waiting[k].fd, got[k]);
            if (got[k].size() >= expected.size()) {
                if (got[k] != expected) {
                    Die("a client's message is not the one expected");
                }
                waiting[k].fd = -1;
                ++done;
                end = Clock::now();
            }
        }
    }
    return end - start;
}

// Reads into `got` until it ends with `end`.
inline void ReadUntil(int fd, std::string& got, const std::string& end) {
    while (got.size() < end.size() || got.compare(got.size() - end.size(), end.size(), end) != 0) {
        Receive(fd, got);
    }
}

// ---- The switcher and the daemon -------------------------------------------------------------

// A router client that has read its initial dump.
inline int RouterClient(std::uint16_t port) {
    const int fd = Connect(port);
    std::string dump;
    ReadUntil(fd, dump, "END PRELUDE:\n\n");
    return fd;
}

// The switcher: the daemon's one connection, answered like a switcher that has output k on
// input k.
struct FakeSwitcher {
    int listener = -1;
    int link = -1;
    std::uint16_t port = 0;

    FakeSwitcher() { listener = Listener(port); }
    ~FakeSwitcher() {
        ::close(link);
        ::close(listener);
    }
    void AcceptAndAnswerStatus() {
        link = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        const int one = 1;
        ::setsockopt(link, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::string asked;
        ReadUntil(link, asked, "Status.");
        std::string routes;
        for (int k = 1; k <= kPorts; ++k) {
            routes += "AV:" + std::to_string(k) + "->" + std::to_string(k) + "\r\n";
        }
        SendAll(link, routes);
    }
};

inline std::uint16_t PortAfter(const std::string& text, const std::string& label) {
    const std::size_t line = text.find(label);
    return static_cast<std::uint16_t>(std::stoi(text.substr(text.find(':', line) + 1)));
}

// matrixd on the fake switcher, every port picked free.
// User and system processor time of a process so far, in milliseconds.
inline double ProcessCpuMs(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int k = 3; k <= 15 && fields >> field; ++k) {
        if (k == 14 || k == 15) {  // utime, stime
            ticks += std::stod(field);
        }
    }
    return ticks * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// What a bench may ask of the daemon beyond what every bench runs it with.
struct DaemonSetup {
    // The switcher answers each command with its reply line, as a real one does, and the daemon
    // waits for it (the bench answers the link itself); otherwise the daemon does not wait.
    bool switcherAnswers = false;
    std::vector<std::string> extraArgs;
};

struct Daemon {
    pid_t pid = -1;
    std::uint16_t routerPort = 0;
    std::uint16_t rawPort = 0;
    std::uint16_t webPort = 0;
    std::uint16_t swp08Port = 0;
    std::string sysDir;

    explicit Daemon(FakeSwitcher& switcher, const DaemonSetup& setup = {}) {
        char dir[] = "/tmp/mp-bench-matrixd-XXXXXX";
        if (::mkdtemp(dir) == nullptr) {
            Die("mkdtemp");
        }
        sysDir = dir;
        ::setenv("MATRIXPANEL_SYSDIR", dir, 1);
        std::vector<std::string> args = {
            MATRIXD_PATH, "--net", "127.0.0.1:" + std::to_string(switcher.port), "--inputs",
            std::to_string(kPorts), "--outputs", std::to_string(kPorts),
            // Every port picked free, and none announced on the network.
            "--videohub-port", "0", "--raw-port", "0", "--web-port", "0", "--swp08-port", "0",
            "--no-advertise"};
        if (!setup.switcherAnswers) {
            // This switcher answers only what a benchmark reads for: the daemon is not to
            // probe it or find it absent meanwhile. Reply lines it sends unasked still count.
            args.push_back("--no-echo");
        }
        args.insert(args.end(), setup.extraArgs.begin(), setup.extraArgs.end());
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            Die("pipe");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        // The daemon's log, kept where MP_BENCH_DAEMON_LOG says when a figure needs explaining.
        const char* log = std::getenv("MP_BENCH_DAEMON_LOG");
        posix_spawn_file_actions_addopen(&actions, 2, log != nullptr ? log : "/dev/null",
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            Die("spawn matrixd");
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        // The web port is the last one printed.
        std::string text;
        char buffer[256];
        while (text.find("web ") == std::string::npos ||
               text.find('\n', text.find("web ")) == std::string::npos) {
            const ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n <= 0) {
                Die("matrixd printed no web port");
            }
            text.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(out[0]);
        routerPort = PortAfter(text, "videohub ");
        rawPort = PortAfter(text, "\nraw ");
        webPort = PortAfter(text, "\nweb ");
        swp08Port = PortAfter(text, "\nswp08 ");
        switcher.AcceptAndAnswerStatus();
        // Once the routes are learned a client's dump ends with the prelude's end.
        ::close(RouterClient(routerPort));
    }
    ~Daemon() {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        std::filesystem::remove_all(sysDir);
        ::unsetenv("MATRIXPANEL_SYSDIR");
    }

    std::size_t Descriptors() const {
        std::size_t count = 0;
        for ([[maybe_unused]] const auto& entry :
             std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
            ++count;
        }
        return count;
    }
    long RssKiB() const {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmRSS:", 0) == 0) {
                return std::stol(line.substr(6));
            }
        }
        return -1;
    }
    // User and system processor time so far, in milliseconds.
    double CpuMs() const { return ProcessCpuMs(pid); }
};

inline double Percentile(std::vector<double> samples, double p) {
    std::sort(samples.begin(), samples.end());
    return samples[std::min(samples.size() - 1,
                            static_cast<std::size_t>(p * static_cast<double>(samples.size())))];
}

// One timed sample: the iteration's time for the benchmark, and microseconds for percentiles.
inline void Record(benchmark::State& state, std::vector<double>& samples, Clock::time_point start,
                   Clock::time_point end) {
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    samples.push_back(std::chrono::duration<double, std::micro>(end - start).count());
}

// The median and 99th percentile of `samples` as the counters `<prefix>median_<unit>` and
// `<prefix>p99_<unit>`.
inline void SetPercentiles(benchmark::State& state, const std::vector<double>& samples,
                           const std::string& prefix, const std::string& unit) {
    state.counters[prefix + "median_" + unit] = Percentile(samples, 0.5);
    state.counters[prefix + "p99_" + unit] = Percentile(samples, 0.99);
}

// A reply line from the switcher until every client has what it tells, once per iteration: the
// route to output 5 alternates between inputs 1 and 2, and `expected` gives the bytes each
// client is to have for the input. The times in milliseconds.
inline std::vector<double> TimeRepliesToEveryClient(
    benchmark::State& state, const FakeSwitcher& switcher, const std::vector<int>& fds,
    const std::function<std::string(int input)>& expected) {
    std::vector<double> last;
    int input = 1;
    for (auto _ : state) {
        input = input == 1 ? 2 : 1;
        const Clock::duration took = UntilEveryClientHas(fds, expected(input), [&] {
            SendAll(switcher.link, "AV:" + std::to_string(input) + "->5\r\n");
        });
        state.SetIterationTime(std::chrono::duration<double>(took).count());
        last.push_back(std::chrono::duration<double, std::milli>(took).count());
    }
    return last;
}

// A route request on the router port until the switcher has its command, once per iteration.
// Outside the time measured the switcher answers, the client reads its ACK and the update, and
// the daemon's pause for the rest of a reply passes, so that each request finds the line free
// as a single one does. The samples in microseconds.
inline std::vector<double> TimeRouterRoutes(benchmark::State& state) {
    FakeSwitcher switcher;
    Daemon daemon(switcher);
    const int client = RouterClient(daemon.routerPort);
    std::vector<double> samples;
    int input = 0;
    for (auto _ : state) {
        input = 1 - input;  // never the route it has, so every request is a switch
        const std::string request = "VIDEO OUTPUT ROUTING:\n4 " + std::to_string(input) + "\n\n";
        const std::string command = std::to_string(input + 1) + "B5.";
        const auto start = Clock::now();
        SendAll(client, request);
        std::string got;
        ReadUntil(switcher.link, got, command);
        Record(state, samples, start, Clock::now());
        SendAll(switcher.link, "AV:" + std::to_string(input + 1) + "->5\r\n");
        std::string ack;
        ReadUntil(client, ack, "VIDEO OUTPUT ROUTING:\n4 " + std::to_string(input) + "\n\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    ::close(client);
    SetPercentiles(state, samples, "", "us");
    return samples;
}

// `cycle` run state.range(0) times per iteration, after a first round that lets the daemon's
// allocator reach its working size: the daemon's descriptors and resident memory before and
// after, which stay flat when a cycle leaves nothing behind.
inline void MeasureCycles(benchmark::State& state, const Daemon& daemon,
                          const std::function<void()>& cycle) {
    const int cycles = static_cast<int>(state.range(0));
    for (int k = 0; k < 50; ++k) {
        cycle();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::size_t fdsBefore = daemon.Descriptors();
    const long rssBefore = daemon.RssKiB();
    for (auto _ : state) {
        for (int k = 0; k < cycles; ++k) {
            cycle();
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    state.counters["fds_before"] = static_cast<double>(fdsBefore);
    state.counters["fds_after"] = static_cast<double>(daemon.Descriptors());
    state.counters["rss_kib_before"] = static_cast<double>(rssBefore);
    state.counters["rss_kib_after"] = static_cast<double>(daemon.RssKiB());
}

}  // namespace bench
