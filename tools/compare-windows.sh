#!/usr/bin/env bash
# tools/compare-windows.sh LINUX_BUILD WINDOWS_BUILD [WORK_DIR]
# Runs the Linux trunvex-cli and the Windows trunvex-cli.exe (under Wine) on the same inputs:
# the sample, recordings of every kind made by the Linux build's trunvex-mkrecording, and
# failing cases. Each case passes when both print the same messages (line ends aside), exit
# with the same status, say why on standard error alike (the words are the system's) and
# write byte-identical AVI files. Prints one line per case and a closing
# "windows comparison: P passed, F failed"; exits 1 when any case failed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
linux_build=$(cd "$1" && pwd)
windows_build=$(cd "$2" && pwd)
work=${3:-$windows_build/compare}
linux_cli=$linux_build/src/cli/trunvex-cli
windows_cli=$windows_build/src/cli/trunvex-cli.exe
maker=$linux_build/tools/mkrecording/trunvex-mkrecording
# Wine reads the arguments in the locale's encoding: UTF-8, as the names below are.
export LC_ALL=C.UTF-8

rm -rf "$work"
mkdir -p "$work/inputs"
inputs=$work/inputs

make_recording() {  # NAME MAKER-OPTIONS...
  local name=$1
  shift
  "$maker" --out "$inputs/$name.264" "$@" >/dev/null
}
cp "$root/samples/sample.264" "$inputs/sample.264"
make_recording h264-pcm8 --video h264 --audio pcm8 --size 352x288 --seconds 2
make_recording annexb-pcm16 --video h264-annexb --audio pcm16 --audio-rate 16000 --seconds 2
make_recording mpeg4-alaw --video mpeg4 --audio alaw --size 176x144 --seconds 2
make_recording adpcm-junk --video h264 --audio adpcm --junk --skip-records --seed 7 --seconds 2
make_recording sizes-none-enc --video h264 --audio none-enc --size 320x240 \
  --size-change 640x480@1 --seconds 2
make_recording mpeg4-truncated --video mpeg4 --audio off --size 720x576 --truncate 777 \
  --seconds 1
make_recording audio-first --video h264 --audio pcm8 --audio-first --size 160x120 --seconds 1
make_recording audio-only --video none --audio pcm8 --seconds 1
: >"$inputs/empty.264"

passed=0
failed=0
# run_case NAME ARGS...: the arguments name files relative to the case's folder, which starts
# as a copy of the inputs, once for each system.
run_case() {
  local name=$1
  shift
  local side status
  for side in linux windows; do
    rm -rf "${work:?}/$side"
    cp -r "$inputs" "$work/$side"
    status=0
    if [ "$side" = linux ]; then
      (cd "$work/$side" && "$linux_cli" -q "$@" >../$side.out 2>../$side.err) || status=$?
    else
      (cd "$work/$side" && "$root/tools/wine-run.sh" "$windows_build/wine-prefix" \
        "$windows_cli" -q "${@//\//\\}" >../$side.out 2>../$side.err) || status=$?
    fi
    echo "$status" >"$work/$side.status"
    # Windows ends lines with CR LF.
    tr -d '\r' <"$work/$side.out" >"$work/$side.text"
  done
  local why=""
  cmp -s "$work/linux.status" "$work/windows.status" ||
    why="exit status $(cat "$work/linux.status") on Linux, $(cat "$work/windows.status") on Windows"
  cmp -s "$work/linux.text" "$work/windows.text" || why="${why:+$why; }messages differ"
  if { [ -s "$work/linux.err" ] && [ ! -s "$work/windows.err" ]; } ||
    { [ ! -s "$work/linux.err" ] && [ -s "$work/windows.err" ]; }; then
    why="${why:+$why; }only one says why on standard error"
  fi
  local file
  while IFS= read -r file; do
    cmp -s "$work/linux/$file" "$work/windows/$file" || why="${why:+$why; }$file differs"
  done < <(cd "$work/linux" && find . -type f | sort)
  [ "$(cd "$work/linux" && find . | sort)" = "$(cd "$work/windows" && find . | sort)" ] ||
    why="${why:+$why; }the folders hold different files"
  if [ -z "$why" ]; then
    echo "ok    $name (exit $(cat "$work/linux.status"))"
    passed=$((passed + 1))
  else
    echo "FAIL  $name: $why"
    diff "$work/linux.text" "$work/windows.text" | head -n 10 || true
    failed=$((failed + 1))
  fi
}

for recording in "$inputs"/*.264; do
  name=$(basename "$recording" .264)
  run_case "$name" "$name.264" "$name.avi"
done
# One job at a time: with more, the messages come in the order the jobs finish.
run_case "several at once, derived names" -j 1 h264-pcm8.264 mpeg4-alaw.264 adpcm-junk.264
run_case "replacing an existing AVI" sample.264 h264-pcm8.avi
mkdir -p "$inputs/录像 Ωμέγα/sub"
cp "$inputs/sample.264" "$inputs/录像 Ωμέγα/监控-камера.264"
run_case "names in any script" "录像 Ωμέγα/监控-камера.264" "录像 Ωμέγα/sub/输出.avi"
run_case "missing source" missing.264 out.avi
run_case "source and AVI the same" sample.264 -o ./sample.264
run_case "AVI in a missing folder" sample.264 no/such/out.avi
run_case "recording described" --info mpeg4-alaw.264 adpcm-junk.264

echo "windows comparison: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
