#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, skipping what is present.
set -euo pipefail

packages=(
  cmake ninja-build g++
  qt6-base-dev qt6-base-dev-tools
  libgtest-dev libgmock-dev libbenchmark-dev
  fonts-wqy-microhei
  xvfb xauth
  clang libclang-rt-14-dev  # libFuzzer and its sanitizers for the fuzz targets
  desktop-file-utils appstream lintian groff-base man-db dpkg-dev fakeroot  # install and .deb checks
)

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
