#!/usr/bin/env bash
# The whole test suite on a fresh machine: install what is missing; build with warnings as
# errors and run every test; run the tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the batch and run tests under ThreadSanitizer; check the
# formatting; run each fuzzer for a short while; run docs/scale.md's recipes on a one-node Slurm
# cluster and with GNU parallel; build, install and purge the Debian package.
set -euo pipefail
cd "$(dirname "$0")/.."

FUZZ_SECONDS=${FUZZ_SECONDS:-30}
jobs=$(nproc)
log=$(mktemp)
trap 'rm -f "$log"' EXIT

tools/install-deps.sh

# Each stage says when it starts, so a slow stage shows in CI's log.
step() { printf '\n== %s (at %d s)\n' "$*" "$SECONDS"; }

count_results() {  # ctest's closing line -> "passed failed"
  sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\2 \1/p' "$log" | tail -n 1
}
passed=0
failed=0
add_results() {
  local total fails
  read -r total fails <<<"$(count_results)"
  passed=$((passed + total - fails))
  failed=$((failed + fails))
}

step "build (warnings as errors)"
cmake -S . -B build-ci -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRUNVEX_WERROR=ON \
  -DTRUNVEX_BUILD_BENCH=ON >/dev/null
cmake --build build-ci -j"$jobs"

step "tests"
status=0
ctest --test-dir build-ci -j"$jobs" --output-on-failure 2>&1 | tee "$log" || status=1
add_results

step "Windows: cross-build, tests under Wine (the dialog's on Xvfb), the installer, the same AVIs as the Linux build"
windows_start=$SECONDS
if tools/build-windows.sh build-windows-ci >"$log" 2>&1; then
  xvfb-run -a -s "-screen 0 1024x768x24" ctest --test-dir build-windows-ci -j"$jobs" \
    --output-on-failure 2>&1 | tee "$log" || status=1
  add_results
  tools/compare-windows.sh build-ci build-windows-ci 2>&1 | tee "$log" || status=1
  read -r compared_ok compared_bad <<<"$(sed -n 's/^windows comparison: \([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' "$log")"
  passed=$((passed + ${compared_ok:-0}))
  failed=$((failed + ${compared_bad:-1}))
else
  tail -n 40 "$log"
  echo "Windows build FAILED"
  failed=$((failed + 1))
  status=1
fi
# The tests leave Wine's server running for quick starts; it is not needed any more.
WINEPREFIX=$PWD/build-windows-ci/wine-prefix wineserver -k 2>/dev/null || true
echo "Windows stage: $((SECONDS - windows_start)) s"

step "tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTRUNVEX_SANITIZE=ON \
  -DTRUNVEX_BUILD_UI=OFF >/dev/null
cmake --build build-sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-sanitize -j"$jobs" --output-on-failure -LE slow 2>&1 | tee "$log" ||
  status=1
add_results

step "batches and runs under ThreadSanitizer"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRUNVEX_SANITIZE_THREAD=ON \
  -DTRUNVEX_BUILD_UI=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target run_test cli_test archive_test trunvex-cli \
  trunvex-mkrecording
# Among them the batch of eight conversions at -j 4 and the folder trees at -j 2; the CLI's
# own races fail its tests.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan -j"$jobs" --output-on-failure \
  -R '^(ConversionRun|FileSources|CliFiles|CliConversion|ArchiveTree)' 2>&1 | tee "$log" || status=1
add_results

step "formatting"
if git ls-files '*.h' '*.cpp' | xargs clang-format --dry-run --Werror; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  status=1
fi

if [ -f fuzz/CMakeLists.txt ]; then
  step "fuzzers, ${FUZZ_SECONDS} s each"
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DTRUNVEX_BUILD_FUZZ=ON -DTRUNVEX_BUILD_UI=OFF \
    -DTRUNVEX_BUILD_CLI=OFF -DTRUNVEX_BUILD_TESTS=OFF >/dev/null
  cmake --build build-fuzz -j"$jobs"
  for fuzzer in build-fuzz/fuzz/*_fuzzer; do
    name=$(basename "$fuzzer")
    corpus=build-fuzz/corpus/$name
    mkdir -p "$corpus"
    seeds=fuzz/corpus/${name%_fuzzer}
    [ -d "$seeds" ] || seeds=
    if "$fuzzer" -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 "$corpus" $seeds \
      >"$log" 2>&1; then
      echo "$name: $(grep -E 'stat::number_of_executed_units' "$log" | awk '{print $2}') runs, clean"
      passed=$((passed + 1))
    else
      tail -n 40 "$log"
      echo "$name: FAILED"
      failed=$((failed + 1))
      status=1
    fi
  done
fi

step "scale-out recipes of docs/scale.md: a Slurm array on a one-node cluster, GNU parallel"
for stage in slurm parallel; do
  tests/scale/${stage}_stage.sh build-ci 2>&1 | tee "$log" || status=1
  results="s/^$stage: \([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p"
  read -r stage_passed stage_failed <<<"$(sed -n "$results" "$log")"
  passed=$((passed + ${stage_passed:-0}))
  failed=$((failed + ${stage_failed:-1}))
done

step "Debian package: build, lint, install, use, purge"
tools/test-package.sh 2>&1 | tee "$log" || status=1
read -r pkg_passed pkg_failed <<<"$(sed -n 's/^package: \([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' "$log")"
passed=$((passed + ${pkg_passed:-0}))
failed=$((failed + ${pkg_failed:-1}))

echo
echo "total time: $SECONDS s"
echo "all: $passed passed, $failed failed"
exit "$status"
