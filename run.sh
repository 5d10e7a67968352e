#!/usr/bin/env bash
# Checks for a display, installs what is missing, builds the program, starts the switcher
# simulator (8 x 8, on a pseudo-terminal linked as COM1 and on a free loopback TCP port) and
# runs the panel against it; its arguments go to the panel (./run.sh --terminal). The
# simulator stops when the panel exits, and stopping this script (Ctrl+C, SIGTERM) ends both.
set -euo pipefail
cd "$(dirname "$0")"

# Said before minutes of installing and building, not after.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "matrixpanel is a desktop program and there is no display here (DISPLAY is not set)."
  echo "Run it on a desktop session, or under a virtual display:"
  echo "    xvfb-run -a ./run.sh"
  if ! command -v xvfb-run >/dev/null; then
    echo "(xvfb-run comes with the Debian packages xvfb and xauth)"
  fi
  exit 1
fi

./scripts/install-deps.sh run

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMATRIXPANEL_TESTS=OFF -DMATRIXPANEL_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target matrixpanel matrixsim

demo=$PWD/demo
sysdir=$demo/sysdir
mkdir -p "$sysdir"
rm -f "$demo/matrixsim.out"

# However this script ends (the panel closed, Ctrl+C, SIGTERM, a failed step), the panel and
# the simulator end with it. Both run in the background so that a signal reaches the traps
# at once rather than after the panel has exited.
sim=
panel=
stop() {
  trap - INT TERM
  for pid in $panel $sim; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in $panel $sim; do
    wait "$pid" 2>/dev/null || true
  done
}
trap stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

"$build/tools/matrixsim/matrixsim" --port 0 --inputs 8 --outputs 8 --pty "$sysdir/COM1" \
  --log "$demo/matrixsim.log" >"$demo/matrixsim.out" &
sim=$!

port=
for _ in $(seq 100); do
  port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$demo/matrixsim.out")
  [ -n "$port" ] && break
  kill -0 "$sim" 2>/dev/null || { echo "matrixsim did not start"; exit 1; }
  sleep 0.1
done
[ -n "$port" ] || { echo "matrixsim did not start"; exit 1; }

cat <<INFO
Simulated 8 x 8 switcher:
  serial:  COM1 (a pseudo-terminal, opened by the panel at start)
  network: 127.0.0.1 port $port (TCP/IP button > NET, type the address and port)
  what it receives is logged in demo/matrixsim.log
Log in with 8 inputs and 8 outputs.
INFO

MATRIXPANEL_SYSDIR=$sysdir "$build/app/matrixpanel" "$@" &
panel=$!
status=0
wait "$panel" || status=$?
panel=
exit "$status"
