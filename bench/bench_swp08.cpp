// matrixd's SW-P-08 door as its clients and its switcher see it, on the shared rig (a loopback
// switcher and the real daemon):
//   - a connect until its command reaches the switcher, against a route request on the
//     router port (what the SW-P-08 door adds over the router door);
//   - a reply line from the switcher until the connected messages reached each of 50 SW-P-08
//     clients (the last client's time, median and p99).
#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "MatrixdRig.h"
#include "hub/swp08/Swp08Frame.h"

namespace {

using namespace bench;

std::map<std::string, double> g_medianUs;

std::string Message(std::initializer_list<int> bytes) {
    std::string message;
    for (const int b : bytes) {
        message.push_back(static_cast<char>(b));
    }
    return message;
}

// The connected message of output 5 (destination 4) from `input` (1-based) on `level`.
std::string ConnectedFrame(int level, int input) {
    return Swp08::Frame(Message({0x04, level, 0, 4, input - 1}));
}

void BM_RouterRouteRequest(benchmark::State& state) {
    g_medianUs["router"] = Percentile(TimeRouterRoutes(state), 0.5);
}

// A connect until the switcher has its command. Outside the time measured the switcher answers
// and the client reads its ACK and the connected message.
void BM_Swp08Connect(benchmark::State& state) {
    FakeSwitcher switcher;
    Daemon daemon(switcher);
    const int client = Connect(daemon.swp08Port);
    std::vector<double> samples;
    int input = 1;
    for (auto _ : state) {
        input = input == 1 ? 2 : 1;  // never the route it has
        const std::string command = std::to_string(input) + "V5.";
        const auto start = Clock::now();
        SendAll(client, Swp08::Frame(Message({0x02, 0, 0, 4, input - 1})));
        std::string got;
        ReadUntil(switcher.link, got, command);
        Record(state, samples, start, Clock::now());
        SendAll(switcher.link, "V:" + std::to_string(input) + "->5\r\n");
        std::string answer;
        ReadUntil(client, answer, ConnectedFrame(0, input));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    ::close(client);
    SetPercentiles(state, samples, "", "us");
    g_medianUs["swp08"] = Percentile(samples, 0.5);
}

// A route reported by the switcher until every client has both levels' connected messages.
void BM_Swp08RouteToEveryClient(benchmark::State& state) {
    const auto clients = static_cast<std::size_t>(state.range(0));
    FakeSwitcher switcher;
    Daemon daemon(switcher);
    std::vector<int> fds;
    for (std::size_t k = 0; k < clients; ++k) {
        fds.push_back(Connect(daemon.swp08Port));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // every client accepted
    const std::vector<double> last = TimeRepliesToEveryClient(state, switcher, fds, [](int input) {
        return ConnectedFrame(0, input) + ConnectedFrame(1, input);
    });
    for (int fd : fds) {
        ::close(fd);
    }
    SetPercentiles(state, last, "last_client_", "ms");
}

BENCHMARK(BM_RouterRouteRequest)->Iterations(300)->UseManualTime();
BENCHMARK(BM_Swp08Connect)->Iterations(300)->UseManualTime();
BENCHMARK(BM_Swp08RouteToEveryClient)
    ->Arg(50)
    ->Iterations(300)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_medianUs.count("router") != 0 && g_medianUs.count("swp08") != 0) {
        std::printf("SW-P-08 connect: %.1f us over the router door's route request (median)\n",
                    g_medianUs["swp08"] - g_medianUs["router"]);
    }
    return 0;
}
