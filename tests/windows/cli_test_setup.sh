# What the Wine tests of trunvex-cli.exe share, sourced with the script's arguments
# (CLI_EXE PREFIX [SAMPLE]): root, cli, prefix, sample, fail, and a work folder removed at exit
# (a script with more to clean up sets its own trap, which removes it too).
# shellcheck shell=bash disable=SC2034  # the sourcing script uses them
test_name=$(basename "$0" .sh)
root=$(cd "$(dirname "$0")/../.." && pwd)
usage="usage: $0 CLI_EXE PREFIX [SAMPLE]"
cli=$(realpath "${1:?$usage}")
prefix=$(realpath "${2:?$usage}")
if [ $# -ge 3 ]; then
  sample=$(realpath "$3")
fi

fail() {
  echo "$test_name: $*" >&2
  exit 1
}
# The Wine server and its services stay running; they must not hold this script's output open.
"$root/tools/wine-run.sh" "$prefix" cmd /c exit </dev/null >/dev/null 2>&1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
