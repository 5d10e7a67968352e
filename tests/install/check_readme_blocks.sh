#!/usr/bin/env bash
# Runs each README block marked "<!-- runs" (the indented block after the mark) as a reader
# pastes it into bash, with the programs of the build first on PATH, and fails when any of
# its commands fails (bash -e) or it does not end within two minutes. The machine stays as it
# was: a settings directory of its own, no system bus (nothing announced on the network), and
# free ports in place of the README's 4001, 9990 and 9991 (matrixd is given the two it
# serves), so that a busy machine does not fail it.
#   check_readme_blocks.sh README BIN_DIR...
set -uo pipefail
readme=$1
shift
bin_path=
for dir; do
  bin_path+=$(cd "$dir" && pwd):
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

awk -v dir="$work" '
  /^<!-- runs/ { n++; marked = 1; started = 0; next }
  marked && /^    / { print substr($0, 5) > (dir "/block" n ".sh"); started = 1; next }
  marked && /^$/ { if (started) print "" > (dir "/block" n ".sh"); next }
  { marked = 0 }' "$readme"

taken=" "
free_port() { # below the range the kernel hands out, not listened on, not picked before
  local port
  while :; do
    port=$((20000 + RANDOM % 10000))
    [[ $taken == *" $port "* ]] && continue
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && continue
    taken+="$port "
    echo "$port"
    return
  done
}

failures=0
blocks=0
for block in "$work"/block*.sh; do
  [ -f "$block" ] || continue
  blocks=$((blocks + 1))
  sim=$(free_port) && taken+="$sim "
  router=$(free_port) && taken+="$router "
  raw=$(free_port) && taken+="$raw "
  web=$(free_port) && taken+="$web "
  swp08=$(free_port) && taken+="$swp08 "
  script=$work/run$blocks.sh
  {
    # Whatever the block leaves running ends with it.
    echo "trap 'kill \$(jobs -p) 2>/dev/null' EXIT; trap 'exit 143' TERM"
    sed -E "s/\b4001\b/$sim/g; s/\b9990\b/$router/g; s/\b9991\b/$raw/g; s/\b9980\b/$web/g; s/\b8910\b/$swp08/g;
            s/(^|[;&|] *)matrixd /\1matrixd --videohub-port $router --raw-port $raw --web-port $web --swp08-port $swp08 /" "$block"
  } >"$script"
  mkdir "$work/sys$blocks"
  if ! (cd "$work" && PATH="$bin_path:$PATH" MATRIXPANEL_SYSDIR="$work/sys$blocks" \
    DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-bus" timeout 120 bash -e -o pipefail "$script") \
    >"$work/out$blocks" 2>&1; then
    echo "FAIL: README block $blocks, run as:"
    cat "$script"
    echo "--- it printed:"
    cat "$work/out$blocks"
    failures=$((failures + 1))
  fi
done

if [ "$blocks" -eq 0 ]; then
  echo "FAIL: no block of $readme is marked <!-- runs"
  exit 1
fi
if [ $failures -gt 0 ]; then
  echo "$failures of $blocks README block(s) failed"
  exit 1
fi
echo "README blocks OK ($blocks run)"
