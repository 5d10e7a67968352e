// Reading reply text: the panel's line reader against a bare memchr line split of the same
// 1 MiB stream. The reader should stay within a small factor of the split.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "MedianRatioReporter.h"
#include "panel/CSwitchModel.h"

namespace {

// Effects that do nothing: this measures the line reader and the model alone. The real cost of
// a reply (keys repainted, the reply box) is left out here; bench_reply_flood measures that.
class NullEffects final : public ISwitchEffects {
  public:
    void LightKey(int, bool) override {}
    void MarkKey(int key, bool, int mark) override { m_lastMark = key + mark; }
    int KeyMark(int) const override { return kMarkPlain; }
    void SetFieldText(NumberField, const std::string&) override {}
    std::string FieldText(NumberField) const override { return {}; }
    void FocusField(NumberField) override {}
    void ReplaceReplyText(const std::string&) override {}
    void AppendReplyText(std::string_view) override {}
    void StartTimer(int, int) override {}
    void StopTimer(int) override {}
    void SendToDevice(const std::string&, ReplyRoute, TerminatorFlag) override {}
    int m_lastMark = 0;
};

const std::string& ReplyStream() {
    static const std::string stream = [] {
        // A reply mix as a switcher sends it: mostly route lines (a status answer lists one
        // per output), now and then a fan-out ("All Through.", "n To All": each marks every
        // output of the 16 x 16 panel), an OFF line, the demonstration state and noise.
        const char* samples[] = {
            "AV:3->5\r\n",      "V:12->4\r\n",     "A:7->16\r\n",    "AV:16->1\r\n",
            "A:4->9\r\n",       "V:4->9\r\n",      "AV:1->2\r\n",    "AV:8->8\r\n",
            "A:5->5\r\n",       "V:2->14\r\n",     "AV:10->11\r\n",  "A:3->3\r\n",
            "All Through.\r\n", "Type: HDMI\r\n",  "V:6->7\r\n",     "AV:2->6\r\n",
            "AV:9->12\r\n",     "V:15->13\r\n",    "A:15->13\r\n",   "Demo Mode\r\n",
            "AV:11->10\r\n",    "noise #@!\r\n",   "V:1->3 OFF\r\n", "AV:13->15\r\n",
            "A:14->16\r\n",     "V:14->16\r\n",    "2 To All\r\n",   "AV:7->4\r\n",
            "Normal Mode\r\n",  "Version 1.0\r\n", "AV:4->7\r\n",    "A:12->1\r\n",
        };
        std::string s;
        const std::size_t target = 1u << 20;
        for (std::size_t k = 0; s.size() < target; ++k) {
            s += samples[k % std::size(samples)];
        }
        s.resize(target);
        return s;
    }();
    return stream;
}

void BM_FeedReply(benchmark::State& state) {
    const std::string& stream = ReplyStream();
    const auto chunk = static_cast<std::size_t>(state.range(0));
    NullEffects effects;
    CSwitchModel model(16, 16, effects);
    for (auto _ : state) {
        for (std::size_t pos = 0; pos < stream.size(); pos += chunk) {
            model.FeedReply(std::string_view(stream).substr(pos, chunk));
        }
        benchmark::DoNotOptimize(effects.m_lastMark);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}

void BM_MemchrSplit(benchmark::State& state) {
    const std::string& stream = ReplyStream();
    for (auto _ : state) {
        std::size_t lines = 0;
        std::size_t bytes = 0;
        const char* p = stream.data();
        const char* end = p + stream.size();
        while (const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(end - p))) {
            const char* next = static_cast<const char*>(lf) + 1;
            bytes += static_cast<std::size_t>(next - p);
            ++lines;
            p = next;
        }
        benchmark::DoNotOptimize(lines);
        benchmark::DoNotOptimize(bytes);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}

// Medians of several runs: the ratio should not swing with whatever else the machine does.
BENCHMARK(BM_FeedReply)
    ->Arg(1)
    ->Arg(64)
    ->Arg(1024)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(7)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_MemchrSplit)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(7)
    ->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    return RunWithRatios(argc, argv,
                         MedianRatioReporter("BM_FeedReply", "BM_MemchrSplit",
                                             "goal: at most 5x for 1024-byte chunks"));
}
