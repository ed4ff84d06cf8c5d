#!/usr/bin/env bash
# wine-display.sh PREFIX: readies a Wine prefix for the dialog tests. Windows open on a
# virtual desktop, so that no window manager is needed and closing a window costs nothing;
# the dialogs' font, 宋体 (SimSun), is drawn with the installed WenQuanYi Micro Hei, as a
# fresh prefix has no Chinese font. Windows itself has the font: this is for Wine only.
set -euo pipefail
prefix=${1:?usage: $0 PREFIX}
if [ -z "${DISPLAY:-}" ]; then
  echo "wine-display: no display; run the tests under xvfb-run" >&2
  exit 1
fi
run=$(cd "$(dirname "$0")/../../.." && pwd)/tools/wine-run.sh
# The Wine server and its services stay running; they must not hold CTest's output open, so
# they are started here with their output going nowhere.
"$run" "$prefix" cmd /c exit </dev/null >/dev/null 2>&1
set_value() {  # KEY NAME DATA
  "$run" "$prefix" reg add "$1" /v "$2" /d "$3" /f >/dev/null
}
# Marlett, from Wine's own fonts (package fonts-wine), draws the caption buttons; this Wine
# looks for it in the prefix.
marlett=/usr/share/wine/fonts/marlett.ttf
if [ -f "$marlett" ] && [ ! -f "$prefix/drive_c/windows/Fonts/marlett.ttf" ]; then
  cp "$marlett" "$prefix/drive_c/windows/Fonts/"
fi
set_value 'HKCU\Software\Wine\Explorer' Desktop Default
set_value 'HKCU\Software\Wine\Explorer\Desktops' Default 1024x768
for face in 宋体 SimSun; do
  set_value 'HKCU\Software\Wine\Fonts\Replacements' "$face" 'WenQuanYi Micro Hei'
done
# A desktop that an earlier program opened without a display (the prefix's creation, a
# console test) stays with the server, and windows cannot open on it: the server ends here
# and the next program starts it again on this display, with these settings.
WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
WINEPREFIX=$prefix wineserver -w 2>/dev/null || true
"$run" "$prefix" cmd /c exit </dev/null >/dev/null 2>&1
