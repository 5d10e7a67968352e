#!/usr/bin/env bash
# Installs a build into a scratch DESTDIR with the prefix a package uses (/usr) and reads the
# result with the tools that desktops and Debian read it with.
#   check_install.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$1
source=$2

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
if ! DESTDIR="$stage" cmake --install "$build" --prefix /usr >"$stage.log" 2>&1; then
  cat "$stage.log"
  rm -f "$stage.log"
  echo "FAIL: cmake --install"
  exit 1
fi
rm -f "$stage.log"
root=$stage/usr

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# --- The files an operator and the desktop look for.
for file in bin/matrixpanel bin/matrixsim bin/matrixd \
            share/man/man1/matrixpanel.1.gz share/man/man1/matrixsim.1.gz \
            share/man/man1/matrixd.1.gz lib/systemd/system/matrixd@.service \
            share/doc/matrixpanel/examples/matrixd.conf \
            share/doc/matrixpanel/README.md share/doc/matrixpanel/copyright \
            share/doc/matrixpanel/changelog.gz; do
  [ -f "$root/$file" ] || fail "$file is not installed"
done
for program in "$root"/bin/*; do
  [ -x "$program" ] || fail "${program#"$root"/} is not executable"
done
grep -q "MIT License" "$root/share/doc/matrixpanel/copyright" 2>/dev/null ||
  fail "the licence is not the MIT licence"

# Nothing beside what a desktop program installs: no libraries, headers or build tools.
while IFS= read -r file; do
  case ${file#"$root"/} in
    bin/* | share/applications/* | share/metainfo/* | share/icons/hicolor/* | share/man/man[1-8]/* | \
      share/doc/matrixpanel/* | lib/systemd/system/*.service) ;;
    *) fail "unexpected file ${file#"$stage"}" ;;
  esac
done < <(find "$stage" -type f -o -type l)

# --- The matrixd unit as systemd reads it: an instance of the template, its program and its
# manual page found (the program under the stage instead of the search path systemd uses).
unit_check=$(mktemp -d)
sed "s|^ExecStart=/usr/bin/matrixd |ExecStart=$root/bin/matrixd |" "$root/lib/systemd/system/matrixd@.service" \
  >"$unit_check/matrixd@stage.service"
grep -q "^ExecStart=$root/bin/matrixd --config /etc/matrixpanel/matrixd/%i.conf$" \
  "$unit_check/matrixd@stage.service" || fail "matrixd@.service does not run /usr/bin/matrixd --config"
warnings=$(MANPATH=$root/share/man systemd-analyze verify "$unit_check/matrixd@stage.service" 2>&1) ||
  fail "systemd-analyze rejects matrixd@.service: $warnings"
[ -z "$warnings" ] || fail "systemd-analyze warns on matrixd@.service: $warnings"
# Its sandbox, as systemd rates it (0 closed ... 10 open; before hardening it was 7.6).
security=$(systemd-analyze security --offline=yes "$unit_check/matrixd@stage.service" 2>&1)
exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p' <<<"$security")
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.5) }' ||
  fail "matrixd@.service's exposure is '${exposure:-unknown}', above 2.5: $(grep '✗' <<<"$security")"
rm -rf "$unit_check"

# --- Desktop entry: one, valid, and naming what is installed.
shopt -s nullglob
entries=("$root"/share/applications/*.desktop)
if [ ${#entries[@]} -ne 1 ]; then
  fail "expected one desktop entry, found ${#entries[@]}"
  echo "$failures failure(s)"
  exit 1
fi
entry=${entries[0]}
id=$(basename "$entry" .desktop)
[[ $id =~ ^[a-z]+(\.[A-Za-z0-9_-]+){2,}$ ]] || fail "desktop id $id is not a reverse-DNS name"
desktop-file-validate "$entry" || fail "desktop-file-validate rejects $id.desktop"

key() { # key GROUP NAME: the value in the entry
  awk -v group="[$1]" -v name="$2" '
    /^\[/ { in_group = ($0 == group); next }
    in_group && index($0, name "=") == 1 { print substr($0, length(name) + 2); exit }' "$entry"
}
[ "$(key "Desktop Entry" Name)" = "Matrix Panel" ] || fail "Name is not \"Matrix Panel\""
[ "$(key "Desktop Entry" Exec)" = matrixpanel ] || fail "Exec is not matrixpanel"
[ "$(key "Desktop Entry" Icon)" = "$id" ] || fail "Icon is not the desktop id $id"
[ "$(key "Desktop Entry" Categories)" = "AudioVideo;Utility;" ] || fail "Categories"
actions=$(key "Desktop Entry" Actions)
[ "$actions" = "SerialTerminal;" ] || fail "Actions is '$actions'"
[ "$(key "Desktop Action SerialTerminal" Name)" = "Serial Terminal" ] || fail "action Name"
[ "$(key "Desktop Action SerialTerminal" Exec)" = "matrixpanel --terminal" ] || fail "action Exec"
# The action's option must be one the program accepts.
"$root/bin/matrixpanel" --help | grep -q -- "--terminal" || fail "matrixpanel has no --terminal"

# --- AppStream: valid (warnings allowed), about this entry and this version.
metainfo=$root/share/metainfo/$id.metainfo.xml
if [ -f "$metainfo" ]; then
  appstreamcli validate --no-net --no-color "$metainfo" || fail "appstreamcli rejects the metainfo"
  grep -q "<id>$id</id>" "$metainfo" || fail "metainfo <id> is not $id"
  grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
    fail "metainfo launchable is not $id.desktop"
  grep -q "<content_rating" "$metainfo" || fail "metainfo has no content rating"
  version=$("$root/bin/matrixpanel" --version | awk '{ print $2 }')
  first_release=$(grep -o '<release version="[^"]*"' "$metainfo" | head -n1 | cut -d'"' -f2)
  [ "$first_release" = "$version" ] ||
    fail "metainfo's newest release is '$first_release', the program says '$version'"
  # The screenshot is the README's picture.
  screenshot=$(sed -n 's|.*<image>.*/\(docs/[^<]*\)</image>.*|\1|p' "$metainfo")
  [ -n "$screenshot" ] && [ -f "$source/$screenshot" ] && grep -qF "($screenshot)" "$source/README.md" ||
    fail "metainfo screenshot '$screenshot' is not a picture of the README"
else
  fail "share/metainfo/$id.metainfo.xml is not installed"
fi

# --- Icons: every hicolor size, each PNG as large as its folder says.
png_size() { # WIDTHxHEIGHT from the IHDR chunk, or nothing for a file that is no PNG
  [ "$(head -c 8 "$1" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || return 0
  local w h
  w=$(od -An -tu1 -j16 -N4 "$1" | awk '{ print ((($1 * 256 + $2) * 256 + $3) * 256 + $4) }')
  h=$(od -An -tu1 -j20 -N4 "$1" | awk '{ print ((($1 * 256 + $2) * 256 + $3) * 256 + $4) }')
  echo "${w}x${h}"
}
for size in 16 24 32 48 64 128 256; do
  [ -f "$root/share/icons/hicolor/${size}x${size}/apps/$id.png" ] ||
    fail "no ${size}x${size} icon named $id"
done
for icon in "$root"/share/icons/hicolor/*/apps/*; do
  folder=$(basename "$(dirname "$(dirname "$icon")")")
  actual=$(png_size "$icon")
  [ "$actual" = "$folder" ] || fail "${icon#"$root"/} is '${actual:-not a PNG}'"
done

# --- Manual pages: render without a warning, and document what --help offers.
for page in "$root"/share/man/man*/*.gz; do
  name=${page#"$root"/}
  warnings=$(zcat "$page" | groff -man -Tutf8 -ww -z 2>&1)
  [ -z "$warnings" ] || fail "groff warns on $name: $warnings"
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man warns on $name: $warnings"

  program=$(basename "$page" | sed 's/\.[1-8]\.gz$//')
  [ -x "$root/bin/$program" ] || continue
  text=$(zcat "$page")
  see_also=$(sed -n '/^\.SH "SEE ALSO"/,/^\.SH [^"]/p' <<<"$text")
  for other in "$root"/bin/*; do
    other=$(basename "$other")
    [ "$other" = "$program" ] || grep -qxE "\.BR $other \([1-8]\),?" <<<"$see_also" ||
      fail "$name: SEE ALSO does not name $other"
  done
  help=$("$root/bin/$program" --help) || fail "$program --help failed"
  for option in $(grep -oE -- '--[a-z][a-z-]+' <<<"$help" | sort -u); do
    grep -qF -- "$(sed 's/-/\\-/g' <<<"$option")" <<<"$text" ||
      fail "$name does not document $option"
  done
  for variable in $(grep -oE 'MATRIXPANEL_[A-Z_]+' <<<"$help" | sort -u); do
    grep -qF "$variable" <<<"$text" || fail "$name does not mention $variable"
  done
done
for program in "$root"/bin/*; do
  name=$(basename "$program")
  [ -f "$root/share/man/man1/$name.1.gz" ] || fail "$name has no manual page"
done

if [ $failures -gt 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "install layout OK ($id)"
