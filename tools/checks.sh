# shellcheck shell=bash
# Checks that count, for the test stages that are shell scripts (sourced, not run): each check
# prints "ok   NAME" or "FAIL NAME" with the end of what it printed, and adds to $passed or
# $failed, which the stage's closing line reports.

passed=0
failed=0
last_status=0

# check NAME FUNCTION ARGS...: runs the function with errexit in force (so it must not be called
# from a condition, where bash ignores errexit); shows its output only if it fails.
check() {
  local name=$1 out status
  shift
  set +e
  out=$(
    set -e
    "$@" 2>&1
  )
  status=$?
  set -e
  if [ "$status" -eq 0 ]; then
    echo "ok   $name"
    passed=$((passed + 1))
  else
    echo "FAIL $name"
    printf '%s\n' "$out" | tail -n 30 | sed 's/^/     /'
    failed=$((failed + 1))
  fi
  last_status=$status
}
# must NAME FUNCTION ARGS...: a check the later ones rely on; stops the stage when it fails.
must() {
  check "$@"
  [ "$last_status" -eq 0 ]
}
skip() { echo "skip $*"; }
# fail TEXT...: inside a check, says what went wrong and fails it.
fail() {
  echo "$*" >&2
  return 1
}
