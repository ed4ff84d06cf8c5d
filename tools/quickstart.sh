#!/usr/bin/env bash
# The main job on a fresh machine: install what is missing, build, convert the bundled
# sample recording and show what the AVI holds.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)"

build/src/cli/trunvex-cli samples/sample.264 build/sample.avi
echo
echo "build/sample.avi holds:"
ffprobe -v error -count_packets \
  -show_entries stream=index,codec_type,codec_name,width,height,r_frame_rate,sample_rate,bits_per_sample,nb_read_packets:format=duration,size \
  -of compact=p=0 build/sample.avi
echo
echo "The desktop dialog: build/src/ui/trunvex"
