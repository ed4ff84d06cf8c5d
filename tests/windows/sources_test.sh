#!/usr/bin/env bash
# Sources that are no files on a disk, under Wine: a device's name is refused with the message
# the Linux build gives, and a walked folder holding con.264 never has the console read for a
# recording: the file is converted as the file it is, or refused. Every run is given a minute;
# one that waits longer fails the test instead of hanging it.
#   tests/windows/sources_test.sh CLI_EXE PREFIX SAMPLE
set -euo pipefail
# shellcheck source=tests/windows/cli_test_setup.sh
source "$(dirname "$0")/cli_test_setup.sh"
status=0
run() {
  status=0
  (cd "$work" && timeout 60 "$root/tools/wine-run.sh" "$prefix" "$cli" "$@" \
    </dev/null >"$work/out.txt" 2>"$work/err.txt") || status=$?
  [ "$status" != 124 ] || fail "trunvex-cli $* waited for more than a minute"
}
saidOf() { tr -d '\r' <"$work/err.txt"; }

for device in NUL nul COM1 CONIN\$; do
  run "$device" device.avi
  [ "$status" != 0 ] || fail "$device was taken as a recording"
  saidOf | grep -qx "trunvex-cli: Can not open the source file!" || fail "$device: $(saidOf)"
  saidOf | grep -q ": Not a regular file$" || fail "$device: $(saidOf)"
  [ ! -e "$work/device.avi" ] || fail "$device left an AVI"
done

mkdir "$work/tree"
cp "$sample" "$work/tree/a.264"
cp "$sample" "$work/tree/con.264"
run -r tree
saidOf | grep -q "tree.con\.264: Invalid handle" && fail "the console was opened: $(saidOf)"
[ -s "$work/tree/a.avi" ] || fail "a.264 beside con.264 was not converted: $(saidOf)"
if [ -e "$work/tree/con.avi" ]; then
  cmp -s "$work/tree/a.avi" "$work/tree/con.avi" || fail "con.avi is not what con.264 holds"
else
  saidOf | grep -q "tree.con\.264: Not a regular file$" || fail "con.264: $(saidOf)"
fi
echo "sources_test: devices refused, con.264 read from the disk or refused"
