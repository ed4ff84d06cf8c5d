#!/usr/bin/env bash
# The Windows installer under Wine, as a user would meet it: built from BUILD_DIR, installed
# silently, the sample converted with the installed trunvex-cli.exe found on the PATH of a new
# cmd.exe, installed again into another folder (which replaces the first installation),
# uninstalled silently, then installed and uninstalled over a PATH too long to edit whole;
# afterwards the prefix's drive C, the uninstall entry, the PATH and the Explorer entries are
# as they were before.
#   tests/windows/installer_test.sh BUILD_DIR PREFIX
# PREFIX is the Wine prefix (created on first use).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:?usage: $0 BUILD_DIR PREFIX}
prefix=${2:?usage: $0 BUILD_DIR PREFIX}

export WINEPREFIX=$prefix WINEDEBUG=-all LC_ALL=C.UTF-8
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
environment='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'
file_types='HKLM\Software\Classes\SystemFileAssociations'
folder="$drive/Program Files/Trunvex"
# The second installation: a name outside the ANSI code page (without blanks, which Wine would
# quote on the command line, and /D= takes no quotes).
other_windows='C:\Apps\Trunvex-视频'
other="$drive/Apps/Trunvex-视频"
shortcut="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Trunvex.lnk"
console_shortcut="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Trunvex command line.lnk"

work=$(mktemp -d)
# A failed run leaves no installation behind for the next one to trip over.
cleanup() {
  if [ -n "${installed:-}" ]; then
    rm -rf "$folder" "$other" "$shortcut" "$console_shortcut"
    rmdir "$drive/Apps" 2>/dev/null || true
    wine_run reg delete "$key" /f >/dev/null 2>&1 || true
    for ext in .264 .mp4; do
      wine_run reg delete "$file_types\\$ext" /f >/dev/null 2>&1 || true
    done
    [ -z "${path_before:-}" ] ||
      wine_run reg add "$environment" /v Path /t REG_EXPAND_SZ /d "$path_before" /f >/dev/null 2>&1
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

# One value of a key as reg prints it (the text after its type), or nothing when it is missing.
reg_value() {
  local name_option=(/v "$2")
  [ "$2" = "" ] && name_option=(/ve)
  wine_run reg query "$1" "${name_option[@]}" 2>/dev/null | tr -d '\r' |
    sed -n 's/^ *[^ ].*  *REG_[A-Z_]*  *//p' | head -1
}
# Fails unless the Explorer entries of both types start the programs in $1 (a Windows folder).
check_file_types() {
  local ext open convert
  for ext in .264 .mp4; do
    open=$(reg_value "$file_types\\$ext\shell\Trunvex.Open\command" "")
    [ "$open" = "\"$1\\trunvex.exe\" \"%1\"" ] || fail "$ext opens with: '$open'"
    convert=$(reg_value "$file_types\\$ext\shell\Trunvex.Convert\command" "")
    grep -qF "\"$1\\trunvex-cli.exe\" \"%1\" & pause" <<<"$convert" ||
      fail "$ext converts with: '$convert'"
    [ "$(reg_value "$file_types\\$ext\shell\Trunvex.Convert" MultiSelectModel)" = Player ] ||
      fail "$ext: the selection does not go to one console"
  done
}
# The folders of the machine's PATH that name a Trunvex installation, one a line.
trunvex_on_path() {
  reg_value "$environment" Path | tr ';' '\n' | grep -i 'trunvex' || true
}

# Runs the uninstaller of the installation in $1 (Windows) = $2 (here) and waits for it: it
# hands over to its copy in the temp folder and returns at once; the entry goes last.
uninstall_from() {
  wine_run "$1\\uninstall.exe" /S || fail "the uninstaller failed"
  for _ in $(seq 1 50); do
    if [ ! -e "$2" ] && ! wine_run reg query "$key" >/dev/null 2>&1; then
      break
    fi
    sleep 0.2
  done
}

"$root/tools/package-windows.sh" "$build" "$work/dist" >/dev/null
setup=$(ls "$work"/dist/trunvex-*-win64-setup.exe)
zipped=$(unzip -Z1 "$work"/dist/trunvex-*-win64.zip)
for file in trunvex.exe trunvex-cli.exe README.md LICENSE.txt; do
  grep -q "/$file\$" <<<"$zipped" || fail "the zip lacks $file"
done

[ ! -e "$folder" ] || fail "Trunvex is installed already in $folder"
snapshot >"$work/before"
path_before=$(reg_value "$environment" Path)
[ -n "$path_before" ] || fail "no PATH in $environment"

installed=yes
wine_run "$setup" /S || fail "the installer failed"
for file in trunvex.exe trunvex-cli.exe README.md LICENSE.txt uninstall.exe; do
  [ -f "$folder/$file" ] || fail "$file was not installed"
done
[ -f "$shortcut" ] || fail "no Start-menu shortcut"
wine_run reg query "$key" /v UninstallString >/dev/null 2>&1 || fail "no uninstall entry"
for value in Publisher DisplayVersion EstimatedSize; do
  [ -n "$(reg_value "$key" $value)" ] || fail "the uninstall entry has no $value"
done
[ "$(reg_value "$key" EstimatedSize)" != 0x0 ] || fail "the uninstall entry says it takes no room"
[ "$(trunvex_on_path)" = 'C:\Program Files\Trunvex' ] ||
  fail "PATH names instead: $(trunvex_on_path)"
check_file_types 'C:\Program Files\Trunvex'

# As the README says: a new cmd.exe finds trunvex-cli.exe by its name.
sample=$(winepath -w "$root/samples/sample.264")
avi=$(winepath -w "$work/sample.avi")
message=$(wine_run cmd /c trunvex-cli.exe "$sample" "$avi" | tr -d '\r') ||
  fail "trunvex-cli.exe from a new cmd.exe failed: $message"
[ "$message" = "Trunvex succeeded!" ] || fail "trunvex-cli.exe said: $message"
[ "$(head -c 4 "$work/sample.avi")" = RIFF ] || fail "no AVI written"

# Installed again, elsewhere: the first installation goes, and every entry names the new one.
wine_run "$setup" /S "/D=$other_windows" || fail "the second installer failed"
[ -f "$other/trunvex-cli.exe" ] || fail "nothing installed into $other_windows"
[ ! -e "$folder" ] || fail "the earlier installation is still in $folder"
grep -qF 'C:\Apps\Trunvex-' <<<"$(reg_value "$key" InstallLocation)" ||
  fail "the uninstall entry names $(reg_value "$key" InstallLocation)"
[ "$(trunvex_on_path | wc -l)" = 1 ] && grep -qF 'C:\Apps\Trunvex-' <<<"$(trunvex_on_path)" ||
  fail "PATH names instead: $(trunvex_on_path)"
check_file_types "$(reg_value "$key" InstallLocation)"

uninstall_from "$other_windows" "$other"
wine_run reg query "$key" >/dev/null 2>&1 && fail "the uninstall entry is still there"
[ "$(reg_value "$environment" Path)" = "$path_before" ] ||
  fail "PATH was '$path_before', is '$(reg_value "$environment" Path)'"
for ext in .264 .mp4; do
  wine_run reg query "$file_types\\$ext" >/dev/null 2>&1 && fail "the Explorer entries of $ext stay"
done
# A PATH longer than the installer can edit whole is left as it was, never cut short; a
# Start-menu console has the programs on its PATH instead.
long_path="$path_before$(printf ';C:\\Tools\\%04d' $(seq 1 120))"
wine_run reg add "$environment" /v Path /t REG_EXPAND_SZ /d "$long_path" /f >/dev/null 2>&1
[ "$(reg_value "$environment" Path)" = "$long_path" ] || fail "could not set a long PATH"
wine_run "$setup" /S || fail "the installer failed with a long PATH"
[ "$(reg_value "$environment" Path)" = "$long_path" ] || fail "a long PATH was changed"
[ -f "$console_shortcut" ] || fail "a long PATH and no command-line shortcut"
uninstall_from 'C:\Program Files\Trunvex' "$folder"
[ "$(reg_value "$environment" Path)" = "$long_path" ] || fail "the uninstaller changed a long PATH"
[ ! -e "$console_shortcut" ] || fail "the command-line shortcut stays"
wine_run reg add "$environment" /v Path /t REG_EXPAND_SZ /d "$path_before" /f >/dev/null 2>&1

# The folder the second installation went into was made for it; its parent was the test's
# choice and stays, as an uninstaller leaves it.
rmdir "$drive/Apps" || fail "files left in C:\\Apps: $(ls -A "$drive/Apps")"
snapshot >"$work/after"
diff "$work/before" "$work/after" || fail "files left behind or removed (above)"
installed=
echo "installer_test: installed, converted the sample from a new cmd.exe, replaced by an install" \
  "elsewhere, uninstalled without a trace"
