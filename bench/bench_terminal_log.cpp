// The terminal view's log: one reply appended to a log that is empty, half full or at its limit
// (where every quarter of the limit in new text pays for a trim), and a reply line arriving in
// small pieces with no line end in sight.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QApplication>

#include <memory>
#include <string>

#include "link/CNetClient.h"
#include "link/CSendPath.h"
#include "link/CSerialPort.h"
#include "terminal/CAdFunView.h"

namespace {

struct Terminal {
    CSerialPort serial;
    CNetClient net;
    CSendPath path{net, serial, [] { return LinkMode::Serial; }};
    std::unique_ptr<CAdFunView> view;

    Terminal() {
        CAdFunView::Context context{serial, net, path, {}, {}, {}, {}};
        view = std::make_unique<CAdFunView>(std::move(context), QRect(0, 0, 720, 210), nullptr, 9);
    }
};

void Fill(CAdFunView& view, std::size_t bytes) {
    const std::string line = "V:12->34 " + std::string(60, '.') + "\r\n";
    while (view.LogText().size() + line.size() < bytes) {
        view.AppendReceived(line);
    }
}

void BM_AppendReply(benchmark::State& state) {
    Terminal terminal;
    Fill(*terminal.view, static_cast<std::size_t>(state.range(0)) * 1024);
    const std::string reply = "A:3->5\r\n";
    for (auto _ : state) {
        terminal.view->AppendReceived(reply);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * reply.size()));
}
// Log size in KiB before the run: empty, half full, at the limit.
BENCHMARK(BM_AppendReply)->Arg(0)->Arg(512)->Arg(1023);

// What the one append that crosses the limit costs: three quarters of it shown afresh.
void BM_ShowAfresh(benchmark::State& state) {
    Terminal terminal;
    std::string text;
    const std::string line = "V:12->34 " + std::string(60, '.') + "\r\n";
    while (text.size() + line.size() < CAdFunView::kLogLimit / 4 * 3) {
        text += line;
    }
    for (auto _ : state) {
        terminal.view->ReplaceLogText(text);
    }
}
BENCHMARK(BM_ShowAfresh)->Unit(benchmark::kMillisecond);

void BM_AppendWithoutLineEnds(benchmark::State& state) {
    Terminal terminal;
    const std::string piece(64, 'x');
    for (auto _ : state) {
        terminal.view->AppendReceived(piece);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * piece.size()));
}
BENCHMARK(BM_AppendWithoutLineEnds);

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // No COMn links anywhere: the view opens no port of the machine.
    ::setenv("MATRIXPANEL_SYSDIR", "/nonexistent/matrixpanel-bench", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
