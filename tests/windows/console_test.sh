#!/usr/bin/env bash
# trunvex-cli.exe writing to a console under Wine (a pseudo-terminal from script(1)): names in
# Chinese come out as the UTF-8 they are, on standard output and standard error alike.
#   tests/windows/console_test.sh CLI_EXE PREFIX
set -euo pipefail
# shellcheck source=tests/windows/cli_test_setup.sh
source "$(dirname "$0")/cli_test_setup.sh"
export LC_ALL=C.UTF-8
mkdir "$work/录像"
# Two missing recordings: each is named on standard error with its message and the system's
# reason.
command=$(printf '%q ' "$root/tools/wine-run.sh" "$prefix" "$cli" -q -j 1 \
  录像/不存在.264 录像/也不存在.mp4)
(cd "$work" && script -qec "$command" /dev/null >console.txt) || true
# Wine draws the console with escape codes: cursor switched off and on around each write, and
# a space as "erase to the end of the line, one to the right".
shown=$(sed -e $'s/\x1b\\[?25[lh]//g' -e $'s/\x1b\\[K\x1b\\[1C/ /g' "$work/console.txt" | tr -d '\r')
for expected in "录像/不存在.264: Can not open the source file!" \
  "trunvex-cli: 录像/也不存在.mp4: "; do
  grep -qF -- "$expected" <<<"$shown" || {
    echo "console_test: '$expected' not shown; the console showed:" >&2
    echo "$shown" >&2
    exit 1
  }
done
echo "console_test: names in Chinese reach the console as written"
