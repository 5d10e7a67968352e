// matrixd as its clients and its switcher see it. The bench owns a loopback listener that
// plays the switcher (matrixd --net to it) and the router-protocol clients, so what it times
// is the daemon alone:
//   - a route request on the router port until its command reaches the switcher, against a
//     command written straight to the switcher's socket (as matrixctl does);
//   - a reply line from the switcher until the update reached each of 200 clients;
//   - 1,000 client connects and disconnects: the daemon's descriptors and memory before and
//     after;
//   - the daemon's processor time while 200 clients stay connected and say nothing.
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
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPorts = 16;

[[noreturn]] void Die(const char* what) {
    std::fprintf(stderr, "bench_matrixd: %s\n", what);
    std::abort();
}

int Listener(std::uint16_t& port) {
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

int Connect(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        Die("connect");
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

void SendAll(int fd, const std::string& bytes) {
    if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(bytes.size())) {
        Die("send");
    }
}

// Reads into `got` until it ends with `end`.
void ReadUntil(int fd, std::string& got, const std::string& end) {
    char buffer[65536];
    while (got.size() < end.size() || got.compare(got.size() - end.size(), end.size(), end) != 0) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            Die("the daemon closed a connection");
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
}

// A router client that has read its initial dump.
int RouterClient(std::uint16_t port) {
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

// matrixd on the fake switcher, router port and raw port picked free.
struct Daemon {
    pid_t pid = -1;
    std::uint16_t routerPort = 0;
    std::string sysDir;

    explicit Daemon(FakeSwitcher& switcher) {
        char dir[] = "/tmp/mp-bench-matrixd-XXXXXX";
        if (::mkdtemp(dir) == nullptr) {
            Die("mkdtemp");
        }
        sysDir = dir;
        ::setenv("MATRIXPANEL_SYSDIR", dir, 1);
        std::vector<std::string> args = {
            MATRIXD_PATH, "--net", "127.0.0.1:" + std::to_string(switcher.port), "--inputs",
            std::to_string(kPorts), "--outputs", std::to_string(kPorts), "--videohub-port", "0",
            "--raw-port", "0", "--web-port", "0", "--no-advertise",
            // This switcher answers only what a benchmark reads
            // for: the daemon is not to probe it or find it
            // absent meanwhile.
            "--no-echo"};
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
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            Die("spawn matrixd");
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        std::string text;
        char buffer[256];
        while (text.find("videohub ") == std::string::npos ||
               text.find('\n', text.find("videohub ")) == std::string::npos) {
            const ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n <= 0) {
                Die("matrixd printed no port");
            }
            text.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(out[0]);
        const std::size_t line = text.find("videohub ");
        routerPort = static_cast<std::uint16_t>(std::stoi(text.substr(text.find(':', line) + 1)));
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
    double CpuMs() const {
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
};

double Percentile(std::vector<double> samples, double p) {
    std::sort(samples.begin(), samples.end());
    return samples[std::min(samples.size() - 1,
                            static_cast<std::size_t>(p * static_cast<double>(samples.size())))];
}

std::map<std::string, double> g_medianUs;

// ---- A route request until the switcher has its command -------------------------------------

void BM_RouteRequestThroughMatrixd(benchmark::State& state) {
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
        const auto end = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        samples.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        // Outside the time measured: the switcher answers, the client reads its ACK and the
        // update (the route counts as made once sent), and the daemon's pause for the rest
        // of a reply passes, so that each request finds the line free as a single one does.
        SendAll(switcher.link, "AV:" + std::to_string(input + 1) + "->5\r\n");
        std::string ack;
        ReadUntil(client, ack, "VIDEO OUTPUT ROUTING:\n4 " + std::to_string(input) + "\n\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    ::close(client);
    state.counters["median_us"] = Percentile(samples, 0.5);
    state.counters["p99_us"] = Percentile(samples, 0.99);
    g_medianUs["matrixd"] = Percentile(samples, 0.5);
}

// matrixctl's way: the command written to the switcher's socket directly.
void BM_DirectWrite(benchmark::State& state) {
    FakeSwitcher switcher;
    const int ctl = Connect(switcher.port);
    switcher.link = ::accept4(switcher.listener, nullptr, nullptr, SOCK_CLOEXEC);
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = Clock::now();
        SendAll(ctl, "3B5.");
        std::string got;
        ReadUntil(switcher.link, got, "3B5.");
        const auto end = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        samples.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    ::close(ctl);
    state.counters["median_us"] = Percentile(samples, 0.5);
    state.counters["p99_us"] = Percentile(samples, 0.99);
    g_medianUs["direct"] = Percentile(samples, 0.5);
}

// `count` router clients of the daemon, each past its status dump.
std::vector<int> RouterClients(const Daemon& daemon, std::size_t count) {
    std::vector<int> fds;
    for (std::size_t k = 0; k < count; ++k) {
        fds.push_back(RouterClient(daemon.routerPort));
    }
    return fds;
}

// ---- A reply line until every client has the update -----------------------------------------

void BM_ReplyToEveryClient(benchmark::State& state) {
    const auto clients = static_cast<std::size_t>(state.range(0));
    FakeSwitcher switcher;
    Daemon daemon(switcher);
    const std::vector<int> fds = RouterClients(daemon, clients);
    std::vector<double> last;
    int input = 1;
    const double cpuBefore = daemon.CpuMs();
    for (auto _ : state) {
        input = input == 1 ? 2 : 1;
        const std::string expected =
            "VIDEO OUTPUT ROUTING:\n4 " + std::to_string(input - 1) + "\n\n";
        std::vector<std::string> got(clients);
        std::vector<pollfd> waiting;
        for (int fd : fds) {
            waiting.push_back({fd, POLLIN, 0});
        }
        const auto start = Clock::now();
        SendAll(switcher.link, "AV:" + std::to_string(input) + "->5\r\n");
        std::size_t done = 0;
        Clock::time_point end;
        while (done < clients) {
            if (::poll(waiting.data(), waiting.size(), 10000) <= 0) {
                Die("an update did not come");
            }
            for (std::size_t k = 0; k < clients; ++k) {
                if (waiting[k].fd < 0 || (waiting[k].revents & POLLIN) == 0) {
                    continue;
                }
                char buffer[4096];
                const ssize_t n = ::recv(waiting[k].fd, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    Die("the daemon closed a client");
                }
                got[k].append(buffer, static_cast<std::size_t>(n));
                if (got[k].size() >= expected.size()) {
                    if (got[k] != expected) {
                        Die("an update is not the route's");
                    }
                    waiting[k].fd = -1;
                    ++done;
                    end = Clock::now();
                }
            }
        }
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        last.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    for (int fd : fds) {
        ::close(fd);
    }
    // The daemon's own work per update, whatever else the machine is doing meanwhile.
    state.counters["daemon_cpu_ms_per_update"] =
        (daemon.CpuMs() - cpuBefore) / static_cast<double>(last.size());
    state.counters["last_client_median_ms"] = Percentile(last, 0.5);
    state.counters["last_client_p99_ms"] = Percentile(last, 0.99);
}

// ---- Connects and disconnects ----------------------------------------------------------------

void BM_ConnectDisconnectCycles(benchmark::State& state) {
    const int cycles = static_cast<int>(state.range(0));
    FakeSwitcher switcher;
    Daemon daemon(switcher);
    // A first round lets the daemon's allocator reach its working size.
    for (int k = 0; k < 50; ++k) {
        ::close(RouterClient(daemon.routerPort));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::size_t fdsBefore = daemon.Descriptors();
    const long rssBefore = daemon.RssKiB();
    for (auto _ : state) {
        for (int k = 0; k < cycles; ++k) {
            ::close(RouterClient(daemon.routerPort));
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    state.counters["fds_before"] = static_cast<double>(fdsBefore);
    state.counters["fds_after"] = static_cast<double>(daemon.Descriptors());
    state.counters["rss_kib_before"] = static_cast<double>(rssBefore);
    state.counters["rss_kib_after"] = static_cast<double>(daemon.RssKiB());
}

// ---- Idle clients ------------------------------------------------------------------------------

void BM_IdleClientsCpu(benchmark::State& state) {
    const auto clients = static_cast<std::size_t>(state.range(0));
    FakeSwitcher switcher;
    Daemon daemon(switcher);
    const std::vector<int> fds = RouterClients(daemon, clients);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    double cpuMs = 0;
    double wallMs = 0;
    for (auto _ : state) {
        const double before = daemon.CpuMs();
        const auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(5));
        cpuMs += daemon.CpuMs() - before;
        wallMs += std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    }
    for (int fd : fds) {
        ::close(fd);
    }
    state.counters["daemon_cpu_ms"] = cpuMs;
    state.counters["daemon_cpu_percent"] = 100.0 * cpuMs / wallMs;
}

BENCHMARK(BM_RouteRequestThroughMatrixd)->Iterations(500)->UseManualTime();
BENCHMARK(BM_DirectWrite)->Iterations(2000)->UseManualTime();
BENCHMARK(BM_ReplyToEveryClient)
    ->Arg(200)
    ->Iterations(300)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConnectDisconnectCycles)->Arg(1000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IdleClientsCpu)->Arg(200)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_medianUs.count("matrixd") != 0 && g_medianUs.count("direct") != 0) {
        std::printf(
            "route request: matrixd adds %.1f us to a direct write (median; goal: at most "
            "500 us)\n",
            g_medianUs["matrixd"] - g_medianUs["direct"]);
    }
    return 0;
}
