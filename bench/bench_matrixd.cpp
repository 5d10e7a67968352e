// matrixd as its clients and its switcher see it. The bench owns a loopback listener that
// plays the switcher (matrixd --net to it) and the router-protocol clients, so what it times
// is the daemon alone:
//   - a route request on the router port until its command reaches the switcher, against a
//     command written straight to the switcher's socket (as matrixctl does);
//   - a reply line from the switcher until the update reached each of 200 clients;
//   - 1,000 client connects and disconnects: the daemon's descriptors and memory before and
//     after;
//   - the daemon's processor time while 200 clients stay connected and say nothing.
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

#include "MatrixdRig.h"

namespace {

using namespace bench;

std::map<std::string, double> g_medianUs;

// ---- A route request until the switcher has its command -------------------------------------

void BM_RouteRequestThroughMatrixd(benchmark::State& state) {
    g_medianUs["matrixd"] = Percentile(TimeRouterRoutes(state), 0.5);
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
    SetPercentiles(state, samples, "", "us");
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
    const double cpuBefore = daemon.CpuMs();
    const std::vector<double> last = TimeRepliesToEveryClient(state, switcher, fds, [](int input) {
        return "VIDEO OUTPUT ROUTING:\n4 " + std::to_string(input - 1) + "\n\n";
    });
    for (int fd : fds) {
        ::close(fd);
    }
    // The daemon's own work per update, whatever else the machine is doing meanwhile.
    state.counters["daemon_cpu_ms_per_update"] =
        (daemon.CpuMs() - cpuBefore) / static_cast<double>(last.size());
    SetPercentiles(state, last, "last_client_", "ms");
}

// ---- Connects and disconnects ----------------------------------------------------------------

void BM_ConnectDisconnectCycles(benchmark::State& state) {
    FakeSwitcher switcher;
    Daemon daemon(switcher);
    MeasureCycles(state, daemon, [&] { ::close(RouterClient(daemon.routerPort)); });
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
