#!/usr/bin/env bash
# Builds the Release programs and the Debian package, puts the .deb into dist/ and prints
# its path. BUILD_DIR (default build-release) keeps the build between runs; JOBS sets the
# parallel build jobs (default: all cores).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

build=${BUILD_DIR:-build-release}
# Debian's hardening (fortified functions, stack protector, read-only relocations bound at
# start), as dpkg-buildflags gives it to every package built on Debian.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DMATRIXPANEL_TESTS=OFF \
  -DMATRIXPANEL_BENCH=OFF >/dev/null
cmake --build "$build" -j "${JOBS:-$(nproc)}"

# cpack's staging tree stays in the build directory; only the package goes to dist/.
rm -rf "$build/package"
(cd "$build" && cpack -G DEB -B "$PWD/package" >/dev/null)
debs=("$build"/package/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "package.sh: expected one .deb in $build/package" >&2
  exit 1
fi
mkdir -p dist
cp "${debs[0]}" dist/
echo "$PWD/dist/$(basename "${debs[0]}")"
