#!/usr/bin/env bash
# The Windows installer under Wine, as a user would meet it: built from BUILD_DIR, installed
# silently, the sample converted with the installed trunvex-cli.exe, uninstalled silently;
# afterwards the prefix's drive C and the uninstall entry are as they were before.
#   tests/windows/installer_test.sh BUILD_DIR PREFIX
# PREFIX is the Wine prefix (created on first use).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:?usage: $0 BUILD_DIR PREFIX}
prefix=${2:?usage: $0 BUILD_DIR PREFIX}

export WINEPREFIX=$prefix WINEDEBUG=-all
# No desktop entries for the shortcut outside the prefix.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
wine_run() {
  "$root/tools/wine-run.sh" "$prefix" "$@"
}
# The Wine server and its services stay running after this script; they must not hold its
# output open, or whoever reads it waits for them.
wine_run cmd /c exit </dev/null >/dev/null 2>&1
drive=$prefix/drive_c
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Trunvex'
folder="$drive/Program Files/Trunvex"
shortcut="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Trunvex.lnk"

work=$(mktemp -d)
# A failed run leaves no installation behind for the next one to trip over.
cleanup() {
  if [ -n "${installed:-}" ]; then
    rm -rf "$folder" "$shortcut"
    wine_run reg delete "$key" /f >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "installer_test: $*" >&2
  exit 1
}

# Everything on drive C, except the folder the uninstaller runs its own copy from: like on
# Windows, that copy goes at the next start of the system.
snapshot() {
  (cd "$drive" && find . -print | grep -v '/~nsu[^/]*\.tmp' | sort)
}

"$root/tools/package-windows.sh" "$build" "$work/dist" >/dev/null
setup=$(ls "$work"/dist/trunvex-*-win64-setup.exe)
zipped=$(unzip -Z1 "$work"/dist/trunvex-*-win64.zip)
for file in trunvex.exe trunvex-cli.exe README.md LICENSE.txt; do
  grep -q "/$file\$" <<<"$zipped" || fail "the zip lacks $file"
done

[ ! -e "$folder" ] || fail "Trunvex is installed already in $folder"
snapshot >"$work/before"

installed=yes
wine_run "$setup" /S || fail "the installer failed"
for file in trunvex.exe trunvex-cli.exe README.md LICENSE.txt uninstall.exe; do
  [ -f "$folder/$file" ] || fail "$file was not installed"
done
[ -f "$shortcut" ] || fail "no Start-menu shortcut"
wine_run reg query "$key" /v UninstallString >/dev/null 2>&1 || fail "no uninstall entry"

sample=$(winepath -w "$root/samples/sample.264")
avi=$(winepath -w "$work/sample.avi")
message=$(wine_run 'C:\Program Files\Trunvex\trunvex-cli.exe' "$sample" "$avi" | tr -d '\r') ||
  fail "the installed trunvex-cli.exe failed: $message"
[ "$message" = "Trunvex succeeded!" ] || fail "trunvex-cli.exe said: $message"
[ "$(head -c 4 "$work/sample.avi")" = RIFF ] || fail "no AVI written"

wine_run 'C:\Program Files\Trunvex\uninstall.exe' /S || fail "the uninstaller failed"
# The uninstaller hands over to its copy in the temp folder and returns at once; the entry
# goes last.
for _ in $(seq 1 50); do
  if [ ! -e "$folder" ] && ! wine_run reg query "$key" >/dev/null 2>&1; then
    break
  fi
  sleep 0.2
done
wine_run reg query "$key" >/dev/null 2>&1 && fail "the uninstall entry is still there"
snapshot >"$work/after"
diff "$work/before" "$work/after" || fail "files left behind or removed (above)"
installed=
echo "installer_test: installed, converted the sample, uninstalled without a trace"
