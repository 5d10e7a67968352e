#!/usr/bin/env bash
# Installs the Debian packages that are missing, non-interactively.
#   install-deps.sh run    what building and running the programs need (./run.sh)
#   install-deps.sh [test] that and everything the tests, fuzz targets and checks need
set -euo pipefail

case ${1:-test} in
  run) what=run ;;
  test) what=test ;;
  *)
    echo "usage: $0 [run|test]" >&2
    exit 2
    ;;
esac

packages=(
  cmake ninja-build g++
  qt6-base-dev qt6-base-dev-tools
  fonts-wqy-microhei  # the switcher's Chinese texts; the package depends on a CJK font too
  libsystemd-dev pkgconf  # matrixd tells systemd when it is ready (sd_notify)
  qt6-httpserver-dev qt6-websockets-dev libsodium-dev  # matrixd's web panel and its passwords
  libmosquitto-dev  # matrixd's MQTT door
)
if [ "$what" = test ]; then
  packages+=(
    libgtest-dev libgmock-dev libbenchmark-dev
    xvfb xauth
    clang libclang-rt-14-dev  # libFuzzer and its sanitizers for the fuzz targets
    desktop-file-utils appstream lintian groff-base man-db dpkg-dev fakeroot  # install and .deb checks
    systemd  # systemd-analyze verify and security on matrixd's unit
    dbus-daemon python3-dbus python3-gi  # a private bus and a stand-in Avahi for matrixd's tests
    chromium chromium-driver python3-selenium  # the web panel in a real browser
    python3-websocket python3-jsonschema  # the web API through a WebSocket client, messages checked
    mosquitto mosquitto-clients python3-paho-mqtt  # a real broker and a second client for the MQTT door
  )
  # A third-party SW-P-08 client for matrixd's tests and axe-core for the browser suite's
  # accessibility checks come from npm. A Node.js from elsewhere
  # (NodeSource's carries its own npm) is kept: Debian's npm would conflict with it.
  if ! command -v npm >/dev/null; then
    packages+=(nodejs npm)
  fi
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
