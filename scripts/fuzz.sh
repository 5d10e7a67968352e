#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang and runs each for SECONDS (default 60), one
# after the other, printing its executions and the coverage it reached.
#   scripts/fuzz.sh [SECONDS]      run each target for SECONDS, growing its corpus
#   scripts/fuzz.sh --smoke SECS   CI: each target once over its committed corpus, then SECS
#                                  on a scratch copy (the committed corpus is left alone)
# A crash stops the run with a non-zero status; libFuzzer saves the input under
# $FUZZ_ARTIFACTS (default build-fuzz/artifacts) and prints how to replay it.
set -euo pipefail
cd "$(dirname "$0")/.."

smoke=0
if [ "${1:-}" = "--smoke" ]; then
  smoke=1
  shift
fi
seconds=${1:-60}
build=${FUZZ_BUILD_DIR:-build-fuzz}
artifacts=${FUZZ_ARTIFACTS:-$build/artifacts}
targets=(fuzz_switch_model fuzz_hex_text fuzz_leading_int fuzz_settings_files fuzz_labels_file
         fuzz_matrixsim fuzz_videohub_requests fuzz_swp08_frames)

cmake -S . -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ \
  -DMATRIXPANEL_WERROR=ON \
  -DMATRIXPANEL_FUZZ=ON -DMATRIXPANEL_TESTS=OFF -DMATRIXPANEL_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzz_targets

mkdir -p "$artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
summary=()
for t in "${targets[@]}"; do
  seeds=fuzz/corpus/$t
  corpus=$build/corpus/$t
  args=(-artifact_prefix="$artifacts/$t-" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048
        -dict="fuzz/dict/$t.dict")
  if [ $smoke -eq 1 ]; then
    echo "== $t: once over fuzz/corpus/$t"
    "$build/fuzz/$t" "${args[@]}" -runs=0 "$seeds"
    rm -rf "$corpus"
  fi
  mkdir -p "$corpus"
  echo "== $t: $seconds s"
  log=$build/$t.log
  # New inputs go to the build's corpus; the committed seeds are read, never written.
  if ! "$build/fuzz/$t" "${args[@]}" -max_total_time="$seconds" "$corpus" "$seeds" 2>"$log"; then
    tail -n 60 "$log"
    echo "$t FAILED; the input is saved under $artifacts/"
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  start=$(grep -E '^#[0-9]+.*INITED' "$log" | sed -n 's/.* cov: \([0-9]*\).*/\1/p' | head -n 1)
  line=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$line")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$line")
  per=$((runs / (seconds > 0 ? seconds : 1)))
  summary+=("$(printf '%-22s %11s runs %8s/s  cov %5s (%s at start)  ft %6s' \
    "$t" "$runs" "$per" "$cov" "${start:-?}" "$ft")")
done
echo
printf '%s\n' "${summary[@]}"
