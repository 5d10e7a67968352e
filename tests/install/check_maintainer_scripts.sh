#!/usr/bin/env bash
# Runs the package's postinst and postrm on a scratch settings directory, the way dpkg calls
# them, and checks what they leave: a new shared directory on first install, an existing one
# untouched, and on purge only an empty directory removed. Runs under fakeroot so that the
# root:dialout ownership can be made and read back without being root.
#   check_maintainer_scripts.sh PACKAGING_DEBIAN_DIR
set -uo pipefail
scripts=$1

if [ -z "${FAKEROOTKEY:-}" ]; then
  exec fakeroot -- "$0" "$@"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dir=$work/var/lib/matrixpanel
mkdir -p "$work/var/lib"

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The scripts name the directory once, in one assignment; the copies point it here.
for script in postinst postrm; do
  [ "$(grep -c /var/lib/matrixpanel "$scripts/$script")" -eq 1 ] &&
    grep -qx 'settings_dir=/var/lib/matrixpanel' "$scripts/$script" ||
    fail "$script does not name the settings directory in one settings_dir= line"
  sed "s|^settings_dir=/var/lib/matrixpanel\$|settings_dir=$dir|" "$scripts/$script" >"$work/$script"
  chmod 755 "$work/$script"
  head -n1 "$scripts/$script" | grep -qx '#!/bin/sh' || fail "$script is not a /bin/sh script"
  [ -x "$scripts/$script" ] || fail "$script is not executable in the source tree"
done

# The system's user database stays untouched: getent and adduser are stand-ins that keep their
# users in a file and note each adduser call.
mkdir "$work/bin"
cat >"$work/bin/getent" <<EOF
#!/bin/sh
[ "\$1" = passwd ] && grep -qx "\$2" "$work/users"
EOF
cat >"$work/bin/adduser" <<EOF
#!/bin/sh
echo "\$*" >>"$work/adduser-calls"
for last; do :; done
echo "\$last" >>"$work/users"
EOF
chmod 755 "$work/bin/getent" "$work/bin/adduser"
touch "$work/users" "$work/adduser-calls"

run() { # run SCRIPT ARGS...: as dpkg does, through /bin/sh, failing on a nonzero exit
  PATH="$work/bin:$PATH" "$work/$1" "${@:2}" || fail "$* exits with $?"
}
looks() { stat -c '%U:%G %a %F' "$1" 2>/dev/null; }
reset() { rm -rf "$dir"; }

# First installation: the shared directory appears, and the service's system user in dialout
# without a home.
reset
run postinst configure ""
[ "$(looks "$dir")" = "root:dialout 2775 directory" ] || fail "new directory is '$(looks "$dir")'"
grep -qxE -- "--system .*--ingroup dialout .*--home /nonexistent .*matrixd" "$work/adduser-calls" ||
  fail "postinst did not add the system user matrixd: $(cat "$work/adduser-calls")"
# An upgrade finds it and changes nothing, not even a mode the administrator chose.
chmod 00750 "$dir"  # five digits: GNU chmod keeps a directory's set-group-id otherwise
chgrp root "$dir"
touch "$dir/kdxPassWord.kdx"
run postinst configure 1.0.0
[ "$(looks "$dir")" = "root:root 750 directory" ] || fail "existing directory became '$(looks "$dir")'"
[ -f "$dir/kdxPassWord.kdx" ] || fail "postinst removed a settings file"
[ "$(wc -l <"$work/adduser-calls")" -eq 1 ] || fail "postinst added matrixd again on upgrade"

# A symbolic link to a directory elsewhere is the administrator's choice.
reset
mkdir -m 0700 "$work/elsewhere"
ln -s "$work/elsewhere" "$dir"
run postinst configure ""
[ -L "$dir" ] || fail "postinst replaced a symbolic link"
[ "$(stat -c %a "$work/elsewhere")" = 700 ] || fail "postinst changed the link's target"
# ... and so is a link that points nowhere yet.
rm "$dir"
ln -s "$work/not-yet" "$dir"
run postinst configure ""
[ -L "$dir" ] && [ ! -e "$work/not-yet" ] || fail "postinst followed a dangling link"

# Other calls (dpkg's error unwinding) make nothing.
reset
run postinst abort-upgrade 1.0.0
[ ! -e "$dir" ] || fail "postinst abort-upgrade made the directory"

# Removal keeps the settings, even an empty directory.
reset
run postinst configure ""
run postrm remove
[ -d "$dir" ] || fail "postrm remove took the directory"
# Purge removes an empty directory ...
run postrm purge
[ ! -e "$dir" ] || fail "postrm purge left an empty directory"
# ... keeps one with an operator's file in it ...
run postinst configure ""
echo secret >"$dir/kdxPassWord.kdx"
run postrm purge
[ "$(cat "$dir/kdxPassWord.kdx" 2>/dev/null)" = secret ] || fail "postrm purge lost a settings file"
# ... leaves a link and its target alone, and does not mind a missing directory.
reset
rm -rf "$work/elsewhere" && mkdir "$work/elsewhere"
ln -s "$work/elsewhere" "$dir"
run postrm purge
[ -L "$dir" ] && [ -d "$work/elsewhere" ] || fail "postrm purge touched a link"
reset
run postrm purge
run postrm remove

if [ $failures -gt 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "maintainer scripts OK"
