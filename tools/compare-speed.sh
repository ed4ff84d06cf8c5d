#!/usr/bin/env bash
# Times trunvex-cli against `cp`, `cat` into a file and FFmpeg's remux on a 10-minute 704x576,
# 25 fps, 2 Mbit/s H.264 recording, interleaved over several rounds, and prints medians and
# ratios; also the adversarial case (100 MB of nothing but rejected start codes against 100 MB
# of random bytes), -j 2 against one at a time on eight recordings, and peak memory.
#   tools/compare-speed.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-release}
rounds=${2:-7}
cli=$build/src/cli/trunvex-cli
maker=$build/tools/mkrecording/trunvex-mkrecording
work=${TRUNVEX_SPEED_DIR:-$build/speed}
mkdir -p "$work"

tools/install-deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target trunvex-cli trunvex-mkrecording >/dev/null

rec=$work/rec10.264
if [ ! -f "$rec" ]; then
  echo "making the 10-minute recording (about a minute)..."
  "$maker" --video h264 --size 704x576 --fps 25 --seconds 600 --bitrate 2M --audio adpcm \
    --audio-rate 8000 --out "$rec" --annexb-out "$work/rec10.h264" >/dev/null
fi
if [ ! -f "$work/random.bin" ]; then
  head -c 100000000 /dev/urandom >"$work/random.bin"
  # Delta-frame start codes before any key frame: every one is found and rejected.
  perl -e 'print "\x00\x00\x01\xfc" x 25000000' >"$work/codes.bin"
fi
cat "$rec" "$work/rec10.h264" "$work/random.bin" "$work/codes.bin" >/dev/null  # page cache

now() { date +%s%N; }
# Runs "$@" once and prints its wall time in milliseconds.
timed() {
  local t0 t1
  t0=$(now)
  "$@" >/dev/null 2>&1 || true
  t1=$(now)
  echo $(((t1 - t0) / 1000000))
}
# The median of space-separated numbers.
median() {
  tr ' ' '\n' <<<"$1" | grep . | sort -n |
    awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'
}

declare -A samples
names=(trunvex cp cat ffmpeg random codes)
for ((r = 0; r < rounds; r++)); do
  samples[trunvex]+="$(timed "$cli" -q "$rec" "$work/out.avi") "
  samples[cp]+="$(timed cp "$rec" "$work/copy.264") "
  samples[cat]+="$(timed sh -c 'cat "$1" >"$2"' sh "$rec" "$work/cat.264") "
  samples[ffmpeg]+="$(timed ffmpeg -v error -y -f h264 -i "$work/rec10.h264" -c copy "$work/ff.avi") "
  samples[random]+="$(timed "$cli" -q "$work/random.bin" "$work/random.avi") "
  samples[codes]+="$(timed "$cli" -q "$work/codes.bin" "$work/codes.avi") "
  # Each writes a new file each round, as a user converting a fresh recording would.
  rm -f "$work/copy.264" "$work/cat.264" "$work/out.avi" "$work/ff.avi"
done
declare -A med
for n in "${names[@]}"; do
  med[$n]=$(median "${samples[$n]}")
done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}'; }

peak=$( { /usr/bin/time -f '%M' "$cli" -q "$rec" "$work/out.avi" >/dev/null; } 2>&1 | tail -n 1)

# Hard links: eight sources by name (a batch converts a source reached through symbolic links
# once), one copy of the bytes in the page cache.
batch=()
for i in $(seq 1 8); do
  rm -f "$work/batch$i.264"
  ln "$rec" "$work/batch$i.264"
  batch+=("$work/batch$i.264")
done
seq1=""
par2=""
for ((r = 0; r < 3; r++)); do
  seq1+="$(timed "$cli" -q -j 1 "${batch[@]}") "
  rm -f "$work"/batch*.avi
  par2+="$(timed "$cli" -q -j 2 "${batch[@]}") "
  rm -f "$work"/batch*.avi
done
seq1=$(median "$seq1")
par2=$(median "$par2")

echo "machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo), $(uname -r); $(date -u +%F)"
echo "recording: $(stat -c %s "$rec") bytes, medians of $rounds interleaved rounds (ms)"
printf '  %-34s %6s ms\n' "trunvex-cli" "${med[trunvex]}" "cp" "${med[cp]}" \
  "cat into a file" "${med[cat]}" \
  "ffmpeg -f h264 -c copy (same video)" "${med[ffmpeg]}" \
  "trunvex-cli, 100 MB random bytes" "${med[random]}" \
  "trunvex-cli, 100 MB rejected codes" "${med[codes]}"
echo "  trunvex-cli / cat:                $(ratio "${med[trunvex]}" "${med[cat]}")  (target <= 1.3)"
echo "  trunvex-cli / cp:                 $(ratio "${med[trunvex]}" "${med[cp]}")  (target <= 1.25)"
echo "  ffmpeg / trunvex-cli:             $(ratio "${med[ffmpeg]}" "${med[trunvex]}")  (target >= 4)"
echo "  rejected codes / random bytes:    $(ratio "${med[codes]}" "${med[random]}")  (target <= 2)"
echo "  eight files, -j 2 / -j 1:         $(ratio "$par2" "$seq1")  ($par2 / $seq1 ms, medians of 3; target <= 0.6)"
echo "  peak memory of trunvex-cli:       $((peak / 1024)) MiB  (target < 16)"
