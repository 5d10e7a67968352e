// The send path on loopback TCP against a bare send of the same bytes, and on a pseudo-terminal
// the time from a reply's last byte to its hand-over by the serial reader thread.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "MedianRatioReporter.h"
#include "link/CNetClient.h"
#include "link/CSendPath.h"
#include "link/CSerialPort.h"
#include "link/ConnectThread.h"
#include "panel/CommandSet.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Loopback {
    int listener = -1;
    int peer = -1;
    std::uint16_t port = 0;

    Loopback() {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(listener, reinterpret_cast<sockaddr*>(&a), len);
        ::listen(listener, 1);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    void Accept() { peer = ::accept(listener, nullptr, nullptr); }
    ~Loopback() {
        ::close(peer);
        ::close(listener);
    }
};

// Reads exactly n bytes: the peer has them all.
void ReadAll(int fd, std::size_t n) {
    char buffer[64];
    while (n > 0) {
        const ssize_t got = ::recv(fd, buffer, std::min(n, sizeof buffer), 0);
        if (got <= 0) {
            std::abort();
        }
        n -= static_cast<std::size_t>(got);
    }
}

void BM_SendToDeviceTcp(benchmark::State& state) {
    Loopback loop;
    CNetClient net;
    net.Create();
    ConnectThread connect;
    connect.Start({{127, 0, 0, 1}, loop.port, &net, net.SocketToken()}, {});
    loop.Accept();
    while (connect.Running()) {  // the result is handed over once the connect has returned
        std::this_thread::yield();
    }
    connect.Stop();
    CSerialPort serial;
    CSendPath path(net, serial, [] { return LinkMode::Network; });
    const DeviceCommand command = RouteCommand('B', InputNo{3}, OutputNo{5});
    for (auto _ : state) {
        path.SendToDevice(command.text, command.route, command.flag);
        ReadAll(loop.peer, 4);
    }
}

void BM_RawSendTcp(benchmark::State& state) {
    Loopback loop;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(loop.port);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    loop.Accept();
    for (auto _ : state) {
        ::send(fd, "3B5.", 4, MSG_NOSIGNAL);
        ReadAll(loop.peer, 4);
    }
    ::close(fd);
}

// A raw pseudo-terminal linked as COM1 of a system directory of its own.
struct PtyCom1 {
    char dir[32] = "/tmp/mp-bench-XXXXXX";
    int master = -1;
    int slave = -1;

    PtyCom1() {
        ::mkdtemp(dir);
        ::setenv("MATRIXPANEL_SYSDIR", dir, 1);
        char name[256];
        ::openpty(&master, &slave, name, nullptr, nullptr);
        struct termios tio {};
        ::tcgetattr(slave, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(slave, TCSANOW, &tio);
        std::filesystem::create_symlink(name, std::string(dir) + "/COM1");
    }
    ~PtyCom1() {
        ::close(master);
        ::close(slave);
        std::filesystem::remove_all(dir);
        ::unsetenv("MATRIXPANEL_SYSDIR");
    }
};

// From the reply's last byte written on the device side to the hand-over through the reader,
// for a reply line (argument 1) and for bytes without a line end (0), which wait for the line
// to go quiet.
void BM_SerialReplyLatency(benchmark::State& state) {
    const bool lineEnd = state.range(0) != 0;
    const std::string reply = lineEnd ? "AV:1->2\r\n" : "AV:1->2";
    PtyCom1 pty;
    const int master = pty.master;

    std::mutex mutex;
    std::condition_variable cv;
    bool delivered = false;
    Clock::time_point at;
    CSerialPort port;
    port.SetReceivers({[&](std::string_view) {
                           std::lock_guard lock(mutex);
                           at = Clock::now();
                           delivered = true;
                           cv.notify_all();
                       },
                       {}});
    port.OpenByName("Com1");
    std::mt19937 random(7);
    std::vector<double> samples;
    for (auto _ : state) {
        state.PauseTiming();
        // Replies come at any moment of the reader's cycle.
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 250));
        state.ResumeTiming();
        const Clock::time_point written = Clock::now();
        if (::write(master, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) {
            std::abort();
        }
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return delivered; });
        delivered = false;
        samples.push_back(std::chrono::duration<double, std::milli>(at - written).count());
    }
    port.Close();
    std::sort(samples.begin(), samples.end());
    auto percentile = [&](double p) {
        return samples[std::min(samples.size() - 1,
                                static_cast<std::size_t>(p * static_cast<double>(samples.size())))];
    };
    state.counters["median_ms"] = percentile(0.5);
    state.counters["p99_ms"] = percentile(0.99);
    state.counters["max_ms"] = samples.back();
}

// Reply lines written as fast as the pty takes them, until the reader has handed all over:
// bytes per second through the serial reader (a 115 200 bit/s line carries 11 520).
void BM_SerialThroughput(benchmark::State& state) {
    PtyCom1 pty;
    std::mutex mutex;
    std::condition_variable cv;
    std::size_t received = 0;
    CSerialPort port;
    port.SetReceivers({[&](std::string_view text) {
                           std::lock_guard lock(mutex);
                           received += text.size();
                           cv.notify_all();
                       },
                       {}});
    port.OpenByName("Com1");
    std::string stream;
    while (stream.size() < 64 * 1024) {
        stream += "AV:12->34\r\n";
    }
    for (auto _ : state) {
        std::thread writer([&] {
            for (std::size_t done = 0; done < stream.size();) {
                const ssize_t n = ::write(pty.master, stream.data() + done, stream.size() - done);
                if (n > 0) {
                    done += static_cast<std::size_t>(n);
                }
            }
        });
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return received >= stream.size(); });
        received -= stream.size();
        lock.unlock();
        writer.join();
    }
    port.Close();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}

BENCHMARK(BM_SendToDeviceTcp)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_RawSendTcp)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_SerialReplyLatency)->Arg(1)->Arg(0)->Iterations(80)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SerialThroughput)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    return RunWithRatios(
        argc, argv,
        MedianRatioReporter("BM_SendToDeviceTcp", "BM_RawSendTcp", "goal: at most 1.2x"));
}
