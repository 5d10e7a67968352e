#!/usr/bin/env bash
# Installs what is missing, builds the program and starts the panel against the simulator.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMATRIXPANEL_TESTS=OFF -DMATRIXPANEL_BENCH=OFF
cmake --build "$build" -j "$(nproc)"

if [ ! -x "$build/app/matrixpanel" ]; then
  echo "Built the switching panel's logic. The panel window and the simulator are not"
  echo "part of this build yet; run ./test.sh to exercise what is here."
  exit 0
fi
exec "$build/app/matrixpanel"
