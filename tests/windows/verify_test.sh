#!/usr/bin/env bash
# trunvex-cli.exe --verify under Wine: the AVI just written is verified byte for byte, and one
# changed byte is found at its offset, with its own exit status.
#   tests/windows/verify_test.sh CLI_EXE PREFIX SAMPLE
set -euo pipefail
# shellcheck source=tests/windows/cli_test_setup.sh
source "$(dirname "$0")/cli_test_setup.sh"
cp "$sample" "$work/rec.264"
run() { (cd "$work" && "$root/tools/wine-run.sh" "$prefix" "$cli" -q "$@" </dev/null); }

run rec.264 rec.avi >/dev/null 2>&1 || fail "the conversion failed"
run --verify rec.264 rec.avi --report verified.jsonl >/dev/null 2>&1 ||
  fail "the AVI just written was not verified: $(cat "$work/verified.jsonl")"
grep -q '"outcome":"verified"' "$work/verified.jsonl" || fail "$(cat "$work/verified.jsonl")"

offset=100000
printf '\x55' | dd of="$work/rec.avi" bs=1 seek=$offset conv=notrunc status=none
status=0
run --verify rec.264 rec.avi --report differs.jsonl >/dev/null 2>&1 || status=$?
[ "$status" = 7 ] || fail "a changed AVI gave exit status $status, not 7"
grep -q "\"outcome\":\"differs\".*\"differs_at\":$offset" "$work/differs.jsonl" ||
  fail "$(cat "$work/differs.jsonl")"
echo "verify_test: verified, and the changed byte found at $offset"
