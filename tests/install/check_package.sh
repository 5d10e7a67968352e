#!/usr/bin/env bash
# Builds the Debian package from a build tree with cpack and checks it as dpkg and lintian
# see it: name and version, dependencies, section, maintainer scripts, the same files as
# `cmake --install`, and no lintian errors.
#   check_package.sh BUILD_DIR
set -uo pipefail
build=$1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
finish() {
  if [ $failures -gt 0 ]; then
    echo "$failures failure(s)"
    exit 1
  fi
  echo "debian package OK"
  exit 0
}

if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/cpack" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  fail "cpack -G DEB"
  finish
fi
shopt -s nullglob
debs=("$work"/cpack/*.deb)
if [ ${#debs[@]} -ne 1 ]; then
  fail "cpack made ${#debs[@]} packages"
  finish
fi
deb=${debs[0]}
field() { dpkg-deb --field "$deb" "$1"; }

# --- Name and version: three parts from the program's own version.
program_version=$("$build/app/matrixpanel" --version | awk '{ print $2 }')
version=$(field Version)
[ "$version" = "$program_version.0" ] ||
  fail "package version '$version' is not the program's '$program_version' with .0"
[ "$(basename "$deb")" = "matrixpanel_${version}_$(dpkg --print-architecture).deb" ] ||
  fail "package file is named $(basename "$deb")"

# --- Control fields.
[ "$(field Package)" = matrixpanel ] || fail "Package is '$(field Package)'"
[ "$(field Section)" = electronics ] || fail "Section is '$(field Section)'"
[[ $(field Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer is '$(field Maintainer)'"
depends=$(field Depends)
# Found by dpkg-shlibdeps: the Qt libraries the panel links and the C library, with versions.
for library in libqt6widgets6 libqt6gui6 libqt6core6 libc6 libstdc++6; do
  grep -qF ", $library (>= " <<<", $depends" || fail "Depends lacks $library: $depends"
done
# The switcher's Chinese texts need a CJK font; postinst needs adduser; matrixd tells systemd it is
# ready through libsystemd, and announces itself through Avahi where it can.
grep -qF ", fonts-wqy-microhei | fonts-noto-cjk" <<<", $depends" ||
  fail "Depends lacks a CJK font: $depends"
for package in adduser libsystemd0 libmosquitto1; do
  grep -qE "(^|, )$package( |,|$)" <<<"$depends" || fail "Depends lacks $package: $depends"
done
[ "$(field Recommends)" = "avahi-daemon, mosquitto-clients" ] || fail "Recommends is '$(field Recommends)'"
[ -n "$(field Description)" ] || fail "no Description"

# --- Maintainer scripts are in the control archive and executable.
info=$(dpkg-deb --info "$deb")
for script in postinst postrm; do
  grep -qE "^ +[0-9]+ bytes, +[0-9]+ lines +\* +$script +#!/bin/sh" <<<"$info" ||
    fail "$script is missing or not executable"
done

# --- The same files as an installation with the package's prefix.
DESTDIR="$work/stage" cmake --install "$build" --prefix /usr >/dev/null || fail "cmake --install"
(cd "$work/stage" && find . -type f -o -type l | sort) >"$work/installed"
dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$work/packaged"
diff -u "$work/installed" "$work/packaged" >"$work/diff" ||
  fail "package and install differ:$(printf '\n')$(cat "$work/diff")"
# matrixd comes with its manual page and its service unit, installed but not enabled: no
# link under /etc/systemd, no maintainer script that enables or starts it.
for path in ./usr/bin/matrixd ./usr/share/man/man1/matrixd.1.gz \
            ./usr/lib/systemd/system/matrixd@.service; do
  grep -qxF "$path" "$work/packaged" || fail "$path is not in the package"
done
grep -q '^\./etc/systemd/' "$work/packaged" && fail "the package enables a unit"
control_scripts=$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO)
grep -qE 'systemctl|deb-systemd' <<<"$control_scripts" &&
  fail "a maintainer script enables or starts a unit"
# Owned by root, programs executable, nothing writable by group or others.
while read -r mode owner _ _ _ path; do
  [ "$owner" = root/root ] || fail "$path is owned by $owner"
  case $path in
    ./usr/bin/*) [ "$mode" = -rwxr-xr-x ] || fail "$path has mode $mode" ;;
    *) [ "$mode" = -rw-r--r-- ] || fail "$path has mode $mode" ;;
  esac
done < <(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/')

# --- lintian: an error, or lintian failing to run, fails; accepted warnings are shown.
lintian --fail-on error --tag-display-limit 0 "$deb" >"$work/lintian" 2>&1
lintian_status=$?
grep -v "running with root privileges" "$work/lintian"
[ $lintian_status -eq 0 ] || fail "lintian exits with $lintian_status"

echo "$(basename "$deb"): $(stat -c %s "$deb") bytes"
finish
