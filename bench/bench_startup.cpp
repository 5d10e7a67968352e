// Start-up to the login dialog on screen: the panel's own way there (command line, application
// object, window icon, message box hook, main window, login dialog), with and without
// --terminal, against a minimal Qt program that shows a dialog with one label. Every run is a
// new process (this program again, in a child role); the time is from the spawn until the child
// reports its dialog exposed. The child also reports where its time went, as counters (ms).
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QIcon>
#include <QLabel>
#include <QTimer>
#include <QWindow>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "MedianRatioReporter.h"
#include "access/CLoginDlg.h"
#include "app/CPanelApp.h"
#include "app/CommandLine.h"
#include "controls/ControlIcons.h"
#include "platform/qt/QtMessageBox.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kRoleVariable = "MATRIXPANEL_BENCH_ROLE";  // panel, terminal or minimal
constexpr const char* kReportVariable = "MATRIXPANEL_BENCH_FD";

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The child's end: once a dialog of type T is exposed, its phases go to the parent.
template <typename T>
void ReportWhenShown(std::string phases, Clock::time_point start) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [phases, start] {
        auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
        if (dialog != nullptr && dialog->windowHandle() != nullptr &&
            dialog->windowHandle()->isExposed()) {
            const std::string report = phases + " shown=" + std::to_string(MsSince(start)) + "\n";
            const int fd = std::atoi(std::getenv(kReportVariable));
            (void)!::write(fd, report.data(), report.size());
            std::_Exit(0);
        }
    });
    poll->start(0);
}

int RunChild(int argc, char** argv, const std::string& role) {
    const Clock::time_point start = Clock::now();
    if (role == "minimal") {
        QApplication app(argc, argv);
        QDialog dialog;
        QLabel label("Input", &dialog);
        ReportWhenShown<QDialog>("", start);
        return dialog.exec();
    }
    QStringList arguments{"matrixpanel"};
    if (role == "terminal") {
        arguments << "--terminal";
    }
    const CommandLine line = ParseCommandLine(arguments);
    std::string phases = "parse=" + std::to_string(MsSince(start));
    QApplication qtApp(argc, argv);
    phases += " application=" + std::to_string(MsSince(start));
    QApplication::setApplicationName("matrixpanel");
    QApplication::setWindowIcon(QIcon(LoadIcon(kIconApplication)));
    InstallQtMessageBox();
    phases += " icon=" + std::to_string(MsSince(start));
    CPanelApp app(line.options);
    ReportWhenShown<CLoginDlg>(phases, start);
    return app.Run();
}

// One start of this program in `role`; the spawn-to-shown time, and the child's phases.
double StartOnce(const char* role, std::string& phases) {
    int report[2];
    if (::pipe(report) != 0) {
        return 0;
    }
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        env.emplace_back(*entry);
    }
    env.push_back(std::string(kRoleVariable) + "=" + role);
    env.push_back(std::string(kReportVariable) + "=" + std::to_string(report[1]));
    std::vector<char*> envp;
    for (std::string& entry : env) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    char self[] = "/proc/self/exe";
    char* argv[] = {self, nullptr};
    const Clock::time_point start = Clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, self, nullptr, nullptr, argv, envp.data()) != 0) {
        return 0;
    }
    ::close(report[1]);
    phases.clear();
    char buffer[512];
    ssize_t n = 0;
    while ((n = ::read(report[0], buffer, sizeof buffer)) > 0) {
        phases.append(buffer, static_cast<std::size_t>(n));
    }
    const double ms = MsSince(start);
    ::close(report[0]);
    ::waitpid(pid, nullptr, 0);
    return ms;
}

void BM_Start(benchmark::State& state, const char* role) {
    std::map<std::string, double> sums;
    for (auto _ : state) {
        std::string phases;
        state.SetIterationTime(StartOnce(role, phases) / 1000.0);
        // "name=ms name=ms ..."
        std::size_t at = 0;
        while ((at = phases.find('=', at)) != std::string::npos) {
            const std::size_t begin =
                phases.rfind(' ', at) == std::string::npos ? 0 : phases.rfind(' ', at) + 1;
            sums[phases.substr(begin, at - begin)] += std::atof(phases.c_str() + at + 1);
            ++at;
        }
    }
    for (const auto& [name, sum] : sums) {
        state.counters[name + "_ms"] = sum / static_cast<double>(state.iterations());
    }
}

void BM_StartPanel(benchmark::State& state) {
    BM_Start(state, "panel");
}
void BM_StartPanelTerminal(benchmark::State& state) {
    BM_Start(state, "terminal");
}
void BM_StartMinimal(benchmark::State& state) {
    BM_Start(state, "minimal");
}
BENCHMARK(BM_StartPanel)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_StartPanelTerminal)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_StartMinimal)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // No COMn links anywhere, and settings files of the bench's own.
    ::setenv("MATRIXPANEL_SYSDIR", "/nonexistent/matrixpanel-bench", 0);
    if (const char* role = std::getenv(kRoleVariable)) {
        return RunChild(argc, argv, role);
    }
    return RunWithRatios(
        argc, argv, MedianRatioReporter("BM_StartPanel", "BM_StartMinimal", "goal: at most 1.3x"));
}
