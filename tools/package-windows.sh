#!/usr/bin/env bash
# The Windows installer and the portable zip, from a Windows build (tools/build-windows.sh):
#   tools/package-windows.sh BUILD_DIR [OUT_DIR]
# writes OUT_DIR/trunvex-VERSION-win64-setup.exe and OUT_DIR/trunvex-VERSION-win64.zip
# (OUT_DIR defaults to BUILD_DIR/dist). Both hold trunvex.exe, trunvex-cli.exe, README.md and
# LICENSE.txt; the installer adds a Start-menu shortcut and an uninstaller.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

build=$(cd "${1:?usage: $0 BUILD_DIR [OUT_DIR]}" && pwd)
out=${2:-$build/dist}
mkdir -p "$out"
out=$(cd "$out" && pwd)

version=$(sed -n 's/^project(trunvex VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
name=trunvex-$version-win64
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

cmake --install "$build" --prefix "$stage/install" --strip >/dev/null
for exe in trunvex.exe trunvex-cli.exe; do
  if [ ! -f "$stage/install/bin/$exe" ]; then
    echo "package-windows: $exe is missing from the build in $build" >&2
    exit 1
  fi
done
mkdir "$stage/$name"
cp "$stage/install/bin/trunvex.exe" "$stage/install/bin/trunvex-cli.exe" "$stage/$name/"
cp "$root/README.md" "$stage/$name/README.md"
cp "$root/LICENSE" "$stage/$name/LICENSE.txt"

makensis -V2 -DSTAGE="$stage/$name" -DICON="$root/res/trunvex.ico" \
  -DOUTFILE="$out/$name-setup.exe" -DVERSION="$version" "$root/packaging/windows/trunvex.nsi"
rm -f "$out/$name.zip"
(cd "$stage" && zip -qrX "$out/$name.zip" "$name")
echo "$out/$name-setup.exe"
echo "$out/$name.zip"
