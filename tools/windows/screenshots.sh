#!/usr/bin/env bash
# Screenshots of the Windows dialog and its About box under Wine and Xvfb:
#   tools/windows/screenshots.sh BUILD_DIR
# writes docs/screenshot-win32.png and docs/screenshot-win32-about.png. BUILD_DIR is a
# Windows build (tools/build-windows.sh) with the targets trunvex and win32_dialog_remote.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

prefix=$(sed -n 's/^TRUNVEX_WINEPREFIX:PATH=//p' "$build/CMakeCache.txt")
run() {
  "$root/tools/wine-run.sh" "$prefix" "$@"
}
"$root/tests/ui/win32/wine-display.sh" "$prefix"
remote=$(find "$build/tests" -name win32_dialog_remote.exe | head -n 1)
shot() {  # NAME: the screen, cut down to the windows on the desktop
  sleep 1.5
  import -window root png:- | convert - -trim +repage "$root/docs/$1.png"
}

run "$(find "$build/src" -name trunvex.exe | head -n 1)" </dev/null >/dev/null 2>&1 &
for _ in $(seq 1 50); do
  run "$remote" paths 2>/dev/null && break
  sleep 0.2
done
shot screenshot-win32
run "$remote" about
shot screenshot-win32-about
run "$remote" close
wait
echo "docs/screenshot-win32.png docs/screenshot-win32-about.png"
