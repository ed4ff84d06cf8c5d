#!/usr/bin/env bash
# Ctrl-C under Wine, as a console user or a script meets it: trunvex-cli.exe is interrupted while
# it converts a recording that arrives through a pipe, after it has begun its AVI. It must end
# with status 130, as the Linux build does, and leave nothing at or beside the AVI path. Then the
# same for --info, interrupted while it reads a recording that is still arriving: a describing
# run interrupted is no success either. Last, --help must tell it in Windows' terms.
#   tests/windows/interrupt_test.sh CLI_EXE PREFIX SAMPLE
set -euo pipefail
# shellcheck source=tests/windows/cli_test_setup.sh
source "$(dirname "$0")/cli_test_setup.sh"
pid=
cleanup() {
  if [ -n "$pid" ]; then
    kill -KILL "$pid" 2>/dev/null || true
  fi
  exec 3>&- || true
  rm -rf "$work"
}
trap cleanup EXIT
mkfifo "$work/feed"
# Job control off, a background job would start with SIGINT ignored.
set -m
(cd "$work" && exec "$root/tools/wine-run.sh" "$prefix" "$cli" -q - out.avi <feed \
  >stdout 2>stderr) &
pid=$!
exec 3>"$work/feed"
# More than one read block (1 MiB), so that a part of it is converted while the pipe stays open.
for _ in 1 2 3 4 5 6 7 8; do
  cat "$sample" >&3
done
# The run holds its unfinished AVI under a temporary name once the first records are in.
for _ in $(seq 1 100); do
  compgen -G "$work/.out.avi.*.part" >/dev/null && break
  sleep 0.1
done
compgen -G "$work/.out.avi.*.part" >/dev/null || fail "no temporary AVI appeared"
kill -INT "$pid"
status=0
wait "$pid" || status=$?
pid=
[ "$status" -eq 130 ] || fail "exit status $status after Ctrl-C, not 130"
left=$(cd "$work" && ls -A | grep -v -x -e feed -e stdout -e stderr || true)
[ -z "$left" ] || fail "left behind: $left"
echo "interrupt_test: Ctrl-C ended the run with status 130 and left nothing behind"

(cd "$work" && exec "$root/tools/wine-run.sh" "$prefix" "$cli" --info feed >stdout 2>stderr) &
pid=$!
exec 3>"$work/feed"
cat "$sample" >&3
sleep 3
kill -INT "$pid"
status=0
wait "$pid" || status=$?
pid=
[ "$status" -eq 130 ] || fail "exit status $status after Ctrl-C in --info, not 130"
echo "interrupt_test: Ctrl-C ended --info with status 130"

# The help tells of the interruptions Windows has, in its terms, and of no POSIX signal.
help=$("$root/tools/wine-run.sh" "$prefix" "$cli" --help </dev/null | tr -d '\r')
grep -q "Ctrl-C or Ctrl-Break ends trunvex-cli with" <<<"$help" || fail "--help names no Ctrl-Break"
grep -q "status 130" <<<"$help" || fail "--help gives no status for Ctrl-C"
! grep -E "SIG[A-Z]+|signal|pipe" <<<"$help" || fail "--help speaks of POSIX signals or pipes"
echo "interrupt_test: --help describes Windows"
