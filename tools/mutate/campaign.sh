#!/usr/bin/env bash
# Generates base recordings of every kind the converter meets and runs the mutation campaign
# over them.
#
#   tools/mutate/campaign.sh [-b BUILD_DIR] [-w WORK_DIR] [-n COUNT] [-k BASES] [-s SECONDS]
#                            [-- campaign options, e.g. -j 2 --seed 7]
#
# BASES takes the first k of the list below (all six by default); SECONDS is each base's
# length (at least 3 when the size-change base is among them). Exits 77 when ffmpeg or
# ffprobe is missing.
set -euo pipefail

build=build
work=
count=1000
bases=6
seconds=3
while getopts "b:w:n:k:s:" opt; do
  case $opt in
    b) build=$OPTARG ;;
    w) work=$OPTARG ;;
    n) count=$OPTARG ;;
    k) bases=$OPTARG ;;
    s) seconds=$OPTARG ;;
    *) exit 64 ;;
  esac
done
shift $((OPTIND - 1))
[ "${1:-}" = "--" ] && shift
work=${work:-$build/mutation-work}

for tool in ffmpeg ffprobe; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is not installed"
    exit 77
  fi
done

maker=$build/tools/mkrecording/trunvex-mkrecording
campaign=$build/tools/mutate/trunvex-mutation-campaign
cli=$build/src/cli/trunvex-cli

# name and generator options, one base a line
list="h264-adpcm-junk|--video h264 --size 352x288 --audio adpcm --audio-first --junk --skip-records
h264annexb-pcm16|--video h264-annexb --size 176x144 --audio pcm16 --audio-rate 16000
mpeg4-alaw|--video mpeg4 --size 320x240 --audio alaw --junk
size-changes|--video h264 --size 352x288 --audio adpcm --audio-rate 16000 --size-change 176x144@1 --size-change 352x288@2
audio-only|--video none --audio pcm16 --audio-rate 8000 --audio-block-ms 128
h264-pcm8-truncated|--video h264 --size 176x144 --audio pcm8 --junk --truncate 3000"

rm -rf "$work"
mkdir -p "$work/bases"
files=()
while IFS='|' read -r name options; do
  [ "${#files[@]}" -lt "$bases" ] || break
  # shellcheck disable=SC2086
  "$maker" $options --seconds "$seconds" --seed "${#files[@]}" --out "$work/bases/$name.264" |
    sed "s/^/$name: /"
  files+=("$work/bases/$name.264")
done <<<"$list"

exec "$campaign" --cli "$cli" -n "$count" --work "$work" "$@" "${files[@]}"
