// A flood of replies through the panel as the program wires it: each 1024-byte chunk goes to
// the panel's ShowReply (reply reader, model, keys marked) and to the hidden terminal's log,
// and the repaints it caused are processed. With --terminal the operator's console is shown
// as well (plain, or with timestamps and the hex view). The baseline is a minimal Qt reader that
// keeps the same bytes and repaints its window once per chunk. The ratio is time per chunk.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QApplication>
#include <QCheckBox>
#include <QPainter>
#include <QSettings>
#include <QWidget>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "MedianRatioReporter.h"
#include "app/CTerminalWindow.h"
#include "link/CNetClient.h"
#include "link/CSendPath.h"
#include "link/CSerialPort.h"
#include "panel/CStFunView.h"
#include "terminal/CAdFunView.h"
#include "terminal/CConsoleLog.h"

namespace {

constexpr std::size_t kChunk = 1024;  // what the network receive thread hands over at most

// Route replies of a 16 x 16 switcher, the way a status answer or a busy control room sends
// them, in chunks cut anywhere.
const std::string& Flood() {
    static const std::string stream = [] {
        std::string s;
        for (unsigned k = 0; s.size() < 256 * kChunk; ++k) {
            const char* kinds[] = {"AV", "A", "V"};
            s += std::string(kinds[k % 3]) + ":" + std::to_string(1 + (k * 7) % 16) + "->" +
                 std::to_string(1 + (k * 5) % 16) + "\r\n";
        }
        s.resize(256 * kChunk);
        return s;
    }();
    return stream;
}

// The main window's arrangement of the two views, as far as replies are concerned.
struct PanelWindow {
    CSerialPort serial;
    CNetClient net;
    CSendPath path{net, serial, [] { return LinkMode::Network; }};
    QWidget window;
    CAdFunView* terminal = nullptr;
    CStFunView* panel = nullptr;

    CTerminalWindow* console = nullptr;

    explicit PanelWindow(bool withConsole = false) {
        window.setFixedSize(717, 580);
        terminal = new CAdFunView(CAdFunView::Context{serial, net, path, {}, {}, {}, {}},
                                  QRect(0, 0, 717, 300), &window, 9);
        terminal->setEnabled(false);
        terminal->hide();
        if (withConsole) {
            console = new CTerminalWindow(terminal, &window, {});
            console->resize(717, 600);
            console->show();
        }
        CStFunView::Hooks hooks{
            {},
            [this](const std::string& text) { terminal->ReplaceLogText(text); },
            [this](std::string_view text) { terminal->AppendLogText(text); },
        };
        panel = new CStFunView(16, 16, QRect(0, 70, 717, 475), &window, 8, hooks);
        window.show();
        QApplication::processEvents();
    }
};

// Keeps what it reads (as the log would, bounded) and repaints once per chunk.
class MinimalReader : public QWidget {
  public:
    void Take(std::string_view chunk) {
        m_bytes.append(chunk);
        if (m_bytes.size() > (std::size_t{1} << 20)) {
            m_bytes.erase(0, m_bytes.size() / 4);
        }
        update();
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter(this).fillRect(rect(), QColor(80, 133, 175));
    }

  private:
    std::string m_bytes;
};

template <typename Take>
void RunFlood(benchmark::State& state, Take take) {
    const std::string& flood = Flood();
    std::size_t at = 0;
    for (auto _ : state) {
        take(std::string_view(flood).substr(at, kChunk));
        QApplication::processEvents();
        at = (at + kChunk) % flood.size();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kChunk));
}

// Resident memory of this process in KiB.
long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

void BM_PanelFlood(benchmark::State& state) {
    PanelWindow w;
    const long before = ResidentKiB();
    RunFlood(state, [&](std::string_view chunk) { w.panel->ShowReply(chunk); });
    // The log keeps at most 1 MiB and the hidden widget nothing: a flood must not grow more.
    state.counters["rss_growth_kib"] = static_cast<double>(ResidentKiB() - before);
}

// Counts the paints of one widget.
class PaintCounter : public QObject {
  public:
    int paints = 0;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        paints += event->type() == QEvent::Paint ? 1 : 0;
        return QObject::eventFilter(watched, event);
    }
};

// The console shown: 0 plain, 1 with timestamps and the hex view.
void BM_PanelFloodConsole(benchmark::State& state) {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, "/nonexistent/bench");
    PanelWindow w(true);
    w.console->Tool("Time")->setChecked(state.range(0) != 0);
    w.console->Tool("Hex")->setChecked(state.range(0) != 0);
    QApplication::processEvents();
    PaintCounter counter;
    w.console->ConsoleLog()->viewport()->installEventFilter(&counter);
    const auto start = std::chrono::steady_clock::now();
    RunFlood(state, [&](std::string_view chunk) { w.panel->ShowReply(chunk); });
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // However fast replies come, the console's log is brought up to date about 30 times a
    // second and repainted about as often.
    state.counters["catchups_per_s"] = w.console->ConsoleLog()->CatchUps() / seconds;
    state.counters["paints_per_s"] = counter.paints / seconds;
}

void BM_MinimalReader(benchmark::State& state) {
    MinimalReader reader;
    reader.setFixedSize(717, 580);
    reader.show();
    QApplication::processEvents();
    RunFlood(state, [&](std::string_view chunk) { reader.Take(chunk); });
}

BENCHMARK(BM_PanelFlood)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_PanelFloodConsole)->Arg(0)->Arg(1)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_MinimalReader)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // No COMn links anywhere: the terminal opens no port of the machine.
    ::setenv("MATRIXPANEL_SYSDIR", "/nonexistent/matrixpanel-bench", 1);
    QApplication app(argc, argv);
    return RunWithRatios(argc, argv,
                         MedianRatioReporter("BM_PanelFlood", "BM_MinimalReader",
                                             "goal: hidden at most 2x; console shown at most "
                                             "1.25x, i.e. at least 0.8 of its rate"));
}
