#!/usr/bin/env bash
# tools/compare-windows.sh LINUX_BUILD WINDOWS_BUILD [WORK_DIR]
# Runs the Linux trunvex-cli and the Windows trunvex-cli.exe (under Wine) on the same inputs:
# the sample, recordings of every kind made by the Linux build's trunvex-mkrecording, and
# failing cases. Each case passes when both print the same messages, exit with the same
# status, say why on standard error alike (the words are the system's) and write
# byte-identical AVI files. Paths are given to Windows with '\' and it names what it finds
# with '\': messages and reports are compared with '\' read as '/' and Windows' CR LF line
# ends as LF. Reports (*.jsonl) are compared line by line with the wall times and the
# system's words (`reason`) left out, as they differ from run to run and between systems.
# Prints one line per case and a closing "windows comparison: P passed, F failed"; exits 1
# when any case failed.
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

# A report as compared: wall times and the system's words out, '\' in paths read as '/'.
normalized_report() {
  sed -E -e 's/"wall_seconds":[0-9.eE+-]+/"wall_seconds":0/' \
    -e 's/"reason":"([^"\\]|\\.)*"/"reason":"(words)"/' -e 's#\\\\#/#g' "$1"
}

passed=0
failed=0
# Standard input of the next case: nothing, a file (`stdin_file=PATH`) or, with
# `stdin_pipe=1`, that file through a pipe.
stdin_file=/dev/null
stdin_pipe=0
# run_case NAME ARGS...: the arguments name files relative to the case's folder, which starts
# as a copy of the inputs, once for each system.
run_case() {
  local name=$1
  shift
  local side status
  local -a command
  for side in linux windows; do
    rm -rf "${work:?}/$side"
    cp -r "$inputs" "$work/$side"
    status=0
    if [ "$side" = linux ]; then
      command=("$linux_cli" "$@")
    else
      command=("$root/tools/wine-run.sh" "$windows_build/wine-prefix" "$windows_cli"
        "${@//\//\\}")
    fi
    if [ "$stdin_pipe" = 1 ]; then
      # shellcheck disable=SC2002  # a pipe, not a file, is what this case is about
      (cd "$work/$side" && cat "$stdin_file" | "${command[@]}" >../$side.out 2>../$side.err) ||
        status=$?
    else
      (cd "$work/$side" && "${command[@]}" <"$stdin_file" >../$side.out 2>../$side.err) ||
        status=$?
    fi
    echo "$status" >"$work/$side.status"
    # Windows ends lines with CR LF and names what it finds with '\'. Successes are told on
    # standard output, failures on standard error with the system's reasons, whose words
    # differ: of those, only the messages are compared.
    cat "$work/$side.out" <(grep -E '(succeeded|failed|converted|null|file|same)!.?$' \
      "$work/$side.err") | tr -d '\r' | tr '\134' / >"$work/$side.text"
  done
  stdin_file=/dev/null
  stdin_pipe=0
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
    if [[ $file == *.jsonl ]]; then
      cmp -s <(normalized_report "$work/linux/$file") <(normalized_report "$work/windows/$file") ||
        why="${why:+$why; }$file differs"
    else
      cmp -s "$work/linux/$file" "$work/windows/$file" || why="${why:+$why; }$file differs"
    fi
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
# Written through: the file the link leads to gets the AVI, the link stays.
cp "$inputs/h264-pcm8.264" "$inputs/link target.avi"
ln -s "link target.avi" "$inputs/linked.avi"
run_case "AVI path that is a link" sample.264 linked.avi
mkdir -p "$inputs/录像 Ωμέγα/sub"
cp "$inputs/sample.264" "$inputs/录像 Ωμέγα/监控-камера.264"
run_case "names in any script" "录像 Ωμέγα/监控-камера.264" "录像 Ωμέγα/sub/输出.avi"
run_case "missing source" missing.264 out.avi
run_case "source and AVI the same" sample.264 -o ./sample.264
run_case "AVI in a missing folder" sample.264 no/such/out.avi
run_case "recording described" --info mpeg4-alaw.264 adpcm-junk.264

# A tree with names in several scripts and with spaces. "sub/x.264" and "sub0.264" come in
# the same order whatever the separator: the order counts '\' as '/'.
tree="树 tree"
mkdir -p "$inputs/$tree/sub" "$inputs/$tree/Sub Ωμέγα" "$inputs/$tree/empty folder"
cp "$inputs/sample.264" "$inputs/$tree/a b.264"
cp "$inputs/h264-pcm8.264" "$inputs/$tree/sub/x.264"
cp "$inputs/mpeg4-alaw.264" "$inputs/$tree/sub0.264"
cp "$inputs/annexb-pcm16.264" "$inputs/$tree/Sub Ωμέγα/监控 камера.MP4"
cp "$inputs/adpcm-junk.264" "$inputs/$tree/sub-1.264"
echo "not a recording" >"$inputs/$tree/notes.txt"
cp "$inputs/sample.264" "$inputs/$tree/old.avi"
run_case "folder tree mirrored" -j 1 -r "$tree" --output-dir "出口 out/avi"
run_case "folder tree beside itself" -j 2 -r "$tree/"
run_case "folder tree described" --info -r "$tree"
run_case "report with digests" -j 1 -r "$tree" missing.264 empty.264 \
  --output-dir "出口 out" --report "报告 report.jsonl" --hash
stdin_file=$inputs/h264-pcm8.264
run_case "standard input from a file" - "录像 Ωμέγα/从 stdin.avi"
stdin_file=$inputs/adpcm-junk.264 stdin_pipe=1
run_case "standard input from a pipe, reported" - -o "stdin.avi" --report r.jsonl --hash

echo "windows comparison: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
