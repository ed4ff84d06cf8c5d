#!/usr/bin/env bash
# tools/build-windows.sh [BUILD_DIR]: cross-builds trunvex.exe (the dialog), trunvex-cli.exe
# and the test programs for 64-bit Windows with MinGW-w64 into BUILD_DIR (default
# build-windows), installing what is missing first. The programs need nothing beside them.
# `xvfb-run -a ctest --test-dir BUILD_DIR` runs the tests through Wine (the dialog's need a
# display). Extra CMake arguments can come in TRUNVEX_WINDOWS_CMAKE_ARGS.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-windows}

tools/install-deps.sh --windows
# shellcheck disable=SC2086  # the extra arguments are meant to split
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRUNVEX_WERROR=ON -DTRUNVEX_BUILD_TOOLS=OFF \
  ${TRUNVEX_WINDOWS_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)"

echo "Built:"
find "$(cd "$build" && pwd)/src" -name '*.exe' -print
