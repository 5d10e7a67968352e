#pragma once

// Console output of a benchmark run, followed by the median of each benchmark named by
// `prefix` as a multiple of the median of `baseline`, measured in the same run. Benchmarks
// report medians when registered with Repetitions(n)->ReportAggregatesOnly(true).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

class MedianRatioReporter : public benchmark::ConsoleReporter {
  public:
    MedianRatioReporter(std::string prefix, std::string baseline, std::string goal)
        : m_prefix(std::move(prefix)), m_baseline(std::move(baseline)), m_goal(std::move(goal)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.aggregate_name == "median") {
                const auto& name = run.run_name;
                m_medians[name.function_name + (name.args.empty() ? "" : "/" + name.args)] =
                    run.GetAdjustedRealTime();
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        const auto baseline = m_medians.find(m_baseline);
        if (baseline == m_medians.end() || baseline->second <= 0) {
            return;
        }
        for (const auto& [name, time] : m_medians) {
            if (name.rfind(m_prefix, 0) == 0) {
                std::printf("%-24s median %.2fx %s (%s)\n", name.c_str(), time / baseline->second,
                            m_baseline.c_str(), m_goal.c_str());
            }
        }
    }

  private:
    std::string m_prefix;
    std::string m_baseline;
    std::string m_goal;
    std::map<std::string, double> m_medians;
};

// main() of a benchmark program that ends with the ratios.
inline int RunWithRatios(int argc, char** argv, MedianRatioReporter reporter) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
